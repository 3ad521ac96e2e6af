#include "app/forms.h"
#include "app/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("精密数控电源测试软件"));
    QApplication::setQuitOnLastWindowClosed(false);
    CreateForms();
    MAIN->show();
    return app.exec();
}
