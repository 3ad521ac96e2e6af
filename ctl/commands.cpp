#include "ctl/commands.h"

#include "ctl/cli.h"
#include "ctl/ctlerror.h"
#include "ctl/metricsbench.h"
#include "ctl/optiontable.h"
#include "ctl/service.h"
#include "ctl/steps.h"
#include "ctl/supplyio.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/replies.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

// What scan and status take, read once from their options.
struct ScanValues {
    int from, to;
    explicit ScanValues(const Invocation &inv) : from(inv.whole("from")), to(inv.whole("to")) {}
};

struct StatusValues {
    bool watching;
    std::chrono::microseconds interval; // between rounds of a watch
    int rounds;                         // 0: no end
    ReadingFormat format;
    explicit StatusValues(const Invocation &inv)
        : watching(inv.has("watch")), interval(qint64(inv.whole("watch")) * 1000),
          rounds(inv.whole("count", watching ? 0 : 1)),
          format(ReadingFormat(QStringList({QStringLiteral("table"), QStringLiteral("csv"), QStringLiteral("json")})
                                   .indexOf(inv.text("format"))))
    {
    }
};

const ModelEntry &model(const Invocation &inv)
{
    return *FindModel(inv.modelItem());
}

// With SIGPIPE ignored (CatchStopSignals), a reader that went away (psuctl
// scan | head) makes the writes fail instead of ending the program. A command
// whose output is its whole point ends there, with the status SIGPIPE gave.
const int ExitOutputClosed = 128 + SIGPIPE;

bool readerGone(std::FILE *out)
{
    return std::ferror(out) && errno == EPIPE;
}

} // namespace

int RunModels(const Invocation &, std::FILE *out, std::FILE *)
{
    PrintLine(out, QStringLiteral(" #  model          max V    max A   V step  A step"));
    for (int item = 1; item <= ModelCount; ++item) {
        const ModelEntry &m = *FindModel(item);
        const ReadingModel units(&m);
        PrintLine(out, QStringLiteral("%1  %2 %3 %4   %5  %6")
                           .arg(item, 2)
                           .arg(QLatin1String(m.caption), -12)
                           .arg(units.volt.countsText(m.voltageLimit), 8)
                           .arg(units.amp.countsText(m.currentLimit), 8)
                           .arg(units.volt.countsText(1), -6)
                           .arg(units.amp.countsText(1)));
    }
    return ExitSuccess;
}

int RunScan(const Invocation &inv, std::FILE *out, std::FILE *err)
{
    RtuMaster master(inv.line, err);
    master.open();
    CatchStopSignals();
    const auto [from, to] = ScanValues(inv);
    const bool progress = ::isatty(::fileno(err));
    const int total = to - from + 1;
    int found = 0;
    for (int address = from; address <= to && !StopRequested(); ++address) {
        if (progress) {
            const int done = address - from;
            const int width = 40;
            const int filled = done * width / total;
            std::fprintf(err, "\r[%s%s] %3d  found %d", QByteArray(filled, '#').constData(),
                         QByteArray(width - filled, '.').constData(), address, found);
            std::fflush(err);
        }
        if (master.probe(address) != RtuMaster::Probe::Silent) {
            ++found;
            if (progress)
                std::fputs("\r\033[K", err);
            PrintLine(out, QString::number(address));
            if (readerGone(out))
                return ExitOutputClosed;
        }
    }
    if (progress) {
        std::fputs("\r\033[K", err);
        std::fflush(err);
    }
    if (StopRequested())
        return StopExitCode();
    if (!found)
        Fail(ExitNoReply, QStringLiteral("no address from %1 to %2 answers").arg(from).arg(to));
    return ExitSuccess;
}

void CheckScan(const Invocation &inv)
{
    const ScanValues values(inv);
    if (values.from > values.to)
        UsageError(QStringLiteral("--from %1 is above --to %2").arg(values.from).arg(values.to), inv.command);
}

namespace {

Reading takeReading(RtuMaster &master, const SupplyRef &supply)
{
    return ReadStatusReading(master, supply.address, *FindModel(supply.modelItem));
}

} // namespace

void CheckStatus(const Invocation &inv)
{
    for (const SupplyRef &supply : inv.supplies) {
        if (!supply.modelItem)
            UsageError(QStringLiteral("status needs the model (-m)"), inv.command);
    }
    if (inv.has("metrics") && !inv.has("watch"))
        UsageError(QStringLiteral("--metrics serves the readings of a watch (--watch)"), inv.command);
}

