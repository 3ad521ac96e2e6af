// psusim: simulated supplies on a pseudo-terminal (or a real serial port).
// Prints the device for the tool to open, then serves until interrupted.

#include "sim/simbus.h"
#include "sim/simoptions.h"
#include "sim/simreference.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTextStream>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    SimBusOptions options;
    const QString error = ParseSimOptions(app.arguments().mid(1), &options);
    if (error == QLatin1String("help")) {
        out << SimOptionsHelp();
        return 0;
    }
    if (!error.isEmpty()) {
        err << "psusim: " << error << "\n";
        return 2;
    }

    SimBus bus(&app);
    ApplySimOptions(options, bus);
    QString device;
    try {
        if (options.device.isEmpty())
            device = bus.openPty();
        else {
            bus.openDevice(options.device);
            device = options.device;
        }
    } catch (const PortBusyError &e) {
        err << "psusim: " << e.what() << "\n";
        return 2;
    } catch (const std::exception &e) {
        err << "psusim: " << e.what() << "\n";
        return 1;
    }

    if (!options.link.isEmpty()) {
        const QFileInfo existing(options.link);
        if (existing.isSymLink())
            ::unlink(options.link.toLocal8Bit().constData());
        if (::symlink(device.toLocal8Bit().constData(), options.link.toLocal8Bit().constData()) != 0) {
            err << "psusim: cannot make the link " << options.link << "\n";
            return 1;
        }
    }

    bus.setKeepRecord(false);
    if (options.verbose) {
        // The observer runs in the bus's thread; stdio keeps each line whole.
        bus.setRecordObserver([](const SimFrameRecord &entry) {
            std::fprintf(stdout, "%s\n", FormatRecord(entry).toLocal8Bit().constData());
            std::fflush(stdout);
        });
    }

    out << device << "\n";
    for (int i = 0; i < bus.supplyCount(); ++i) {
        const SimSupply supply = bus.supply(i);
        out << QStringLiteral("supply at address %1: %2, %3\n")
                   .arg(supply.address())
                   .arg(QLatin1String(supply.model().caption))
                   .arg(std::isinf(supply.loadOhms()) ? QStringLiteral("no load")
                                                      : QStringLiteral("load %1 ohm").arg(supply.loadOhms()));
    }
    out << QStringLiteral("line %1\n").arg(LineSettingsText(options.line));
    SimReferenceBench references(bus);
    try {
        SimReferenceBench::MeterTraits traits;
        traits.noiseVolts = options.meterNoiseVolts;
        references.setMeterTraits(traits);
        references.setCalibrationDue(options.meterDue);
        if (options.meterPort >= 0)
            out << QStringLiteral("dmm on %1:%2\n")
                       .arg(options.meterHost)
                       .arg(references.listenMeter(options.meterHost, quint16(options.meterPort)));
        if (options.loadPort >= 0)
            out << QStringLiteral("load on %1:%2\n")
                       .arg(options.loadHost)
                       .arg(references.listenLoad(options.loadHost, quint16(options.loadPort)));
    } catch (const std::exception &e) {
        err << "psusim: " << e.what() << "\n";
        return 2;
    }
    out.flush();

    if (::pipe(g_signalPipe) != 0)
        return 1;
    auto *interrupts = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(interrupts, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    bus.start(SimBus::Threading::OwnThread);
    const int result = app.exec();
    bus.stop();
    if (!options.link.isEmpty())
        ::unlink(options.link.toLocal8Bit().constData());
    return result;
}
