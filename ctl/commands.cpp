#include "ctl/commands.h"

#include "ctl/cli.h"
#include "ctl/ctlerror.h"
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

// Ctrl-C sets a flag that the long commands look at between requests, so a
// request under way finishes and a run can still switch the output off.
void CatchInterrupts()
{
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
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

void print(std::FILE *stream, const QString &line)
{
    std::fputs(line.toUtf8().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

const ModelEntry &model(const Invocation &inv)
{
    return *FindModel(inv.modelItem);
}

void runModels(std::FILE *out)
{
    print(out, QStringLiteral(" #  model          max V    max A   V step  A step"));
    for (int item = 1; item <= ModelCount; ++item) {
        const ModelEntry &m = *FindModel(item);
        print(out, QStringLiteral("%1  %2 %3 %4   %5  %6")
                       .arg(item, 2)
                       .arg(QLatin1String(m.caption), -12)
                       .arg(FormatScaled(m.voltageLimit, m.voltageScale, m.voltageDecimals), 8)
                       .arg(FormatScaled(m.currentLimit, m.currentScale, m.currentDecimals), 8)
                       .arg(FormatScaled(1, m.voltageScale, m.voltageDecimals), -6)
                       .arg(FormatScaled(1, m.currentScale, m.currentDecimals)));
    }
}

int runScan(const Invocation &inv, RtuMaster &master, std::FILE *out, std::FILE *err)
{
    const bool progress = ::isatty(::fileno(err));
    const int total = inv.to - inv.from + 1;
    int found = 0;
    for (int address = inv.from; address <= inv.to && !g_interrupted; ++address) {
        if (progress) {
            const int done = address - inv.from;
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
            print(out, QString::number(address));
        }
    }
    if (progress) {
        std::fputs("\r\033[K", err);
        std::fflush(err);
    }
    if (g_interrupted)
        return ExitInterrupted;
    if (!found)
        Fail(ExitNoReply, QStringLiteral("no address from %1 to %2 answers").arg(inv.from).arg(inv.to));
    return ExitSuccess;
}

StatusSample takeReading(RtuMaster &master, const Invocation &inv)
{
    return ReadStatusSample(master, inv.address, model(inv));
}

int runStatus(const Invocation &inv, RtuMaster &master, std::FILE *out, std::FILE *err)
{
    QString header = ReadingHeader(inv.format);
    const int count = inv.count ? inv.count : (inv.watchMs ? 0 : 1);
    const auto interval = std::chrono::milliseconds(inv.watchMs);
    const Clock::time_point start = Clock::now();
    bool warnedLate = false;
    qint64 slot = 0;
    for (int taken = 0; count == 0 || taken < count; ++taken) {
        if (taken > 0 && inv.watchMs) {
            // The next reading falls on the rhythm's next slot still ahead.
            ++slot;
            const qint64 now = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
            const qint64 intervalUs = qint64(inv.watchMs) * 1000;
            if (slot * intervalUs < now) {
                if (!warnedLate)
                    print(err, QStringLiteral("psuctl: address %1: a reading took longer than the %2 ms interval; "
                                              "readings that fell due meanwhile are skipped")
                                   .arg(inv.address)
                                   .arg(inv.watchMs));
                warnedLate = true;
                slot = now / intervalUs + 1;
            }
            if (!SleepUntil(start + slot * interval))
                break;
        }
        const StatusSample reading = takeReading(master, inv);
        // The header goes out with the first reading, so a supply that never
        // answers leaves no header behind.
        if (!header.isEmpty())
            print(out, header);
        header.clear();
        print(out, FormatReading(reading, inv.format));
        if (g_interrupted)
            break;
    }
    return ExitSuccess;
}

int runSet(const Invocation &inv, RtuMaster &master, std::FILE *err)
{
    // Every value is converted, and every note printed, before the port opens.
    SetValues values;
    values.voltage = inv.voltage;
    values.current = inv.current;
    values.ovp = inv.ovp;
    values.ocp = inv.ocp;
    values.power = inv.power;
    values.output = inv.output;
    values.lock = inv.lock;
    values.powerControl = inv.powerControl;
    values.pid = inv.pid;
    const SetPlan plan = PlanSet(values, inv.modelItem ? &model(inv) : nullptr);
    for (const QString &note : plan.notes)
        print(err, QStringLiteral("psuctl: address %1: ").arg(inv.address) + note);

    master.open();
    for (const SetWrite &write : plan.writes)
        WriteAndCheck(master, inv.address, write);
    if (inv.newAddress) {
        const int newAddress = *inv.newAddress;
        master.write(inv.address, BusAddress, {quint16(newAddress)});
        for (int attempt = 0; attempt <= inv.line.retries; ++attempt) {
            if (master.probe(newAddress) != RtuMaster::Probe::Silent)
                return ExitSuccess;
        }
        Fail(ExitReadBack, QStringLiteral("address %1: %2 was written %3, but nothing answers at %3")
                               .arg(inv.address)
                               .arg(RegisterText(BusAddress))
                               .arg(newAddress));
    }
    return ExitSuccess;
}

int runSteps(const Invocation &inv, RtuMaster &master, std::FILE *out, std::FILE *err)
{
    QFile file(inv.stepsFile);
    if (!file.open(QIODevice::ReadOnly))
        Fail(ExitUsage, QStringLiteral("cannot read %1: %2").arg(inv.stepsFile, file.errorString()));
    const QVector<StepRow> rows = ParseSteps(QString::fromUtf8(file.readAll()), inv.stepsFile);
    const ModelEntry &m = model(inv);
    QVector<QVector<quint16>> setpoints;
    for (const StepRow &row : rows) {
        const QString where = QStringLiteral("psuctl: %1:%2: address %3: ").arg(inv.stepsFile).arg(row.line).arg(inv.address);
        const Setpoint volts = ConvertSetpoint(row.volts, m.voltageScale, m.voltageLimit, m.voltageDecimals, "V");
        const Setpoint amps = ConvertSetpoint(row.amps, m.currentScale, m.currentLimit, m.currentDecimals, "A");
        if (!volts.note.isEmpty())
            print(err, where + RegisterText(VoltageSetpoint) + QStringLiteral(": ") + volts.note);
        if (!amps.note.isEmpty())
            print(err, where + RegisterText(CurrentSetpoint) + QStringLiteral(": ") + amps.note);
        setpoints.append({volts.raw, amps.raw});
    }

    master.open();
    CatchInterrupts();
    const int steps = int(rows.size());
    const auto switchOff = [&] { master.write(inv.address, OutputSwitch, {0}); };
    try {
        const Clock::time_point start = Clock::now();
        std::chrono::microseconds offset(0);
        bool on = false;
        for (int cycle = 1; cycle <= inv.cycles && !g_interrupted; ++cycle) {
            for (int i = 0; i < steps && !g_interrupted; ++i) {
                if (!SleepUntil(start + offset))
                    break;
                const StepRow &row = rows.at(i);
                print(out, QStringLiteral("cycle %1/%2 step %3/%4: %5 V %6 A for %7 s")
                               .arg(cycle)
                               .arg(inv.cycles)
                               .arg(i + 1)
                               .arg(steps)
                               .arg(FormatScaled(setpoints.at(i).at(0), m.voltageScale, m.voltageDecimals),
                                    FormatScaled(setpoints.at(i).at(1), m.currentScale, m.currentDecimals),
                                    PlainNumber(row.seconds)));
                master.write(inv.address, VoltageSetpoint, setpoints.at(i));
                if (!on) {
                    master.write(inv.address, OutputSwitch, {1});
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
            print(err, QStringLiteral("psuctl: address %1: the output could not be switched off").arg(inv.address));
        }
        throw;
    }
    if (g_interrupted) {
        print(err, QStringLiteral("psuctl: address %1: interrupted; output switched off").arg(inv.address));
        return ExitInterrupted;
    }
    print(out, QStringLiteral("output off"));
    return ExitSuccess;
}

int runCalibrate(const Invocation &inv, RtuMaster &master)
{
    const bool voltage = bool(inv.voltageCode);
    const quint16 reg = voltage ? VoltageCorrection : CurrentCorrection;
    master.open();
    WriteAndCheck(master, inv.address, {reg, quint16(voltage ? *inv.voltageCode : *inv.currentCode), QString(), true});
    return ExitSuccess;
}

int runCommand(const Invocation &inv, std::FILE *out, std::FILE *err)
{
    if (inv.help) {
        std::fputs(HelpText(inv.command).toUtf8().constData(), out);
        return ExitSuccess;
    }
    if (inv.version) {
        print(out, QStringLiteral("psuctl " PSUCTL_VERSION));
        return ExitSuccess;
    }
    if (inv.command == QLatin1String("models")) {
        runModels(out);
        return ExitSuccess;
    }
#ifdef __linux__
    // Timeouts and the watch rhythm to the microsecond rather than the 50 us
    // slack a process gets by default.
    prctl(PR_SET_TIMERSLACK, 1UL);
#endif
    RtuMaster master(inv.line, err);
    if (inv.command == QLatin1String("set"))
        return runSet(inv, master, err);
    if (inv.command == QLatin1String("run"))
        return runSteps(inv, master, out, err);
    if (inv.command == QLatin1String("calibrate"))
        return runCalibrate(inv, master);
    if (inv.command == QLatin1String("mqtt"))
        return RunBridge(inv.line, inv.bridge, err);
    master.open();
    if (inv.command == QLatin1String("scan")) {
        CatchInterrupts();
        return runScan(inv, master, out, err);
    }
    if (inv.watchMs)
        CatchInterrupts();
    return runStatus(inv, master, out, err);
}

} // namespace

int RunPsuctl(const QStringList &arguments, std::FILE *out, std::FILE *err)
{
    g_interrupted = 0;
    try {
        return runCommand(ParseArguments(arguments), out, err);
    } catch (const CtlError &error) {
        print(err, QStringLiteral("psuctl: ") + error.text());
        return error.exitCode();
    }
}