int RunStatus(const Invocation &inv, std::FILE *out, std::FILE *err)
{
    const StatusValues values(inv);
    LineOptions line = inv.line;
    const std::unique_ptr<MetricsFace> metrics = StartMetrics(inv, line, err);
    PortKeeper port(line, err);
    port.open();
    if (values.watching)
        CatchStopSignals();
    QString header = ReadingHeader(values.format);
    Rhythm rhythm(values.interval);
    bool warnedLate = false;
    bool failed = false;
    for (int taken = 0; (values.rounds == 0 || taken < values.rounds) && !StopRequested(); ++taken) {
        if (taken > 0) {
            bool skipped = false;
            const SteadyClock::time_point due = rhythm.next(&skipped);
            if (skipped && !warnedLate) {
                PrintLine(err, QStringLiteral("psuctl: a round of readings took longer than the %1 ms interval; "
                                              "rounds that fell due meanwhile are skipped")
                                   .arg(values.interval.count() / 1000));
                warnedLate = true;
            }
            if (!WaitUntil(due))
                break;
        }
        for (const SupplyRef &supply : inv.supplies) {
            Reading reading;
            try {
                reading = takeReading(*port.ready(), supply);
            } catch (const BusError &error) {
                // Without --watch the first failure is the command's end.
                if (!values.watching)
                    throw;
                failed = true;
                if (error.isPortFailure()) {
                    port.lost(error.text());
                    if (!port.waitUntilBack())
                        return ExitNoReply;
                    // The time lost is not the round's fault.
                    rhythm.realign();
                    break;
                }
                PrintLine(err, QStringLiteral("psuctl: %1: %2").arg(TimeNow(), error.text()));
                continue;
            }
            // The header goes out with the first reading, so a supply that
            // never answers leaves no header behind.
            if (!header.isEmpty())
                PrintLine(out, header);
            header.clear();
            if (metrics)
                metrics->metrics.reading(reading);
            PrintLine(out, FormatReading(reading, values.format));
            if (readerGone(out))
                return ExitOutputClosed;
            if (StopRequested())
                break;
        }
    }
    return failed ? ExitNoReply : ExitSuccess;
}

void CheckSet(const Invocation &inv)
{
    const bool inUnits = inv.has("voltage") || inv.has("current") || inv.has("ovp") || inv.has("ocp");
    if (!inv.modelItem() && inUnits)
        UsageError(QStringLiteral("set needs the model (-m)"), inv.command);
    if (!inUnits && !inv.has("power") && !inv.has("output") && !inv.has("lock") && !inv.has("power-control")
        && !inv.has("pid") && !inv.has("new-address"))
        UsageError(QStringLiteral("set needs at least one value to write"), inv.command);
}

int RunSet(const Invocation &inv, std::FILE *, std::FILE *err)
{
    // Every value is converted, and every note printed, before the port opens.
    const int address = inv.address();
    const SetPlan plan = PlanSet(SetValuesFrom(inv.values), inv.modelItem() ? &model(inv) : nullptr);
    for (const QString &note : plan.notes)
        PrintLine(err, QStringLiteral("psuctl: address %1: ").arg(address) + note);

    RtuMaster master(inv.line, err);
    master.open();
    for (const SetWrite &write : plan.writes)
        WriteAndCheck(master, address, write);
    if (inv.has("new-address")) {
        const int newAddress = inv.whole("new-address");
        master.write(address, BusAddress, {quint16(newAddress)});
        for (int attempt = 0; attempt <= inv.line.retries; ++attempt) {
            if (master.probe(newAddress) != RtuMaster::Probe::Silent)
                return ExitSuccess;
        }
        Fail(ExitReadBack, QStringLiteral("address %1: %2 was written %3, but nothing answers at %3")
                               .arg(address)
                               .arg(RegisterText(BusAddress))
                               .arg(newAddress));
    }
    return ExitSuccess;
}

