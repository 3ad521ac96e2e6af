#include "sim/simoptions.h"

#include "link/frames.h"

#include <QCommandLineParser>
#include <cmath>
#include <functional>

namespace {

const QList<QCommandLineOption> &optionList()
{
    static const QList<QCommandLineOption> options = {
        {{QStringLiteral("d"), QStringLiteral("device")},
         QStringLiteral("Serve on a real serial port (null-modem cable) instead of a new pseudo-terminal."),
         QStringLiteral("path")},
        {QStringLiteral("link"), QStringLiteral("Also make a symbolic link to the device at path."),
         QStringLiteral("path")},
        {QStringLiteral("line"), QStringLiteral("Line settings baud,parity,data,stop (default 9600,n,8,1)."),
         QStringLiteral("settings")},
        {{QStringLiteral("s"), QStringLiteral("supply")},
         QStringLiteral("A supply at address, optionally of a model (name or menu number). Repeatable; "
                        "default: 1, 5 and 17."),
         QStringLiteral("address[:model]")},
        {{QStringLiteral("m"), QStringLiteral("model")},
         QStringLiteral("Model of the supplies given without one (default QELT30-05)."), QStringLiteral("model")},
        {QStringLiteral("load"), QStringLiteral("Load resistance in ohms; 'open' for none."),
         QStringLiteral("[address=]ohms")},
        {QStringLiteral("preset"),
         QStringLiteral("Power-up setpoints in raw register units, and 'on' to start with the output on."),
         QStringLiteral("[address=]volts,amps[,on]")},
        {QStringLiteral("noise"), QStringLiteral("Measurement noise in counts of the model's resolution."),
         QStringLiteral("[address=]counts")},
        {QStringLiteral("drop"), QStringLiteral("Share of replies not sent (0..1)."), QStringLiteral("[address=]share")},
        {QStringLiteral("corrupt"), QStringLiteral("Share of replies sent with a wrong CRC (0..1)."),
         QStringLiteral("[address=]share")},
        {QStringLiteral("delay"), QStringLiteral("Extra delay before each reply."), QStringLiteral("[address=]ms")},
        {QStringLiteral("split"), QStringLiteral("Send replies in two parts: the first 'at' bytes, a pause, the rest."),
         QStringLiteral("[address=]at,ms")},
        {QStringLiteral("stray"), QStringLiteral("Bytes sent right before each reply."), QStringLiteral("[address=]hex")},
        {QStringLiteral("stray-after"), QStringLiteral("Bytes sent right after each reply."),
         QStringLiteral("[address=]hex")},
        {QStringLiteral("flood"), QStringLiteral("Answer with this many bytes of line noise instead."),
         QStringLiteral("[address=]count")},
        {QStringLiteral("cal-offset"),
         QStringLiteral("Fault: the measured voltage reads this many counts off (signed) while the output is on."),
         QStringLiteral("[address=]counts")},
        {QStringLiteral("sag"), QStringLiteral("Fault: the output sags under load behind this series resistance."),
         QStringLiteral("[address=]ohms")},
        {QStringLiteral("no-trip"),
         QStringLiteral("Fault: the over-voltage and over-current limits never switch the output off."),
         QStringLiteral("address|all")},
        {QStringLiteral("output-offset"),
         QStringLiteral("Fault: the terminals are this many volts off while on; the supply's read-back does not show it."),
         QStringLiteral("[address=]volts")},
        {QStringLiteral("output-gain"),
         QStringLiteral("Fault: the terminals are off by this fraction of the setpoint (0.001: +0.1 %); the read-back does "
                        "not show it."),
         QStringLiteral("[address=]fraction")},
        {QStringLiteral("readback-offset"),
         QStringLiteral("Fault: the read-back voltage is this many volts off the terminals while on."),
         QStringLiteral("[address=]volts")},
        {QStringLiteral("correction-step"),
         QStringLiteral("What one step of the voltage correction code moves the output by, in volts (signed; default "
                        "one count)."),
         QStringLiteral("[address=]volts")},
        {QStringLiteral("current-output-offset"),
         QStringLiteral("Fault: in current limit the terminals carry this many amperes more than the limit; the "
                        "supply's read-back does not show it."),
         QStringLiteral("[address=]amps")},
        {QStringLiteral("current-output-gain"),
         QStringLiteral("Fault: in current limit the terminals carry this fraction more than the limit (0.001: +0.1 %); "
                        "the read-back does not show it."),
         QStringLiteral("[address=]fraction")},
        {QStringLiteral("current-readback-offset"),
         QStringLiteral("Fault: the read-back current is this many amperes off while on."), QStringLiteral("[address=]amps")},
        {QStringLiteral("current-correction-step"),
         QStringLiteral("What one step of the current correction code moves the output by, in amperes (signed; default "
                        "one count)."),
         QStringLiteral("[address=]amps")},
        {QStringLiteral("dmm"),
         QStringLiteral("A reference multimeter with a scanner (channel 100 + address) as a SCPI socket on this port "
                        "(0: any free port; printed)."),
         QStringLiteral("[host:]port")},
        {QStringLiteral("eload"),
         QStringLiteral("A SCPI electronic load in constant current on this port (0: any free port; printed)."),
         QStringLiteral("[host:]port")},
        {QStringLiteral("dmm-noise"), QStringLiteral("The multimeter's noise, a standard deviation in volts (default 20e-6)."),
         QStringLiteral("volts")},
        {QStringLiteral("dmm-due"), QStringLiteral("The multimeter's calibration due date (CAL:DUE?)."),
         QStringLiteral("yyyy-mm-dd")},
        {QStringLiteral("turnaround"), QStringLiteral("Silence between request and reply (default 5)."),
         QStringLiteral("ms")},
        {QStringLiteral("any-speed"),
         QStringLiteral("Answer whatever baud rate the tool set on the pseudo-terminal.")},
        {{QStringLiteral("v"), QStringLiteral("verbose")}, QStringLiteral("Print every frame received and sent.")},
    };
    return options;
}

// Splits "address=value" into its parts; a value without address applies to
// every supply (address -1).
bool splitTarget(const QString &text, int *address, QString *value)
{
    const int eq = text.indexOf(QLatin1Char('='));
    if (eq < 0) {
        *address = -1;
        *value = text;
        return true;
    }
    bool ok = false;
    *address = text.left(eq).trimmed().toInt(&ok);
    *value = text.mid(eq + 1).trimmed();
    return ok && *address >= 0 && *address <= 255;
}

} // namespace

