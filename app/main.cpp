#include "app/forms.h"
#include "app/mainwindow.h"
#include "app/translation.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    InstallTranslation(app, QApplication::arguments());
    // The icon lives in the windows library's resources (packaging/psutool.qrc).
    Q_INIT_RESOURCE(psutool);
    QIcon icon(QStringLiteral(":/icons/psutool-48.png"));
    icon.addFile(QStringLiteral(":/icons/psutool-256.png"));
    QApplication::setWindowIcon(icon);
    QApplication::setQuitOnLastWindowClosed(false);
    CreateForms();
    MAIN->show();
    return app.exec();
}