int RunSteps(const Invocation &inv, std::FILE *out, std::FILE *err)
{
    const QString stepsFile = inv.arguments.first();
    const int address = inv.address();
    const int cycles = inv.whole("cycles");
    QFile file(stepsFile);
    if (!file.open(QIODevice::ReadOnly))
        Fail(ExitUsage, QStringLiteral("cannot read %1: %2").arg(stepsFile, file.errorString()));
    const QVector<StepRow> rows = ParseSteps(QString::fromUtf8(file.readAll()), stepsFile);
    const ModelEntry &m = model(inv);
    const ReadingModel units(&m);
    QVector<QVector<quint16>> setpoints;
    for (const StepRow &row : rows) {
        const QString where = QStringLiteral("psuctl: %1:%2: address %3: ").arg(stepsFile).arg(row.line).arg(address);
        const Setpoint volts = ConvertSetpoint(row.volts, m.voltageScale, m.voltageLimit, m.voltageDecimals, "V");
        const Setpoint amps = ConvertSetpoint(row.amps, m.currentScale, m.currentLimit, m.currentDecimals, "A");
        if (!volts.note.isEmpty())
            PrintLine(err, where + RegisterText(VoltageSetpoint) + QStringLiteral(": ") + volts.note);
        if (!amps.note.isEmpty())
            PrintLine(err, where + RegisterText(CurrentSetpoint) + QStringLiteral(": ") + amps.note);
        setpoints.append({volts.raw, amps.raw});
    }

    RtuMaster master(inv.line, err);
    master.open();
    CatchStopSignals();
    const int steps = int(rows.size());
    const auto switchOff = [&] { master.write(address, OutputSwitch, {0}); };
    try {
        const SteadyClock::time_point start = SteadyClock::now();
        std::chrono::microseconds offset(0);
        bool on = false;
        for (int cycle = 1; cycle <= cycles && !StopRequested(); ++cycle) {
            for (int i = 0; i < steps && !StopRequested(); ++i) {
                if (!WaitUntil(start + offset))
                    break;
                const StepRow &row = rows.at(i);
                PrintLine(out, QStringLiteral("cycle %1/%2 step %3/%4: %5 V %6 A for %7 s")
                                   .arg(cycle)
                                   .arg(cycles)
                                   .arg(i + 1)
                                   .arg(steps)
                                   .arg(units.volt.countsText(setpoints.at(i).at(0)),
                                        units.amp.countsText(setpoints.at(i).at(1)),
                                        PlainNumber(row.seconds)));
                master.write(address, VoltageSetpoint, setpoints.at(i));
                if (!on) {
                    master.write(address, OutputSwitch, {1});
                    on = true;
                }
                offset += std::chrono::microseconds(qint64(row.seconds * 1e6 + 0.5));
            }
        }
        WaitUntil(start + offset);
        switchOff();
    } catch (const SystemError &) {
        // The output goes off whatever failed; the first failure is the one reported.
        try {
            switchOff();
        } catch (const SystemError &) {
            PrintLine(err, QStringLiteral("psuctl: address %1: the output could not be switched off").arg(address));
        }
        throw;
    }
    if (StopRequested()) {
        PrintLine(err, QStringLiteral("psuctl: address %1: interrupted; output switched off").arg(address));
        return StopExitCode();
    }
    PrintLine(out, QStringLiteral("output off"));
    return ExitSuccess;
}

void CheckCalibrate(const Invocation &inv)
{
    CheckAutoCalibrate(inv);
    if (inv.has("auto"))
        return;
    if (inv.has("voltage-code") == inv.has("current-code"))
        UsageError(QStringLiteral("calibrate takes one of --voltage-code and --current-code"), inv.command);
}

int RunCalibrate(const Invocation &inv, std::FILE *out, std::FILE *err)
{
    if (inv.has("auto"))
        return RunAutoCalibrate(inv, out, err);
    const bool voltage = inv.has("voltage-code");
    const quint16 reg = voltage ? VoltageCorrection : CurrentCorrection;
    RtuMaster master(inv.line, err);
    master.open();
    WriteAndCheck(master, inv.address(),
                  {reg, quint16(inv.whole(voltage ? "voltage-code" : "current-code")), QString(), true});
    return ExitSuccess;
}

int RunPsuctl(const QStringList &arguments, std::FILE *out, std::FILE *err)
{
    ClearStopRequest();
    try {
        const Invocation inv = ParseArguments(arguments);
        if (inv.help) {
            std::fputs(HelpText(inv.command).toUtf8().constData(), out);
            return ExitSuccess;
        }
        if (inv.version) {
            PrintLine(out, QStringLiteral("psuctl " PSUCTL_VERSION));
            return ExitSuccess;
        }
#ifdef __linux__
        // Timeouts and the watch rhythm to the microsecond rather than the 50 us
        // slack a process gets by default.
        prctl(PR_SET_TIMERSLACK, 1UL);
#endif
        return FindCommand(inv.command)->run(inv, out, err);
    } catch (const SystemError &error) {
        PrintLine(err, QStringLiteral("psuctl: ") + error.text());
        return ExitCodeOf(error);
    }
}