QString SimOptionsHelp()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated power supplies on a Modbus RTU line. Prints the device to open as the tool's serial port."));
    parser.addHelpOption();
    parser.addOptions(optionList());
    return parser.helpText();
}

QString ParseSimOptions(const QStringList &arguments, SimBusOptions *options)
{
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions(optionList());
    if (!parser.parse(QStringList{QStringLiteral("psusim")} + arguments))
        return parser.errorText();
    if (parser.isSet(QStringLiteral("help")))
        return QStringLiteral("help");
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().first());

    SimBusOptions result;
    result.device = parser.value(QStringLiteral("device"));
    result.link = parser.value(QStringLiteral("link"));
    result.verbose = parser.isSet(QStringLiteral("verbose"));
    result.checkLineSpeed = !parser.isSet(QStringLiteral("any-speed"));
    // Mark and space parity are not simulated.
    if (parser.isSet(QStringLiteral("line"))
        && (!ParseLineSettings(parser.value(QStringLiteral("line")), &result.line)
            || result.line.parity == QSerialPort::MarkParity || result.line.parity == QSerialPort::SpaceParity))
        return QStringLiteral("Line settings '%1' are not baud,parity,data,stop.")
            .arg(parser.value(QStringLiteral("line")));
    if (parser.isSet(QStringLiteral("turnaround"))) {
        bool ok = false;
        result.turnaroundMs = parser.value(QStringLiteral("turnaround")).toInt(&ok);
        if (!ok || result.turnaroundMs < 0)
            return QStringLiteral("Turnaround '%1' is not a number of milliseconds.")
                .arg(parser.value(QStringLiteral("turnaround")));
    }

    int defaultModel = 1;
    if (parser.isSet(QStringLiteral("model"))) {
        defaultModel = ModelItemFromText(parser.value(QStringLiteral("model")));
        if (defaultModel == 0)
            return QStringLiteral("Unknown model '%1'.").arg(parser.value(QStringLiteral("model")));
    }
    QStringList supplies = parser.values(QStringLiteral("supply"));
    if (supplies.isEmpty())
        supplies = {QStringLiteral("1"), QStringLiteral("5"), QStringLiteral("17")};
    for (const QString &text : supplies) {
        SimSupplySetup setup;
        const QStringList parts = text.split(QLatin1Char(':'));
        bool ok = false;
        setup.address = parts.at(0).trimmed().toInt(&ok);
        if (!ok || setup.address < 1 || setup.address > 247 || parts.size() > 2)
            return QStringLiteral("Supply '%1' is not address[:model] with an address from 1 to 247.").arg(text);
        setup.modelItem = parts.size() == 2 ? ModelItemFromText(parts.at(1).trimmed()) : defaultModel;
        if (setup.modelItem == 0)
            return QStringLiteral("Unknown model in '%1'.").arg(text);
        result.supplies.append(setup);
    }

    // Applies every value of a per-supply option to the supplies it names.
    const auto perSupply = [&](const QString &name,
                               const std::function<bool(const QString &, SimSupplySetup &)> &apply) -> QString {
        for (const QString &text : parser.values(name)) {
            int address = -1;
            QString value;
            if (!splitTarget(text, &address, &value))
                return QStringLiteral("--%1 '%2': the address is not a number.").arg(name, text);
            bool matched = false;
            for (SimSupplySetup &setup : result.supplies) {
                if (address >= 0 && setup.address != address)
                    continue;
                matched = true;
                if (!apply(value, setup))
                    return QStringLiteral("--%1 '%2': the value is not valid.").arg(name, text);
            }
            if (!matched)
                return QStringLiteral("--%1 '%2': no supply at that address.").arg(name, text);
        }
        return QString();
    };
    const auto number = [](const QString &text, double low, double high, double *out) {
        bool ok = false;
        const double value = text.toDouble(&ok);
        if (!ok || value < low || value > high)
            return false;
        *out = value;
        return true;
    };

    const QVector<QPair<QString, std::function<bool(const QString &, SimSupplySetup &)>>> handlers = {
        {QStringLiteral("load"),
         [&](const QString &v, SimSupplySetup &s) {
             if (v.compare(QLatin1String("open"), Qt::CaseInsensitive) == 0) {
                 s.loadOhms = SimSupply::OpenCircuit;
                 return true;
             }
             return number(v, 0.0, 1e9, &s.loadOhms);
         }},
        {QStringLiteral("preset"),
         [&](const QString &v, SimSupplySetup &s) {
             const QStringList parts = v.split(QLatin1Char(','));
             if (parts.size() < 2 || parts.size() > 3)
                 return false;
             double volts = 0, amps = 0;
             if (!number(parts[0], 0, 65535, &volts) || !number(parts[1], 0, 65535, &amps))
                 return false;
             if (parts.size() == 3 && parts[2].trimmed() != QLatin1String("on"))
                 return false;
             s.preset = true;
             s.voltageSetpoint = quint16(volts);
             s.currentSetpoint = quint16(amps);
             s.outputOn = parts.size() == 3;
             return true;
         }},
        {QStringLiteral("noise"),
         [&](const QString &v, SimSupplySetup &s) {
             double counts = 0;
             if (!number(v, 0, 1000, &counts))
                 return false;
             s.noiseCounts = int(counts);
             return true;
         }},
        {QStringLiteral("drop"), [&](const QString &v, SimSupplySetup &s) { return number(v, 0, 1, &s.faults.dropShare); }},
        {QStringLiteral("corrupt"),
         [&](const QString &v, SimSupplySetup &s) { return number(v, 0, 1, &s.faults.corruptShare); }},
        {QStringLiteral("delay"),
         [&](const QString &v, SimSupplySetup &s) {
             double ms = 0;
             if (!number(v, 0, 600000, &ms))
                 return false;
             s.faults.delayMs = int(ms);
             return true;
         }},
        {QStringLiteral("split"),
         [&](const QString &v, SimSupplySetup &s) {
             const QStringList parts = v.split(QLatin1Char(','));
             double at = 0, ms = 0;
             if (parts.size() != 2 || !number(parts[0], 1, 255, &at) || !number(parts[1], 0, 600000, &ms))
                 return false;
             s.faults.splitAt = int(at);
             s.faults.splitPauseMs = int(ms);
             return true;
         }},
        {QStringLiteral("stray"),
         [&](const QString &v, SimSupplySetup &s) {
             s.faults.strayBefore = QByteArray::fromHex(v.toLatin1());
             return !s.faults.strayBefore.isEmpty();
         }},
        {QStringLiteral("stray-after"),
         [&](const QString &v, SimSupplySetup &s) {
             s.faults.strayAfter = QByteArray::fromHex(v.toLatin1());
             return !s.faults.strayAfter.isEmpty();
         }},
        {QStringLiteral("flood"),
         [&](const QString &v, SimSupplySetup &s) {
             double count = 0;
             if (!number(v, 1, 100000, &count))
                 return false;
             s.faults.floodBytes = int(count);
             return true;
         }},
        {QStringLiteral("cal-offset"),
         [&](const QString &v, SimSupplySetup &s) {
             double counts = 0;
             if (!number(v, -1000, 1000, &counts) || counts != std::floor(counts))
                 return false;
             s.faults.voltageOffsetCounts = int(counts);
             return true;
         }},
        {QStringLiteral("sag"), [&](const QString &v, SimSupplySetup &s) { return number(v, 0, 1e6, &s.faults.sagOhms); }},
        {QStringLiteral("output-offset"),
         [&](const QString &v, SimSupplySetup &s) { return number(v, -100, 100, &s.faults.outputOffsetVolts); }},
        {QStringLiteral("output-gain"),
         [&](const QString &v, SimSupplySetup &s) { return number(v, -0.5, 0.5, &s.faults.outputGain); }},
        {QStringLiteral("readback-offset"),
         [&](const QString &v, SimSupplySetup &s) { return number(v, -100, 100, &s.faults.readbackOffsetVolts); }},
        {QStringLiteral("correction-step"),
         [&](const QString &v, SimSupplySetup &s) {
             return number(v, -1, 1, &s.faults.voltageCorrectionStep) && s.faults.voltageCorrectionStep != 0;
         }},
        {QStringLiteral("current-output-offset"),
         [&](const QString &v, SimSupplySetup &s) { return number(v, -100, 100, &s.faults.outputOffsetAmps); }},
        {QStringLiteral("current-output-gain"),
         [&](const QString &v, SimSupplySetup &s) { return number(v, -0.5, 0.5, &s.faults.outputCurrentGain); }},
        {QStringLiteral("current-readback-offset"),
         [&](const QString &v, SimSupplySetup &s) { return number(v, -100, 100, &s.faults.readbackOffsetAmps); }},
        {QStringLiteral("current-correction-step"),
         [&](const QString &v, SimSupplySetup &s) {
             return number(v, -1, 1, &s.faults.currentCorrectionStep) && s.faults.currentCorrectionStep != 0;
         }},
    };
    for (const auto &handler : handlers) {
        const QString error = perSupply(handler.first, handler.second);
        if (!error.isEmpty())
            return error;
    }
    for (const QString &text : parser.values(QStringLiteral("no-trip"))) {
        const bool all = text.trimmed() == QLatin1String("all");
        bool ok = all;
        const int address = all ? -1 : text.trimmed().toInt(&ok);
        if (!ok)
            return QStringLiteral("--no-trip '%1': not an address or 'all'.").arg(text);
        bool matched = false;
        for (SimSupplySetup &setup : result.supplies) {
            if (all || setup.address == address) {
                setup.faults.neverTrips = true;
                matched = true;
            }
        }
        if (!matched)
            return QStringLiteral("--no-trip '%1': no supply at that address.").arg(text);
    }
    const auto endpoint = [&](const QString &name, QString *host, int *port) {
        if (!parser.isSet(name))
            return true;
        const QString text = parser.value(name);
        const int colon = text.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        *port = text.mid(colon + 1).toInt(&ok);
        if (colon > 0)
            *host = text.left(colon);
        return ok && *port >= 0 && *port <= 65535;
    };
    if (!endpoint(QStringLiteral("dmm"), &result.meterHost, &result.meterPort))
        return QStringLiteral("--dmm '%1' is not [host:]port.").arg(parser.value(QStringLiteral("dmm")));
    if (!endpoint(QStringLiteral("eload"), &result.loadHost, &result.loadPort))
        return QStringLiteral("--eload '%1' is not [host:]port.").arg(parser.value(QStringLiteral("eload")));
    if (parser.isSet(QStringLiteral("dmm-noise"))
        && !number(parser.value(QStringLiteral("dmm-noise")), 0, 1, &result.meterNoiseVolts))
        return QStringLiteral("--dmm-noise '%1' is not a number of volts from 0 to 1.")
            .arg(parser.value(QStringLiteral("dmm-noise")));
    if (parser.isSet(QStringLiteral("dmm-due"))) {
        result.meterDue = QDate::fromString(parser.value(QStringLiteral("dmm-due")), Qt::ISODate);
        if (!result.meterDue.isValid())
            return QStringLiteral("--dmm-due '%1' is not a date (2027-06-30).").arg(parser.value(QStringLiteral("dmm-due")));
    }
    *options = result;
    return QString();
}

