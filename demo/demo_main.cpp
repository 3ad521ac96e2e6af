// psutool-demo: the tool with a bus of simulated supplies on COM2, the port
// the serial settings dialog offers first. With PSUTOOL_TOUR_DIR set it tours
// the windows by itself and saves a screenshot of each into that folder; with
// PSUTOOL_DEMO_VERBOSE set it prints every frame on the line. A reference
// multimeter with a scanner reads the supplies' terminals on a local SCPI
// socket, for automatic calibration.

#include "app/startup.h"
#include "demo/demotour.h"
#include "link/commports.h"
#include "panels/autocalibration.h"
#include "sim/simbus.h"
#include "sim/simreference.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    return RunTool(argc, argv, [](QApplication &app) -> std::function<void()> {
        // The supplies run in a thread of their own: the tool sleeps on the GUI
        // thread while it collects a reply, and the line must go on meanwhile.
        auto *bus = new SimBus(&app);
        // The supply at 17 for automatic calibration to bring back: its
        // terminals 0.06 V high, which its own read-back does not show.
        SimBusOptions options = DemoBusOptions();
        options.supplies[2].faults.outputOffsetVolts = 0.06;
        ApplySimOptions(options, *bus);
        bus->setKeepRecord(false);
        const QString device = bus->openPty();
        MapCommPort(2, device);
        if (qEnvironmentVariableIsSet("PSUTOOL_DEMO_VERBOSE")) {
            bus->setRecordObserver([](const SimFrameRecord &entry) {
                std::fprintf(stdout, "bus: %s\n", FormatRecord(entry).toLocal8Bit().constData());
                std::fflush(stdout);
            });
        }
        bus->start(SimBus::Threading::OwnThread);
        // The station runs the example plans on the supplies unloaded, by hand as in the tour.
        SetStationBench(DemoStationFixture(bus));
        SetAutoCalibrationBench(DemoStationFixture(bus));
        auto *references = new SimReferenceBench(*bus, &app);
        const QString meter = QStringLiteral("tcp://127.0.0.1:%1").arg(references->listenMeter(QStringLiteral("127.0.0.1"), 0));
        // A station file naming it, for the automatic calibration window.
        auto *stationFolder = new QTemporaryDir;
        const QString station = WriteDemoStation(stationFolder->path(), meter);
        QTextStream(stdout) << "simulated supplies at addresses 1, 5 and 17 on COM2 (" << device << ")\n"
                            << "reference multimeter with scanner (channel 100 + address) on " << meter << "\n"
                            << "station file " << station << "\n";

        const QString tourFolder = qEnvironmentVariable("PSUTOOL_TOUR_DIR");
        if (!tourFolder.isEmpty()) {
            auto *tour = new DemoTour(tourFolder, &app);
            tour->setReferenceMeter(meter);
            QObject::connect(tour, &DemoTour::finished, &app, [](bool ok) { QCoreApplication::exit(ok ? 0 : 1); });
            tour->start();
        }
        return [bus, stationFolder] {
            bus->stop();
            delete stationFolder;
        };
    });
}
