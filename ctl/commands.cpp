#include "ctl/commands.h"

#include "ctl/cli.h"
#include "master/ctlerror.h"
#include "ctl/optiontable.h"
#include "ctl/steps.h"
#include "ctl/supplyio.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/replies.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_interrupted = 0;

void onInterrupt(int)
{
    g_interrupted = 1;
}

// Sleeps until the moment given on the monotonic clock; false when Ctrl-C came first.
bool SleepUntil(Clock::time_point when)
{
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    timespec due;
    due.tv_sec = time_t(since / 1000000000);
    due.tv_nsec = long(since % 1000000000);
    while (!g_interrupted) {
        const int result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
        if (result == 0)
            return true;
        if (result != EINTR)
            return true;
    }
    return false;
}

const ModelEntry &model(const Invocation &inv)
{
    return *FindModel(inv.modelItem());
}

} // namespace

int RunModels(const Invocation &, std::FILE *out, std::FILE *)
{
    PrintLine(out, QStringLiteral(" #  model          max V    max A   V step  A step"));
    for (int item = 1; item <= ModelCount; ++item) {
        const ModelEntry &m = *FindModel(item);
        PrintLine(out, QStringLiteral("%1  %2 %3 %4   %5  %6")
                           .arg(item, 2)
                           .arg(QLatin1String(m.caption), -12)
                           .arg(FormatScaled(m.voltageLimit, m.voltageScale, m.voltageDecimals), 8)
                           .arg(FormatScaled(m.currentLimit, m.currentScale, m.currentDecimals), 8)
                           .arg(FormatScaled(1, m.voltageScale, m.voltageDecimals), -6)
                           .arg(FormatScaled(1, m.currentScale, m.currentDecimals)));
    }
    return ExitSuccess;
}

int RunScan(const Invocation &inv, std::FILE *out, std::FILE *err)
{
    RtuMaster master(inv.line, err);
    master.open();
    CatchInterrupts();
    const int from = inv.whole("from", 1);
    const int to = inv.whole("to", 247);
    const bool progress = ::isatty(::fileno(err));
    const int total = to - from + 1;
    int found = 0;
    for (int address = from; address <= to && !g_interrupted; ++address) {
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
        }
    }
    if (progress) {
        std::fputs("\r\033[K", err);
        std::fflush(err);
    }
    if (g_interrupted)
        return ExitInterrupted;
    if (!found)
        Fail(ExitNoReply, QStringLiteral("no address from %1 to %2 answers").arg(from).arg(to));
    return ExitSuccess;
}

void CheckScan(const Invocation &inv)
{
    if (inv.whole("from", 1) > inv.whole("to", 247))
        UsageError(QStringLiteral("--from %1 is above --to %2").arg(inv.whole("from", 1)).arg(inv.whole("to", 247)),
                   inv.command);
}

namespace {

StatusSample takeReading(RtuMaster &master, const SupplyRef &supply)
{
    return ReadStatusSample(master, supply.address, *FindModel(supply.modelItem));
}

// The port is gone (a device unplugged, an I/O error): opens it again every
// second until it is back; false when Ctrl-C came first.
bool reopenLostPort(RtuMaster &master, const CtlError &loss, std::FILE *err)
{
    PrintLine(err, QStringLiteral("psuctl: %1: %2; opening it again every second").arg(TimeNow(), loss.text()));
    master.close();
    Clock::time_point next = Clock::now();
    while (!g_interrupted) {
        next += std::chrono::seconds(1);
        if (!SleepUntil(next))
            break;
        try {
            master.open();
            PrintLine(err, QStringLiteral("psuctl: %1: %2: port back").arg(TimeNow(), master.device()));
            return true;
        } catch (const CtlError &) {
        }
    }
    return false;
}

} // namespace

void CheckStatus(const Invocation &inv)
{
    for (const SupplyRef &supply : inv.supplies) {
        if (!supply.modelItem)
            UsageError(QStringLiteral("status needs the model (-m)"), inv.command);
    }
}

