// psutool-demo: the tool with a bus of simulated supplies on COM2, the port
// the serial settings dialog offers first. With PSUTOOL_TOUR_DIR set it tours
// the windows by itself and saves a screenshot of each into that folder.

#include "app/forms.h"
#include "app/mainwindow.h"
#include "link/commports.h"
#include "sim/demotour.h"
#include "sim/simbus.h"

#include <QApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("精密数控电源测试软件"));
    QApplication::setQuitOnLastWindowClosed(false);
    CreateForms();

    // The supplies run in a thread of their own: the tool sleeps on the GUI
    // thread while it collects a reply, and the line must go on meanwhile.
    auto *bus = new SimBus(&app);
    ApplySimOptions(DemoBusOptions(), *bus);
    const QString device = bus->openPty();
    MapCommPort(2, device);
    bus->start(SimBus::Threading::OwnThread);
    QTextStream(stdout) << "simulated supplies at addresses 1, 5 and 17 on COM2 (" << device << ")\n";

    MAIN->show();
    const QString tourFolder = qEnvironmentVariable("PSUTOOL_TOUR_DIR");
    if (!tourFolder.isEmpty())
        (new DemoTour(tourFolder, &app))->start();
    const int result = app.exec();
    bus->stop();
    return result;
}
