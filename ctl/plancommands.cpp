// psuctl test and psuctl history: a test plan run on the line, judged check by
// check, and the runs of a serial number from the history.

#include "ctl/cli.h"
#include "ctl/commands.h"
#include "ctl/ctlerror.h"
#include "ctl/service.h"
#include "ctl/values.h"
#include "plan/masterbus.h"
#include "plan/planengine.h"
#include "plan/recorders.h"
#include "plan/references.h"
#include "plan/runrecord.h"

#include <QSet>

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <thread>

namespace {

// The limits as judged, "-" for none.
QString Limits(const CheckResult &check)
{
    const auto number = [](const std::optional<double> &value) { return value ? LimitText(value) : QStringLiteral("-"); };
    return QStringLiteral("[%1, %2]").arg(number(check.low), number(check.high));
}

// The terminal's lines: one per check as it is judged, one per slot at its end.
class TerminalLines : public PlanListener
{
public:
    explicit TerminalLines(std::FILE *out) : m_out(out) {}

    void runStarted(const RunInfo &info) override
    {
        m_info = info;
        PrintLine(m_out, QStringLiteral("%1 %2, run %3").arg(info.planName, info.planVersion, info.runId));
        for (const ReferenceUsed &reference : info.references)
            PrintLine(m_out, QStringLiteral("reference %1 (%2): %3, calibration due %4%5")
                                 .arg(reference.name, reference.kind, reference.identity,
                                      reference.calibrationDue.isValid() ? reference.calibrationDue.toString(Qt::ISODate)
                                                                         : QStringLiteral("not given"),
                                      reference.expired ? QStringLiteral(" (EXPIRED, run with --allow-expired)")
                                                        : QString()));
    }
    void checkJudged(const CheckResult &check) override
    {
        const SlotInfo &slot = m_info.slotList.at(check.slot);
        PrintLine(m_out, QStringLiteral("%1 %2 %3 %4 %5%6 %7 %8 %9")
                             .arg(IsoTime(check.time), slot.name, check.path, check.name, check.quantity,
                                  check.statistic.isEmpty() ? QString() : QLatin1Char(' ') + check.statistic,
                                  QString::number(check.value, 'f', check.decimals) + QLatin1Char(' ') + check.unit,
                                  Limits(check), check.word())
                             + (check.reference.isEmpty() ? QString()
                                                          : QStringLiteral(" U=%1 %2 k=%3 (%4)")
                                                                .arg(QString::number(check.expanded, 'g', 2), check.unit,
                                                                     QString::number(check.coverage, 'g', 3),
                                                                     check.reference)));
    }
    void slotFinished(const SlotVerdict &verdict) override
    {
        const SlotInfo &slot = m_info.slotList.at(verdict.slot);
        PrintLine(m_out, QStringLiteral("slot %1 (address %2, %3, serial %4): %5, %6 checks, %7 failed%8")
                             .arg(slot.name)
                             .arg(slot.address)
                             .arg(slot.model, slot.serial, VerdictText(verdict.verdict))
                             .arg(verdict.checks)
                             .arg(verdict.failed)
                             .arg(verdict.cause.isEmpty() ? QString() : QStringLiteral(": ") + verdict.cause));
        m_verdicts.append(verdict.verdict);
    }

    QVector<Verdict> verdicts() const { return m_verdicts; }

private:
    std::FILE *m_out;
    RunInfo m_info;
    QVector<Verdict> m_verdicts;
};

} // namespace

void CheckTest(const Invocation &inv)
{
    if (inv.text("serial").isEmpty())
        UsageError(QStringLiteral("test needs the serial numbers (--serial)"), QStringLiteral("test"));
    if (inv.has("db") && inv.has("no-history"))
        UsageError(QStringLiteral("--db and --no-history exclude each other"), QStringLiteral("test"));
}