int RunStatus(const Invocation &inv, std::FILE *out, std::FILE *err)
{
    RtuMaster master(inv.line, err);
    master.open();
    const bool watching = inv.has("watch");
    if (watching)
        CatchInterrupts();
    const ReadingFormat format = ReadingFormat(QStringList({QStringLiteral("table"), QStringLiteral("csv"),
                                                            QStringLiteral("json")})
                                                   .indexOf(inv.text("format", QStringLiteral("table"))));
    QString header = ReadingHeader(format);
    const int rounds = inv.whole("count", watching ? 0 : 1);
    // Rounds fall on slots of the interval counted from the first; with
    // --watch 0 each round follows the one before at once.
    const qint64 intervalUs = qint64(inv.whole("watch")) * 1000;
    const Clock::time_point start = Clock::now();
    bool warnedLate = false;
    bool failed = false;
    qint64 slot = 0;
    for (int taken = 0; (rounds == 0 || taken < rounds) && !g_interrupted; ++taken) {
        if (taken > 0 && intervalUs) {
            // The next round falls on the rhythm's next slot still ahead.
            ++slot;
            const qint64 now = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
            if (slot * intervalUs < now) {
                if (!warnedLate)
                    PrintLine(err, QStringLiteral("psuctl: a round of readings took longer than the %1 ms interval; "
                                                  "rounds that fell due meanwhile are skipped")
                                       .arg(intervalUs / 1000));
                warnedLate = true;
                slot = now / intervalUs + 1;
            }
            if (!SleepUntil(start + std::chrono::microseconds(slot * intervalUs)))
                break;
        }
        for (const SupplyRef &supply : inv.supplies) {
            StatusSample reading;
            try {
                reading = takeReading(master, supply);
            } catch (const CtlError &error) {
                // Without --watch the first failure is the command's end.
                if (!watching)
                    throw;
                failed = true;
                if (error.exitCode() == ExitPort) {
                    if (!reopenLostPort(master, error, err))
                        return ExitNoReply;
                    // The time lost is not the round's fault.
                    if (intervalUs) {
                        const qint64 now = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
                        slot = now / intervalUs;
                    }
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
            PrintLine(out, FormatReading(reading, format));
            if (g_interrupted)
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
    if (inv.has("ovp")) {
        const QString refusal = OvpRefusal(inv.decimal("ovp"), model(inv));
        if (!refusal.isEmpty())
            UsageError(QStringLiteral("--ovp ") + refusal, inv.command);
    }
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
    const int cycles = inv.whole("cycles", 1);
    QFile file(stepsFile);
    if (!file.open(QIODevice::ReadOnly))
        Fail(ExitUsage, QStringLiteral("cannot read %1: %2").arg(stepsFile, file.errorString()));
    const QVector<StepRow> rows = ParseSteps(QString::fromUtf8(file.readAll()), stepsFile);
    const ModelEntry &m = model(inv);
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
    CatchInterrupts();
    const int steps = int(rows.size());
    const auto switchOff = [&] { master.write(address, OutputSwitch, {0}); };
    try {
        const Clock::time_point start = Clock::now();
        std::chrono::microseconds offset(0);
        bool on = false;
        for (int cycle = 1; cycle <= cycles && !g_interrupted; ++cycle) {
            for (int i = 0; i < steps && !g_interrupted; ++i) {
                if (!SleepUntil(start + offset))
                    break;
                const StepRow &row = rows.at(i);
                PrintLine(out, QStringLiteral("cycle %1/%2 step %3/%4: %5 V %6 A for %7 s")
                                   .arg(cycle)
                                   .arg(cycles)
                                   .arg(i + 1)
                                   .arg(steps)
                                   .arg(FormatScaled(setpoints.at(i).at(0), m.voltageScale, m.voltageDecimals),
                                        FormatScaled(setpoints.at(i).at(1), m.currentScale, m.currentDecimals),
                                        PlainNumber(row.seconds)));
                master.write(address, VoltageSetpoint, setpoints.at(i));
                if (!on) {
                    master.write(address, OutputSwitch, {1});
                    on = true;
                }
                offset += std::chrono::microseconds(qint64(row.seconds * 1e6 + 0.5));
            }
        }
        SleepUntil(start + offset);
        switchOff();
    } catch (const CtlError &) {
        // The output goes off whatever failed; the first failure is the one reported.
        try {
            switchOff();
        } catch (const CtlError &) {
            PrintLine(err, QStringLiteral("psuctl: address %1: the output could not be switched off").arg(address));
        }
        throw;
    }
    if (g_interrupted) {
        PrintLine(err, QStringLiteral("psuctl: address %1: interrupted; output switched off").arg(address));
        return ExitInterrupted;
    }
    PrintLine(out, QStringLiteral("output off"));
    return ExitSuccess;
}

void CheckCalibrate(const Invocation &inv)
{
    if (inv.has("voltage-code") == inv.has("current-code"))
        UsageError(QStringLiteral("calibrate takes one of --voltage-code and --current-code"), inv.command);
}

int RunCalibrate(const Invocation &inv, std::FILE *, std::FILE *err)
{
    const bool voltage = inv.has("voltage-code");
    const quint16 reg = voltage ? VoltageCorrection : CurrentCorrection;
    RtuMaster master(inv.line, err);
    master.open();
    WriteAndCheck(master, inv.address(),
                  {reg, quint16(inv.whole(voltage ? "voltage-code" : "current-code")), QString(), true});
    return ExitSuccess;
}

void CatchInterrupts()
{
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted()
{
    return g_interrupted;
}

int RunPsuctl(const QStringList &arguments, std::FILE *out, std::FILE *err)
{
    g_interrupted = 0;
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
    } catch (const CtlError &error) {
        PrintLine(err, QStringLiteral("psuctl: ") + error.text());
        return error.exitCode();
    }
}
