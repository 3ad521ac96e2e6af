#include "app/startup.h"

#include "app/forms.h"
#include "app/mainwindow.h"
#include "app/translation.h"

#include <QApplication>
#include <QIcon>

int RunTool(int argc, char *argv[], const StartupHook &hook)
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
    const std::function<void()> finish = hook ? hook(app) : std::function<void()>();
    const int result = app.exec();
    if (finish)
        finish();
    return result;
}
