// The plan engine's own cost and its timing on a shared line: simulated
// supplies on a pseudo-terminal at 9600 baud, psuctl's Modbus master, and
// plans written for the purpose. Prints Markdown rows for docs/performance.md.
//
//   bench_plan [--quick]

#include "plan/masterbus.h"
#include "plan/planengine.h"
#include "plan/uncertainty.h"
#include "sim/simbus.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

// The time spent inside the bus's calls: the line, the supply and libmodbus.
class TimedBus : public PlanBus
{
public:
    explicit TimedBus(PlanBus &bus) : m_bus(bus) {}
    QVector<quint16> read(int address, quint16 start, int count) override
    {
        const auto begun = Clock::now();
        auto values = m_bus.read(address, start, count);
        m_inside += Clock::now() - begun;
        ++m_transactions;
        return values;
    }
    void write(int address, quint16 start, const QVector<quint16> &values) override
    {
        const auto begun = Clock::now();
        m_bus.write(address, start, values);
        m_inside += Clock::now() - begun;
        ++m_transactions;
    }
    bool lost() const override { return m_bus.lost(); }
    bool reopen() override { return m_bus.reopen(); }

    double insideMs() const { return std::chrono::duration<double, std::milli>(m_inside).count(); }
    int transactions() const { return m_transactions; }

private:
    PlanBus &m_bus;
    Clock::duration m_inside{};
    int m_transactions = 0;
};

struct Steps : PlanListener {
    QVector<StepEvent> ended;
    int failedChecks = 0;
    void stepEnded(const StepEvent &e) override { ended << e; }
    void checkJudged(const CheckResult &c) override { failedChecks += c.passed ? 0 : 1; }
};

const char *kSlots = R"(name = "bench"
version = "1"
[[slot]]
name = "A"
address = 1
model = "QELT30-05"
[[slot]]
name = "B"
address = 5
model = "QELT60-05"
[[slot]]
name = "C"
address = 17
model = "QELT36-03"
)";

struct Outcome {
    double wallMs = 0;
    double busMs = 0;
    int transactions = 0;
    Steps steps;
};

Outcome runPlan(const QString &device, const QString &path)
{
    LineOptions line;
    line.port = device;
    line.timeoutUs = 200000;
    RtuMaster master(line, nullptr);
    master.open();
    RtuPlanBus rtu(master);
    TimedBus bus(rtu);
    const Plan plan = LoadPlan(path);
    QStringList serials;
    for (int i = 0; i < plan.slotList.size(); ++i)
        serials << QStringLiteral("B%1").arg(i);
    Outcome outcome;
    PlanRun run(plan, bus, DescribeRun(plan, serials, QString(), QString(), device));
    run.addListener(&outcome.steps);
    const auto begun = Clock::now();
    run.run();
    outcome.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - begun).count();
    outcome.busMs = bus.insideMs();
    outcome.transactions = bus.transactions();
    return outcome;
}

QString write(const QTemporaryDir &folder, const QString &name, const QString &text)
{
    QFile file(folder.filePath(name));
    file.open(QIODevice::WriteOnly);
    file.write(text.toUtf8());
    return file.fileName();
}

double percentile(QVector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values.at(qMin(values.size() - 1, int(share * values.size())));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    SimBus sim;
    sim.addSupply(1, 1);
    sim.addSupply(5, 7);
    sim.addSupply(17, 5);
    const QString device = sim.openPty();
    sim.start(SimBus::Threading::OwnThread);
    QTemporaryDir folder;

    // Overhead: one slot, set steps back to back (a write and its read-back
    // each); whatever of the run is not inside the bus is the engine's.
    const int sets = quick ? 50 : 200;
    const QString one = QString::fromLatin1(kSlots).section(QStringLiteral("[[slot]]"), 0, 1);
    const Outcome overhead = runPlan(
        device, write(folder, QStringLiteral("overhead.toml"),
                      one + QStringLiteral("[[step]]\ntype = \"loop\"\ncount = %1\n[[step.do]]\ntype = \"set\"\nvoltage = 1\n").arg(sets)));
    const int steps = overhead.steps.ended.size();
    const double perStep = (overhead.wallMs - overhead.busMs) / steps;
    const double linePerStep = overhead.busMs / steps;

    // Dwell: three slots, each set, wait 100 ms, measure twice, over and over;
    // every wait's measured dwell against the plan's.
    const int passes = quick ? 10 : 40;
    const Outcome dwell = runPlan(
        device, write(folder, QStringLiteral("dwell.toml"),
                      QString::fromLatin1(kSlots)
                          + QStringLiteral("[[step]]\ntype = \"set\"\ncurrent = 1\noutput = true\n"
                                           "[[step]]\ntype = \"loop\"\ncount = %1\n"
                                           "[[step.do]]\ntype = \"set\"\nvoltage = 2\n"
                                           "[[step.do]]\ntype = \"wait\"\ntime = 0.1\n"
                                           "[[step.do]]\ntype = \"measure\"\ncount = 2\n"
                                           "[[step.do.check]]\nname = \"v\"\nquantity = \"voltage\"\ncounts = 3\n"
                                           "[[finally]]\ntype = \"set\"\noutput = false\n")
                                .arg(passes)));
    QVector<double> late;
    for (const StepEvent &e : dwell.steps.ended) {
        if (e.kind == QLatin1String("wait"))
            late << e.actualMs - e.plannedMs;
    }
    const double p99 = percentile(late, 0.99);
    const double earliest = *std::min_element(late.begin(), late.end());
    sim.stop();

    // Uncertainty and decision: 10,000 checks of ten meter readings each,
    // values spread so that every verdict and both rules occur.
    const int checks = 10000;
    QVector<double> readings(10);
    int conditional = 0;
    const auto decided = Clock::now();
    for (int n = 0; n < checks; ++n) {
        for (int i = 0; i < readings.size(); ++i)
            readings[i] = 12.0 + (n % 200 - 100) * 1e-3 + (i % 3) * 1e-5;
        const UncertaintyBudget budget = EvaluateUncertainty(readings, AccuracyLimits{100, 0.0035, 0.0005, 1e-4}, 0.01);
        const Decision d = Decide(budget.mean, 11.9, 12.1, budget.expanded,
                                  n % 2 ? DecisionRule::Simple : DecisionRule::Guarded);
        conditional += d.verdict == Acceptance::Conditional;
    }
    const double decideMs = std::chrono::duration<double, std::milli>(Clock::now() - decided).count();

    std::printf("| Uncertainty budget and decision for %d checks of 10 readings (%d conditional) | %.2f ms | <= 50 ms | %s |\n",
                checks, conditional, decideMs, decideMs <= 50 ? "yes" : "**no**");
    std::printf("| Plan engine: its own time per step beyond the bus (one slot, 9600 baud, %d set steps of a write "
                "and its read-back, %.1f ms on the bus each) | %.3f ms | <= 1 ms | %s |\n",
                steps, linePerStep, perStep, perStep <= 1.0 ? "yes" : "**no**");
    std::printf("| Plan engine: a wait's dwell beyond the plan, three slots at 9600 baud sharing the line (%d waits "
                "of 100 ms, %d transactions) | p99 %.2f ms (median %.2f, max %.2f, never short: %s) | p99 <= 5 ms | %s |\n",
                int(late.size()), dwell.transactions, p99, percentile(late, 0.5), percentile(late, 1.0),
                earliest >= 0 ? "yes" : "no", p99 <= 5.0 && earliest >= 0 ? "yes" : "**no**");
    return dwell.steps.failedChecks == 0 ? 0 : 1;
}