int RunTest(const Invocation &inv, std::FILE *out, std::FILE *err)
{
    Plan plan;
    const QStringList serials = inv.text("serial").split(QLatin1Char(','));
    try {
        plan = LoadPlan(inv.arguments.first());
        CheckSerials(serials, plan.slotList.size());
    } catch (const PlanError &error) {
        Fail(ExitUsage, error.text());
    }
    // The references are read, opened and identified before anything is
    // sent to a supply.
    std::shared_ptr<RunReferences> references;
    if (!plan.references.isEmpty() && !inv.has("station"))
        Fail(ExitUsage, QStringLiteral("%1: the plan uses reference instruments (%2): give their station file with --station")
                            .arg(plan.file, QStringList(plan.references.keys()).join(QStringLiteral(", "))));
    if (inv.has("station")) {
        try {
            references = std::make_shared<RunReferences>(LoadStation(inv.text("station")), plan.references,
                                                         QDate::currentDate(), inv.has("allow-expired"));
        } catch (const SystemError &error) {
            Fail(ExitUsage, error.text());
        }
    }

    RecorderOptions keep;
    keep.reportDir = inv.text("report");
    keep.database = inv.text("db");
    keep.history = !inv.has("no-history");
    RunRecorders recorders(keep);
    // A history that cannot be had is found out before anything is sent,
    // not at the end of the run.
    try {
        recorders.openHistory();
    } catch (const SystemError &error) {
        Fail(ExitUsage, error.text() + QStringLiteral(" (--no-history runs the test without it)"));
    }

    RtuMaster master(inv.line, err);
    master.open();
    RtuPlanBus bus(master);

    RunInfo info = DescribeRun(plan, serials, inv.text("operator"), QStringLiteral(PSUCTL_VERSION), inv.line.port);
    if (references) {
        info.stationFile = references->stationFile();
        info.references = references->used();
    }
    PlanRun run(plan, bus, info);
    run.useReferences(references);
    TerminalLines lines(out);
    run.addListener(&lines);
    run.addListener(&recorders);

    // Ctrl-C, SIGHUP, SIGTERM...: the run sees its abort between transactions
    // and runs the finally block.
    CatchStopSignals();
    std::atomic<bool> running{true};
    std::thread watcher([&] {
        while (running.load()) {
            if (StopRequested()) {
                run.abort();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    // The signal goes to the watcher alone: a request under way on this
    // thread is never cut short by it (an interrupted wait would look like a
    // lost port).
    sigset_t before;
    BlockStopSignals(&before);
    const auto stopWatching = [&] {
        running.store(false);
        watcher.join();
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    };
    try {
        run.run();
    } catch (...) {
        stopWatching();
        throw;
    }
    stopWatching();

    // A report or the database that could not be written never hides the verdict.
    for (const QString &file : recorders.files())
        PrintLine(out, QStringLiteral("report %1").arg(file));
    for (const QString &problem : recorders.problems())
        PrintLine(err, QStringLiteral("psuctl: ") + problem);

    if (StopRequested())
        return StopExitCode();
    if (recorders.historyLost())
        return ExitHistoryLost;
    for (const Verdict verdict : lines.verdicts()) {
        if (verdict != Verdict::Pass)
            return ExitTestFailed;
    }
    return ExitSuccess;
}

int RunHistory(const Invocation &inv, std::FILE *out, std::FILE *)
{
    const QString serial = inv.arguments.first();
    const QString database = inv.text("db", DefaultHistoryDatabase());
    QVector<HistoryRow> rows;
    try {
        rows = ListHistory(database, serial);
    } catch (const SystemError &error) {
        Fail(ExitUsage, error.text());
    }
    if (rows.isEmpty())
        PrintLine(out, QStringLiteral("no runs of %1 in %2").arg(serial, database));
    for (const HistoryRow &row : rows) {
        PrintLine(out, QStringLiteral("%1  %2  %3 %4  slot %5  %6  %7 checks, %8 failed  %9")
                           .arg(IsoTime(row.start), HistoryVerdictText(row), row.planName, row.planVersion, row.slot,
                                row.station)
                           .arg(row.checks)
                           .arg(row.failed)
                           .arg(row.runId));
        for (const ReferenceUsed &reference : row.references)
            PrintLine(out, QStringLiteral("    reference %1 (%2, %3): %4")
                               .arg(reference.name, reference.kind, reference.link, ReferenceText(reference)));
    }
    try {
        PrintCalibrationHistory(out, database, serial);
    } catch (const SystemError &error) {
        Fail(ExitUsage, error.text());
    }
    return ExitSuccess;
}