void ApplySimOptions(const SimBusOptions &options, SimBus &bus)
{
    bus.setLineSettings(options.line);
    bus.setTurnaroundMs(options.turnaroundMs);
    bus.setCheckLineSpeed(options.checkLineSpeed);
    for (const SimSupplySetup &setup : options.supplies) {
        const int index = bus.addSupply(setup.address, setup.modelItem);
        bus.updateSupply(index, [&setup](SimSupply &supply) {
            supply.setLoadOhms(setup.loadOhms);
            supply.setNoiseCounts(setup.noiseCounts);
            supply.faults() = setup.faults;
            if (setup.preset) {
                supply.writeRegisters(VoltageSetpoint, {setup.voltageSetpoint, setup.currentSetpoint});
                supply.writeRegisters(OutputSwitch, {quint16(setup.outputOn ? 1 : 0)});
            }
        });
    }
}

QString FormatRecord(const SimFrameRecord &entry)
{
    return QStringLiteral("%1 ms %2 %3%4")
        .arg(entry.startUs / 1000.0, 10, 'f', 3)
        .arg(entry.direction == SimFrameRecord::Received ? QStringLiteral("<-") : QStringLiteral("->"))
        .arg(QString::fromLatin1(entry.bytes.toHex(' ').toUpper()))
        .arg(entry.note.isEmpty() ? QString() : QStringLiteral("  (%1)").arg(entry.note));
}
