#include "app/startup.h"

#include "app/commandline.h"
#include "app/forms.h"
#include "app/mainwindow.h"
#include "app/portmaps.h"
#include "app/translation.h"
#include "netlink/networktransport.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

int RunTool(int argc, char *argv[], const StartupHook &hook)
{
    QCoreApplication::setApplicationVersion(QStringLiteral(PSUTOOL_VERSION));
    const int answered = AnswerInformationOptions(argc, argv);
    if (answered >= 0)
        return answered;
    QApplication app(argc, argv);
    const QString unknown = CheckToolArguments(QApplication::arguments());
    if (!unknown.isEmpty()) {
        std::fprintf(stderr, "psutool: %s\nTry '%s --help' for the options.\n", unknown.toLocal8Bit().constData(),
                     QCoreApplication::applicationName().toLocal8Bit().constData());
        return 2;
    }
    InstallTranslation(app, QApplication::arguments());
    // Port numbers mapped to network links: their bytes go over the network.
    InstallNetworkTransports();
    const QString badMap = ApplyPortMaps(QApplication::arguments(), qEnvironmentVariable("PSUTOOL_MAP"));
    if (!badMap.isEmpty()) {
        std::fprintf(stderr, "psutool: %s\n", badMap.toLocal8Bit().constData());
        return 2;
    }
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
