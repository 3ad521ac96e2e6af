// The plan engine in this process: checks judged as pure functions, and
// against simulated supplies on a pseudo-terminal: plans refused with their
// place, checks at their limits,
// stop conditions, protection, readings during a ramp, totals against their
// closed forms, a silent supply, an abort; and one psuctl test run as a script
// would start it.

#include "plan/judging.h"
#include "plan/masterbus.h"
#include "plan/planengine.h"
#include "plan/recorders.h"
#include "sim/simbus.h"
#include "sim/simoptions.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <thread>

namespace {

// Everything a run tells, kept in order.
struct Recorded : PlanListener {
    QVector<StepEvent> started, ended;
    QVector<ReadingEvent> readings;
    QVector<CheckResult> checks;
    QVector<SlotVerdict> verdicts;
    std::function<void(const StepEvent &)> onStart;

    void stepStarted(const StepEvent &e) override
    {
        started << e;
        if (onStart)
            onStart(e);
    }
    void stepEnded(const StepEvent &e) override { ended << e; }
    void reading(const ReadingEvent &e) override { readings << e; }
    void checkJudged(const CheckResult &c) override { checks << c; }
    void slotFinished(const SlotVerdict &v) override { verdicts << v; }

    Verdict verdictOf(int slot) const
    {
        for (const SlotVerdict &v : verdicts)
            if (v.slot == slot)
                return v.verdict;
        return Verdict::Error;
    }
    const StepEvent *endOf(const QString &kind) const
    {
        for (const StepEvent &e : ended)
            if (e.kind == kind)
                return &e;
        return nullptr;
    }
};

const char *kOneSlot = R"(name = "t"
version = "1"
[[slot]]
name = "A"
address = 1
model = "QELT30-05"
)";

const char *kThreeSlots = R"(name = "t"
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

// Every slot at 5 V, 1 A, output on.
const char *kOn5V = R"(
[[step]]
type = "set"
voltage = 5
current = 1
output = true
)";

const char *kOn12V = R"(
[[step]]
type = "set"
voltage = 12
current = 1
output = true
)";

// Two seconds' wait (a closed pipe or a lock has its time) and a check of the 5 V.
const char *kWaitThenCheck5V = R"(
[[step]]
type = "wait"
time = 2
[[step]]
type = "measure"
[[step.check]]
name = "v"
quantity = "voltage"
min = 4.9
max = 5.1
)";

const char *kOutputsOff = R"(
[[finally]]
type = "set"
output = false
)";

} // namespace

class TestPlanEngine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void planErrors_data();
    void planErrors();
    void serialRefusals_data();
    void serialRefusals();
    void runDescription_data();
    void runDescription();
    void judging_data();
    void judging();
    void checkAtItsLimits_data();
    void checkAtItsLimits();
    void silentSupplyFailsOnlyItsSlot();
    void abortRunsFinally();
    void waitDwellIsMeasured();
    void stopConditions_data();
    void stopConditions();
    void protection_data();
    void protection();
    void readingsDuringRamp();
    void integralsCoverTheStep_data();
    void integralsCoverTheStep();
    void lostPortRunsFinallyWhenBack();
    void psuctlTestEndToEnd();
    void plannedChecksAreTheRunsChecks();
    void unreachedChecksInReports();
    void plannedChecksOfNestedLoopsBounded();
    void psuctlPrintsLimitsAsJudged();
    void psuctlTestStoppedBySignal_data();
    void psuctlTestStoppedBySignal();
    void psuctlTestGoesOnPastClosedStdout();
    void psuctlTestRefusesUnreachableHistory_data();
    void psuctlTestRefusesUnreachableHistory();
    void psuctlTestHistoryLostHasItsStatus();
    void psuctlTestKilledKeepsCsvAndIsIncomplete();

private:
    QStringList psuctlTest(const QString &plan, const QStringList &more = {}) const;
    // psuctl history X1: what it prints.
    QString psuctlHistory(const QString &database, int *exitCode) const;
    // Starts psuctl test and waits until the output of the supply at 1 is on.
    bool startUntilOutputOn(QProcess &process, const QStringList &arguments);
    QString writePlan(const QString &text, const QString &name = QStringLiteral("plan.toml"));
    Recorded runPlan(const QString &text, const std::function<void(PlanRun &, Recorded &)> &prepare = {});
    void change(int address, const std::function<void(SimSupply &)> &change);
    // psuctl test of a one-slot plan, serial X1.

    SimBus *m_bus = nullptr;
    QString m_device;
    std::unique_ptr<QTemporaryDir> m_folder;
};

void TestPlanEngine::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    m_bus = new SimBus(this);
    m_bus->addSupply(1, 1);  // QELT30-05
    m_bus->addSupply(5, 7);  // QELT60-05
    m_bus->addSupply(17, 5); // QELT36-03
    // Each reply written whole when its last byte is due: on a loaded machine
    // a reply paced byte by byte can pause longer than the master's 20 ms
    // between bytes, and the engine's tests are not about that.
    m_bus->setPacing(SimBus::Pacing::PerFrame);
    m_device = m_bus->openPty();
    m_bus->start(SimBus::Threading::OwnThread);
}

void TestPlanEngine::cleanup()
{
    m_bus->stop();
    delete m_bus;
    m_bus = nullptr;
}

QString TestPlanEngine::writePlan(const QString &text, const QString &name)
{
    const QString path = m_folder->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write(text.toUtf8());
    return path;
}

Recorded TestPlanEngine::runPlan(const QString &text, const std::function<void(PlanRun &, Recorded &)> &prepare)
{
    const Plan plan = LoadPlan(writePlan(text));
    LineOptions line;
    line.port = m_device;
    line.timeoutUs = 1000000; // generous: other tests run beside this one
    line.retries = 2;
    RtuMaster master(line, nullptr);
    master.open();
    RtuPlanBus bus(master);
    QStringList serials;
    for (int i = 0; i < plan.slotList.size(); ++i)
        serials << QStringLiteral("S%1").arg(i);
    PlanRun run(plan, bus, DescribeRun(plan, serials, QStringLiteral("tester"), QString(), m_device));
    Recorded recorded;
    run.addListener(&recorded);
    if (prepare)
        prepare(run, recorded);
    run.run();
    return recorded;
}

void TestPlanEngine::change(int address, const std::function<void(SimSupply &)> &change)
{
    m_bus->updateSupply(m_bus->indexOfAddress(address), change);
}

// Each refusal names the line and column of what is wrong.
void TestPlanEngine::planErrors_data()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("profile");
    QTest::addColumn<bool>("inProfile");
    QTest::addColumn<int>("line");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("cause");

    // kOneSlot has 6 lines; the steps start on line 7.
    QTest::newRow("unknown step") << "[[step]]\ntype = \"jump\"\n" << "" << false << 8 << 8 << "unknown step 'jump'";
    QTest::newRow("missing limit") << "[[step]]\ntype = \"measure\"\n[[step.check]]\nname = \"v\"\nquantity = \"voltage\"\n"
                                   << "" << false << 9 << 1 << "check 'v' has no limit";
    QTest::newRow("above the model's range") << "[[step]]\ntype = \"set\"\nvoltage = 31.01\n" << "" << false << 9 << 11
                                             << "'voltage': 31.01 V is outside 0.00 to 31.00 V, the voltage range of QELT30-05";
    QTest::newRow("negative voltage") << "[[step]]\ntype = \"set\"\nvoltage = -1\n" << "" << false << 9 << 11
                                      << "'voltage': -1 V is outside 0.00 to 31.00 V, the voltage range of QELT30-05";
    QTest::newRow("ramp beyond the range") << "[[step]]\ntype = \"ramp\"\nquantity = \"current\"\nto = 5.101\ntime = 1\n"
                                           << "" << false << 10 << 6
                                           << "'to': 5.101 A is outside 0.000 to 5.100 A, the current range of QELT30-05";
    QTest::newRow("sweep value beyond the range")
        << "[[step]]\ntype = \"sweep\"\nquantity = \"voltage\"\nvalues = [1, 31.01]\n" << "" << false << 10 << 14
        << "'values': 31.01 V is outside 0.00 to 31.00 V, the voltage range of QELT30-05";
    QTest::newRow("min above max") << "[[step]]\ntype = \"measure\"\n[[step.check]]\nname = \"v\"\nquantity = \"voltage\"\nmin = 2\nmax = 1\n"
                                   << "" << false << 12 << 7 << "min 2 is above max 1";
    QTest::newRow("unknown key") << "[[step]]\ntype = \"wait\"\ntime = 1\ntme = 2\n" << "" << false << 10 << 1
                                 << "unknown key 'tme'";
    QTest::newRow("measure count not whole") << "[[step]]\ntype = \"measure\"\ncount = 2.5\n[[step.check]]\nname = \"v\"\nquantity = \"voltage\"\nmax = 1\n"
                                             << "" << false << 9 << 9 << "'count' = 2.5 is not a whole number";
    QTest::newRow("loop count not whole") << "[[step]]\ntype = \"loop\"\ncount = 3.000001\n[[step.do]]\ntype = \"wait\"\ntime = 1\n"
                                          << "" << false << 9 << 9 << "'count' = 3.000001 is not a whole number";
    QTest::newRow("slot address not whole") << "[[slot]]\nname = \"B\"\naddress = 2.5\nmodel = \"QELT30-05\"\n"
                                            << "" << false << 9 << 11 << "'address' = 2.5 is not a whole number";
    QTest::newRow("not TOML") << "[[step]\ntype = \"wait\"\n" << "" << false << 7 << 8 << "";
    QTest::newRow("profile row") << "[[step]]\ntype = \"profile\"\nfile = \"p.csv\"\n" << "time,v,a\n0,1,0.5\n2,x,0.5\n"
                                 << true << 3 << 3 << "'x' is not a voltage";
    QTest::newRow("profile row beyond the range") << "[[step]]\ntype = \"profile\"\nfile = \"p.csv\"\n" << "0,40,0.5\n"
                                                  << true << 1 << 3 << "40 V is outside 0.00 to 31.00 V, the voltage range of QELT30-05";
}

void TestPlanEngine::planErrors()
{
    QFETCH(QString, steps);
    QFETCH(QString, profile);
    QFETCH(bool, inProfile);
    QFETCH(int, line);
    QFETCH(int, column);
    QFETCH(QString, cause);
    if (!profile.isEmpty())
        writePlan(profile, QStringLiteral("p.csv"));
    const QString path = writePlan(QLatin1String(kOneSlot) + steps);
    try {
        LoadPlan(path);
        QFAIL("the plan was taken");
    } catch (const PlanError &error) {
        QCOMPARE(error.file(), inProfile ? m_folder->filePath(QStringLiteral("p.csv")) : path);
        QCOMPARE(error.line(), line);
        QCOMPARE(error.column(), column);
        QVERIFY2(error.cause().contains(cause), qPrintable(error.cause()));
    }
    // Nothing was sent.
    QVERIFY(m_bus->record().isEmpty());
}

void TestPlanEngine::serialRefusals_data()
{
    QTest::addColumn<QStringList>("serials");
    QTest::addColumn<QString>("cause");
    QTest::newRow("empty") << QStringList{"A1", " ", "A3"} << "slot 2 is empty";
    QTest::newRow("twice") << QStringList{"A1", "A2", "A1"} << "A1 is given for two slots";
    QTest::newRow("too few") << QStringList{"A1", "A2"} << "2 serial numbers for 3 slots";
}

void TestPlanEngine::serialRefusals()
{
    QFETCH(QStringList, serials);
    QFETCH(QString, cause);
    CheckSerials({"A1", "A2", "A3"}, 3);
    try {
        CheckSerials(serials, 3);
        QFAIL("the serial numbers were taken");
    } catch (const PlanError &error) {
        QVERIFY2(error.cause().contains(cause), qPrintable(error.cause()));
    }
}

// The operator of a run: the name given, else the login name.
void TestPlanEngine::runDescription_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("username");
    QTest::addColumn<QString>("operatorName");
    QTest::newRow("given") << "Li Wei" << QByteArray("eol") << QByteArray("station") << "Li Wei";
    QTest::newRow("the login") << "" << QByteArray("eol") << QByteArray("station") << "eol";
    QTest::newRow("the login elsewhere") << "" << QByteArray() << QByteArray("station") << "station";
}

void TestPlanEngine::runDescription()
{
    QFETCH(QString, given);
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, username);
    QFETCH(QString, operatorName);
    const QByteArray userBefore = qgetenv("USER"), usernameBefore = qgetenv("USERNAME");
    qputenv("USER", user);
    qputenv("USERNAME", username);
    const Plan plan = LoadPlan(writePlan(QLatin1String(kThreeSlots) + QStringLiteral("[[step]]\ntype = \"wait\"\ntime = 0\n")));
    const RunInfo info = DescribeRun(plan, {"A1", " A2 ", "A3"}, given, QStringLiteral("9.9"), QStringLiteral("COM2"));
    qputenv("USER", userBefore);
    qputenv("USERNAME", usernameBefore);
    QCOMPARE(info.operatorName, operatorName);
    QCOMPARE(info.toolVersion, QStringLiteral("9.9"));
    QCOMPARE(info.port, QStringLiteral("COM2"));
    QCOMPARE(info.slotList.size(), 3);
    QCOMPARE(info.slotList.at(1).serial, QStringLiteral("A2"));
    QCOMPARE(info.slotList.at(1).address, 5);
    QCOMPARE(info.slotList.at(2).name, QStringLiteral("C"));
}

// A check's statistic of readings that vary, against limits on a 0.01 V
// model with 12.00 V set: a value at a limit passes, one count beyond fails,
// on both sides, for absolute limits and for both relative forms.
void TestPlanEngine::judging_data()
{
    QTest::addColumn<QList<double>>("values");
    QTest::addColumn<int>("statistic");
    QTest::addColumn<double>("min"); // NaN: none; both NaN: relative
    QTest::addColumn<double>("max");
    QTest::addColumn<double>("percent");
    QTest::addColumn<double>("counts");
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    QTest::addColumn<bool>("passes");
    const double none = qQNaN();
    const QList<double> spread{12.01, 11.99, 12.03, 12.00};
    const int mean = int(Statistic::Mean), min = int(Statistic::Min), max = int(Statistic::Max);
    QTest::newRow("mean within") << spread << mean << 11.98 << 12.02 << 0.0 << 0.0 << 12.0075 << 11.98 << 12.02 << true;
    QTest::newRow("mean of one reading") << QList<double>{12.02} << mean << 11.98 << 12.02 << 0.0 << 0.0 << 12.02 << 11.98 << 12.02 << true;
    QTest::newRow("min at min") << spread << min << 11.99 << none << 0.0 << 0.0 << 11.99 << 11.99 << none << true;
    QTest::newRow("min a count below min") << spread << min << 12.00 << none << 0.0 << 0.0 << 11.99 << 12.00 << none << false;
    QTest::newRow("min under a max") << spread << min << none << 12.00 << 0.0 << 0.0 << 11.99 << none << 12.00 << true;
    QTest::newRow("max at max") << spread << max << none << 12.03 << 0.0 << 0.0 << 12.03 << none << 12.03 << true;
    QTest::newRow("max a count above max") << spread << max << none << 12.02 << 0.0 << 0.0 << 12.03 << none << 12.02 << false;
    QTest::newRow("max over a min") << spread << max << 12.02 << none << 0.0 << 0.0 << 12.03 << 12.02 << none << true;
    const auto relative = [&](const char *row, const QList<double> &values, int statistic, double percent,
                              double counts, double value, double band, bool passes) {
        QTest::newRow(row) << values << statistic << none << none << percent << counts << value << 12.0 - band
                           << 12.0 + band << passes;
    };
    relative("counts high, at", {12.00, 12.02}, max, 0, 2, 12.02, 0.02, true);
    relative("counts high, beyond", {12.00, 12.03}, max, 0, 2, 12.03, 0.02, false);
    relative("counts low, at", {11.98, 12.00}, min, 0, 2, 11.98, 0.02, true);
    relative("counts low, beyond", {11.97, 12.00}, min, 0, 2, 11.97, 0.02, false);
    relative("percent high, at", {12.00, 12.03}, max, 0.25, 0, 12.03, 0.03, true);
    relative("percent high, beyond", {12.00, 12.04}, max, 0.25, 0, 12.04, 0.03, false);
    relative("percent low, at", {11.97, 12.01}, min, 0.25, 0, 11.97, 0.03, true);
    relative("percent low, beyond", {11.96, 12.01}, min, 0.25, 0, 11.96, 0.03, false);
    relative("percent and counts", {12.04, 11.96}, max, 0.25, 1, 12.04, 0.04, true);
}

void TestPlanEngine::judging()
{
    QFETCH(QList<double>, values);
    QFETCH(int, statistic);
    QFETCH(double, min);
    QFETCH(double, max);
    QFETCH(double, percent);
    QFETCH(double, counts);
    QFETCH(double, value);
    QFETCH(double, low);
    QFETCH(double, high);
    QFETCH(bool, passes);
    const auto given = [](double limit) { return qIsNaN(limit) ? std::nullopt : std::optional<double>(limit); };
    CheckLimits limits{given(min), given(max), percent > 0 || counts > 0, percent, counts};
    const Judgement judged = JudgeReadings(values, Statistic(statistic), 12.0, 0.01, limits);
    QCOMPARE(judged.value, value);
    QCOMPARE(judged.low.has_value(), !qIsNaN(low));
    QCOMPARE(judged.high.has_value(), !qIsNaN(high));
    if (judged.low)
        QCOMPARE(*judged.low, low);
    if (judged.high)
        QCOMPARE(*judged.high, high);
    QCOMPARE(judged.passed, passes);
}

// The same through a run: 12.00 V on a 0.01 V model, read off by a
// calibration offset of so many counts, judged about the setpoint read.
void TestPlanEngine::checkAtItsLimits_data()
{
    QTest::addColumn<QString>("limits");
    QTest::addColumn<int>("offset");
    QTest::addColumn<bool>("passes");
    QTest::newRow("absolute min, beyond") << QStringLiteral("min = 11.98\nmax = 12.02") << -3 << false;
    QTest::newRow("counts high, at") << QStringLiteral("counts = 2") << 2 << true;
    QTest::newRow("percent low, beyond") << QStringLiteral("percent = 0.25") << -4 << false;
}

void TestPlanEngine::checkAtItsLimits()
{
    QFETCH(QString, limits);
    QFETCH(int, offset);
    QFETCH(bool, passes);
    change(1, [offset](SimSupply &s) { s.faults().voltageOffsetCounts = offset; });
    const Recorded r = runPlan(QLatin1String(kOneSlot) + QStringLiteral(R"(
[[step]]
type = "set"
voltage = 12
current = 1
output = true
[[step]]
type = "measure"
count = 2
[[step.check]]
name = "v"
quantity = "voltage"
%1
)").arg(limits) + QLatin1String(kOutputsOff));
    QVERIFY2(r.checks.size() == 1, qPrintable(r.verdicts.value(0).cause));
    const CheckResult &check = r.checks.first();
    QCOMPARE(check.value, (1200 + offset) / 100.0);
    QCOMPARE(check.passed, passes);
    QCOMPARE(r.verdictOf(0), passes ? Verdict::Pass : Verdict::Fail);
    QVERIFY(check.margin().has_value());
    QCOMPARE(*check.margin() >= -1e-9, passes);
}

// A supply that stops answering fails its own slot with the cause; the
// others are judged to the end and pass.
void TestPlanEngine::silentSupplyFailsOnlyItsSlot()
{
    change(5, [](SimSupply &s) { s.faults().dropShare = 1.0; });
    const Recorded r = runPlan(QLatin1String(kThreeSlots) + QStringLiteral(R"(
)") + QLatin1String(kOn5V) + QStringLiteral(R"(
[[step]]
type = "measure"
count = 3
[[step.check]]
name = "v"
quantity = "voltage"
counts = 2
)") + QLatin1String(kOutputsOff));
    QCOMPARE(r.verdicts.size(), 3);
    QCOMPARE(r.verdictOf(0), Verdict::Pass);
    QCOMPARE(r.verdictOf(1), Verdict::Error);
    QCOMPARE(r.verdictOf(2), Verdict::Pass);
    for (const SlotVerdict &v : r.verdicts) {
        if (v.slot == 1)
            QVERIFY2(v.cause.contains(QLatin1String("address 5")) && v.cause.contains(QLatin1String("no valid reply")),
                     qPrintable(v.cause));
    }
    QVERIFY(!m_bus->supply(m_bus->indexOfAddress(1)).outputOn());
    QVERIFY(!m_bus->supply(m_bus->indexOfAddress(17)).outputOn());
}

// An abort during a long wait ends the wait at once and runs the finally
// block: the outputs go off and the slots are ABORTED.
void TestPlanEngine::abortRunsFinally()
{
    QElapsedTimer clock;
    clock.start();
    const Recorded r = runPlan(QLatin1String(kThreeSlots) + QStringLiteral(R"(
)") + QLatin1String(kOn5V) + QStringLiteral(R"(
[[step]]
type = "wait"
name = "long"
time = 60
)") + QLatin1String(kOutputsOff), [](PlanRun &run, Recorded &recorded) {
        recorded.onStart = [&run](const StepEvent &e) {
            if (e.kind == QLatin1String("wait") && e.slot == 2)
                run.abort();
        };
    });
    QVERIFY(clock.elapsed() < 30000);
    QCOMPARE(r.verdicts.size(), 3);
    for (int slot = 0; slot < 3; ++slot)
        QCOMPARE(r.verdictOf(slot), Verdict::Aborted);
    for (int i = 0; i < m_bus->supplyCount(); ++i)
        QVERIFY(!m_bus->supply(i).outputOn());
    int finallySteps = 0;
    for (const StepEvent &e : r.ended)
        finallySteps += e.path.startsWith(QLatin1String("finally")) ? 1 : 0;
    QCOMPARE(finallySteps, 3);
}

// A wait's dwell is the time measured on the steady clock, never less than
// the plan's; a reading carries the time it was taken.
void TestPlanEngine::waitDwellIsMeasured()
{
    QElapsedTimer clock;
    clock.start();
    const Recorded r = runPlan(QLatin1String(kOneSlot) + QStringLiteral(R"(
[[step]]
type = "wait"
time = 0.3
[[step]]
type = "measure"
count = 2
[[step.check]]
name = "v"
quantity = "voltage"
max = 1
)"));
    const qint64 wholeRun = clock.elapsed();
    const StepEvent *wait = r.endOf(QStringLiteral("wait"));
    QVERIFY(wait);
    QCOMPARE(wait->plannedMs, 300.0);
    QVERIFY2(wait->actualMs >= 300.0 && wait->actualMs < wholeRun, qPrintable(QString::number(wait->actualMs)));
    QVERIFY(qAbs(wait->started.msecsTo(wait->ended) - wait->actualMs) <= 1.0);
    // Two readings of the measure, later than the wait's end, in order.
    QVector<QDateTime> times;
    for (const ReadingEvent &e : r.readings)
        if (e.path == QLatin1String("2"))
            times << e.sample.time;
    QCOMPARE(times.size(), 2);
    QVERIFY(times.at(0) >= wait->ended && times.at(1) >= times.at(0));
}

void TestPlanEngine::stopConditions_data()
{
    QTest::addColumn<double>("ohms");
    QTest::addColumn<QString>("stop");
    QTest::addColumn<QString>("reason");
    // No load: no current, so it tapers at once and ends after the taper time.
    QTest::newRow("taper") << SimSupply::OpenCircuit << "taper_current = 0.1, taper_time = 0.3" << "taper";
    // 1 V into 1 ohm: 1 A, 0.36 s per 0.1 mAh, and 1 W.
    QTest::newRow("charge") << 1.0 << "charge = 0.0001" << "charge";
    QTest::newRow("energy") << 1.0 << "energy = 0.0001" << "energy";
}

void TestPlanEngine::stopConditions()
{
    QFETCH(double, ohms);
    QFETCH(QString, stop);
    QFETCH(QString, reason);
    change(1, [ohms](SimSupply &s) { s.setLoadOhms(ohms); });
    const Recorded r = runPlan(QLatin1String(kOneSlot) + QStringLiteral(R"(
[[step]]
type = "set"
voltage = 1
current = 2
output = true
[[step]]
type = "wait"
time = 20
interval = 0.05
stop = { %1 }
[[step.check]]
name = "charge"
quantity = "charge"
min = 0
)").arg(stop) + QLatin1String(kOutputsOff));
    const StepEvent *wait = r.endOf(QStringLiteral("wait"));
    QVERIFY(wait);
    if (wait->stopReason != reason) {
        QString seen = r.verdicts.value(0).cause + QLatin1Char('\n');
        const QVector<SimFrameRecord> record = m_bus->record();
        for (int i = qMax(0, int(record.size()) - 30); i < record.size(); ++i)
            seen += FormatRecord(record.at(i)) + QLatin1Char('\n');
        QFAIL(qPrintable(seen));
    }
    QVERIFY2(wait->actualMs >= 300 && wait->actualMs < 10000, qPrintable(QString::number(wait->actualMs)));
    QCOMPARE(r.checks.size(), 1);
    QCOMPARE(r.checks.first().unit, QStringLiteral("Ah"));
    if (reason == QLatin1String("charge"))
        QVERIFY(r.checks.first().value >= 0.0001);
}

// Over-voltage limit set below the output: a supply that trips passes, with
// the trip in its readings (on at 12 V before the limit, off after); one that
// never trips, or whose output was off before the limit was written, fails
// with the cause and no trip time.
void TestPlanEngine::protection_data()
{
    QTest::addColumn<bool>("neverTrips");
    QTest::addColumn<bool>("outputOn");
    QTest::addColumn<QString>("cause");
    QTest::newRow("trips") << false << true << "";
    QTest::newRow("never trips") << true << true << "'ovp trips': did not trip within 0.3 s";
    QTest::newRow("output off before") << false << false << "'ovp trips': output was off before the limit was written";
}

void TestPlanEngine::protection()
{
    QFETCH(bool, neverTrips);
    QFETCH(bool, outputOn);
    QFETCH(QString, cause);
    change(1, [neverTrips](SimSupply &s) { s.faults().neverTrips = neverTrips; });
    const quint16 limitBefore = m_bus->supply(0).overVoltageLimit();
    const Recorded r = runPlan(QLatin1String(kOneSlot) + QStringLiteral(R"(
[[step]]
type = "set"
voltage = 12
current = 1
output = %1
[[step]]
type = "protection"
name = "ovp trips"
limit = "ovp"
level = 10
within = 0.3
)").arg(outputOn ? "true" : "false") + QLatin1String(kOutputsOff));
    const bool passes = cause.isEmpty();
    QCOMPARE(r.verdictOf(0), passes ? Verdict::Pass : Verdict::Fail);
    QCOMPARE(r.verdicts.first().cause, cause);
    // A trip time only for a supply seen on, then off.
    QCOMPARE(r.checks.size(), passes ? 1 : 0);
    if (passes) {
        const CheckResult &trip = r.checks.first();
        QCOMPARE(trip.quantity, QStringLiteral("trip_time"));
        QVERIFY(trip.passed);
        QVERIFY(trip.value > 0 && trip.value <= 0.3);
    }
    QCOMPARE(m_bus->supply(0).lastTrip(), passes ? SimSupply::Trip::OverVoltage : SimSupply::Trip::None);
    // The limit held before is back (or was never changed).
    QCOMPARE(m_bus->supply(0).overVoltageLimit(), limitBefore);
    // The step's readings: the output as it was before the limit, then the trip.
    QVector<Reading> seen;
    for (const ReadingEvent &e : r.readings)
        if (e.path == QLatin1String("2"))
            seen << e.sample;
    QVERIFY(!seen.isEmpty());
    QCOMPARE(seen.first().outputOn, outputOn);
    QCOMPARE(seen.first().volts, outputOn ? 12.0 : 0.0);
    QCOMPARE(seen.last().outputOn, outputOn && neverTrips);
}

// Readings during a ramp, on its interval: the output moving from 2 V to
// 12 V, each reading between the one before and the end.
void TestPlanEngine::readingsDuringRamp()
{
    const Recorded r = runPlan(QLatin1String(kOneSlot) + QStringLiteral(R"(
[[step]]
type = "set"
voltage = 2
current = 1
output = true
[[step]]
type = "ramp"
quantity = "voltage"
to = 12
time = 1.5
interval = 0.25
)") + QLatin1String(kOutputsOff));
    QCOMPARE(r.verdictOf(0), Verdict::Pass);
    QVector<double> volts;
    QVector<QDateTime> times;
    for (const ReadingEvent &e : r.readings) {
        if (e.path == QLatin1String("2")) {
            volts << e.sample.volts;
            times << e.sample.time;
        }
    }
    QVERIFY2(volts.size() >= 4, qPrintable(QString::number(volts.size())));
    QCOMPARE(volts.first(), 2.0);
    QCOMPARE(volts.last(), 12.0);
    int between = 0;
    for (int i = 1; i < volts.size(); ++i) {
        QVERIFY(volts.at(i) >= volts.at(i - 1));
        between += volts.at(i) > 2.0 && volts.at(i) < 12.0 ? 1 : 0;
    }
    QVERIFY2(between >= 2, qPrintable(QString::number(between)));
    // Readings no closer than the interval allows, the last at the ramp's end.
    const StepEvent *ramp = r.endOf(QStringLiteral("ramp"));
    QVERIFY(ramp);
    QVERIFY(times.last() >= ramp->started.addMSecs(1500) && times.last() <= ramp->ended);
}

// Charge and energy of a wait and of a ramped profile into a resistor, against
// their closed forms from the step's start to its end, with few readings: the
// plan's time, then the output as it stood at that time until the step ended
// (its last reading).
void TestPlanEngine::integralsCoverTheStep_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<double>("coulombs");  // over the plan's time
    QTest::addColumn<double>("joules");
    QTest::addColumn<double>("endAmps");   // the output from then on
    QTest::addColumn<double>("endWatts");
    QTest::addColumn<double>("tolerance"); // relative
    // 5 V into 10 ohms for 2 s: 0.5 A, 2.5 W; readings 1 s apart.
    QTest::newRow("wait, 2.5 W for 2 s")
        << QStringLiteral("type = \"set\"\nvoltage = 5\ncurrent = 2\noutput = true\n[[step]]\ntype = \"wait\"\ntime = 2\n")
        << 2.0 << 1.0 << 5.0 << 0.5 << 2.5 << 0.01;
    // 0 to 10 V in 4 s into 10 ohms: I = t/4 A, P = 0.625 t^2 W; readings 1 s
    // apart. The readings' trapezoids lie some 3 % above the parabola; the
    // setpoint, written count by count, follows the ramp a transaction or two
    // behind (on a loaded machine some 2 % of the charge per 40 ms).
    QTest::newRow("profile ramp, 0 to 10 V in 4 s")
        << QStringLiteral("type = \"set\"\nvoltage = 0\ncurrent = 2\noutput = true\n[[step]]\ntype = \"profile\"\n"
                          "file = \"p.csv\"\nramp = true\ninterval = 1\n")
        << 4.0 << 2.0 << 0.625 * 64 / 3 << 1.0 << 10.0 << 0.1;
}

void TestPlanEngine::integralsCoverTheStep()
{
    QFETCH(QString, step);
    QFETCH(double, seconds);
    QFETCH(double, coulombs);
    QFETCH(double, joules);
    QFETCH(double, endAmps);
    QFETCH(double, endWatts);
    QFETCH(double, tolerance);
    writePlan(QStringLiteral("time,voltage,current\n0,0,2\n4,10,2\n"), QStringLiteral("p.csv"));
    change(1, [](SimSupply &s) { s.setLoadOhms(10); });
    const Recorded r = runPlan(QLatin1String(kOneSlot) + QStringLiteral("[[step]]\n") + step + QStringLiteral(R"(
[[step.check]]
name = "charge"
quantity = "charge"
min = 0
[[step.check]]
name = "energy"
quantity = "energy"
min = 0
)") + QLatin1String(kOutputsOff));
    QCOMPARE(r.checks.size(), 2);
    const StepEvent &timed = r.ended.at(1);
    QVERIFY(timed.actualMs >= seconds * 1000);
    const double beyond = timed.actualMs / 1000 - seconds;
    const double chargeAh = (coulombs + endAmps * beyond) / 3600, energyWh = (joules + endWatts * beyond) / 3600;
    const double charge = r.checks.at(0).value, energy = r.checks.at(1).value;
    QVERIFY2(qAbs(charge / chargeAh - 1) <= tolerance, qPrintable(QStringLiteral("%1 Ah for %2").arg(charge).arg(chargeAh)));
    QVERIFY2(qAbs(energy / energyWh - 1) <= tolerance, qPrintable(QStringLiteral("%1 Wh for %2").arg(energy).arg(energyWh)));
}

// The port goes (socat, the line between the master and the simulator, is
// killed) during a wait and comes back a second later under the same name:
// the run waits for it, then runs the finally block, which switches the
// output off; the slot is ERROR with the cause.
void TestPlanEngine::lostPortRunsFinallyWhenBack()
{
    const QString port = m_folder->filePath(QStringLiteral("port"));
    m_bus->stop();
    delete m_bus;
    m_bus = new SimBus(this);
    m_bus->addSupply(1, 1);
    m_bus->setCheckLineSpeed(false); // socat's end of the simulator's line keeps its own speed
    m_bus->setPacing(SimBus::Pacing::PerFrame);
    m_device = m_bus->openPty();
    m_bus->start(SimBus::Threading::OwnThread);
    const QStringList line{QStringLiteral("PTY,link=%1,raw,echo=0").arg(port), m_device + QStringLiteral(",raw,echo=0")};
    qint64 pid = 0;
    QVERIFY(QProcess::startDetached(QStringLiteral("socat"), line, QString(), &pid));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(port), 10000);

    const Plan plan = LoadPlan(writePlan(QLatin1String(kOneSlot) + QStringLiteral(R"(
)") + QLatin1String(kOn5V) + QStringLiteral(R"(
[[step]]
type = "wait"
time = 60
interval = 0.1
)") + QLatin1String(kOutputsOff)));
    LineOptions options;
    options.port = port;
    options.timeoutUs = 1000000;
    RtuMaster master(options, nullptr);
    master.open();
    RtuPlanBus bus(master);
    RunInfo info;
    info.slotList << SlotInfo{};
    PlanRun run(plan, bus, info);
    Recorded recorded;
    run.addListener(&recorded);
    std::thread restart;
    std::atomic<qint64> second{0};
    recorded.onStart = [&](const StepEvent &e) {
        if (e.kind != QLatin1String("wait"))
            return;
        if (pid > 0)
            ::kill(pid_t(pid), SIGTERM);
        restart = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            qint64 again = 0;
            QProcess::startDetached(QStringLiteral("socat"), line, QString(), &again);
            second = again;
        });
    };
    QElapsedTimer clock;
    clock.start();
    run.run();
    if (restart.joinable())
        restart.join();
    else if (pid > 0)
        ::kill(pid_t(pid), SIGTERM); // the wait never began: the first socat is still there
    if (second.load() > 0)
        ::kill(pid_t(second.load()), SIGTERM);
    QVERIFY(clock.elapsed() < 30000);
    QCOMPARE(recorded.verdictOf(0), Verdict::Error);
    QVERIFY2(recorded.verdicts.first().cause.contains(QLatin1String("port lost")), qPrintable(recorded.verdicts.first().cause));
    QVERIFY(!m_bus->supply(0).outputOn());
    const StepEvent *last = recorded.ended.isEmpty() ? nullptr : &recorded.ended.last();
    QVERIFY(last && last->path == QLatin1String("finally.1"));
}

// psuctl test as a script runs it: the accuracy plan of the examples against
// three supplies, one of them reading 0.12 V high: a FAIL line, exit 6, and
// the reports.
void TestPlanEngine::psuctlTestEndToEnd()
{
    change(5, [](SimSupply &s) { s.faults().voltageOffsetCounts = 12; });
    QProcess process;
    process.start(QStringLiteral(PSUCTL_PROGRAM),
                  {QStringLiteral("test"), QStringLiteral(PSUTOOL_EXAMPLE_PLANS "/eol-accuracy.toml"), QStringLiteral("-p"),
                   m_device, QStringLiteral("--serial"), QStringLiteral("A1,A2,A3"), QStringLiteral("--report"),
                   m_folder->filePath(QStringLiteral("reports")), QStringLiteral("--db"),
                   m_folder->filePath(QStringLiteral("history.sqlite")), QStringLiteral("-o"), QStringLiteral("1"),
                   QStringLiteral("--retries"), QStringLiteral("2")});
    QVERIFY(process.waitForFinished(120000));
    QString out = QString::fromUtf8(process.readAllStandardOutput());
    if (!out.contains(QLatin1String("A1): PASS"))) {
        for (const SimFrameRecord &r : m_bus->record())
            out += FormatRecord(r) + QLatin1Char('\n');
    }
    QVERIFY2(process.exitCode() == 6, qPrintable(out));
    QVERIFY2(out.contains(QLatin1String("slot A (address 1, QELT30-05, serial A1): PASS")), qPrintable(out));
    QVERIFY2(out.contains(QLatin1String("slot B (address 5, QELT60-05, serial A2): FAIL")), qPrintable(out));
    QVERIFY2(out.contains(QLatin1String("slot C (address 17, QELT36-03, serial A3): PASS")), qPrintable(out));
    QCOMPARE(QDir(m_folder->filePath(QStringLiteral("reports"))).entryList(QDir::Files).size(), 3);
    // The outputs are off after the finally block.
    for (int i = 0; i < m_bus->supplyCount(); ++i)
        QVERIFY(!m_bus->supply(i).outputOn());

    process.start(QStringLiteral(PSUCTL_PROGRAM), {QStringLiteral("history"), QStringLiteral("A2"), QStringLiteral("--db"),
                                                   m_folder->filePath(QStringLiteral("history.sqlite"))});
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(QString::fromUtf8(process.readAllStandardOutput()).contains(QLatin1String("FAIL  End-of-line accuracy 1.0  slot B")));
}

QStringList TestPlanEngine::psuctlTest(const QString &plan, const QStringList &more) const
{
    return QStringList{QStringLiteral("test"), plan, QStringLiteral("-p"), m_device, QStringLiteral("--serial"),
                       QStringLiteral("X1"), QStringLiteral("-o"), QStringLiteral("1"), QStringLiteral("--retries"),
                       QStringLiteral("2")}
           + (more.contains(QLatin1String("--no-history")) || more.contains(QLatin1String("--db"))
                  ? QStringList()
                  : QStringList{QStringLiteral("--db"), m_folder->filePath(QStringLiteral("history.sqlite"))})
           + more;
}

QString TestPlanEngine::psuctlHistory(const QString &database, int *exitCode) const
{
    QProcess history;
    history.start(QStringLiteral(PSUCTL_PROGRAM), {QStringLiteral("history"), QStringLiteral("X1"), QStringLiteral("--db"), database});
    *exitCode = history.waitForFinished(30000) ? history.exitCode() : -1;
    return QString::fromUtf8(history.readAllStandardOutput());
}

bool TestPlanEngine::startUntilOutputOn(QProcess &process, const QStringList &arguments)
{
    process.start(QStringLiteral(PSUCTL_PROGRAM), arguments);
    if (!QTest::qWaitFor([&] { return m_bus->supply(0).outputOn() || process.state() == QProcess::NotRunning; }, 20000)
        || !m_bus->supply(0).outputOn()) {
        QString seen = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
        for (const SimFrameRecord &r : m_bus->record())
            seen += FormatRecord(r) + QLatin1Char('\n');
        qWarning("%s", qPrintable(seen));
        return false;
    }
    return process.processId() > 0;
}

// A signal during a long wait, whichever ends the program and can be caught
// (Ctrl-C, a dropped ssh session's SIGHUP, a service manager's SIGTERM...):
// the finally block switches the output off, and the exit status names the
// signal as a shell would.
void TestPlanEngine::psuctlTestStoppedBySignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGQUIT") << SIGQUIT;
    QTest::newRow("SIGUSR1") << SIGUSR1;
    QTest::newRow("SIGALRM") << SIGALRM;
    QTest::newRow("a real-time signal") << SIGRTMIN + 2;
}

void TestPlanEngine::psuctlTestStoppedBySignal()
{
    QFETCH(int, signal);
    const QString plan = writePlan(QLatin1String(kOneSlot) + QLatin1String(kOn5V) + QStringLiteral(R"(
[[step]]
type = "wait"
time = 60
)") + QLatin1String(kOutputsOff));
    QProcess process;
    QVERIFY(startUntilOutputOn(process, psuctlTest(plan)));
    ::kill(pid_t(process.processId()), signal);
    QVERIFY(process.waitForFinished(20000));
    const QString out = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 128 + signal, qPrintable(out));
    QVERIFY(!m_bus->supply(0).outputOn());
    QVERIFY(std::any_of(m_bus->record().cbegin(), m_bus->record().cend(), [](const SimFrameRecord &r) {
        return r.bytes == QByteArray::fromHex("01 10 10 04 00 01 02 00 00 b6 15");
    }));
    QVERIFY2(out.contains(QLatin1String("serial X1): ABORTED")), qPrintable(out));
}

// The checks a plan holds, as the reports list them, are the checks a slot
// that runs to its end judges: the same paths (each loop and sweep pass
// apart, the finally block) and names, in the same order.
void TestPlanEngine::plannedChecksAreTheRunsChecks()
{
    const QString text = QStringLiteral("on_fail = \"continue\"\n") + QLatin1String(kOneSlot) + QLatin1String(kOn12V) + QStringLiteral(R"(
[[step]]
type = "loop"
count = 2
[[step.do]]
type = "measure"
[[step.do.check]]
name = "v"
quantity = "voltage"
min = -1
[[step.do.check]]
name = "i"
quantity = "current"
statistic = "max"
max = 10
[[step]]
type = "sweep"
quantity = "voltage"
values = [3, 6, 9]
[[step.do]]
type = "wait"
time = 0.01
[[step.do.check]]
name = "t"
quantity = "duration"
max = 100
[[step]]
type = "protection"
name = "ovp trips"
limit = "ovp"
level = 2
within = 1
[[finally]]
type = "set"
output = false
[[finally]]
type = "measure"
[[finally.check]]
name = "off"
quantity = "voltage"
max = 100
)");
    const QVector<PlannedCheck> planned = PlannedChecks(LoadPlan(writePlan(text)));
    const Recorded r = runPlan(text);
    QStringList judged, listed;
    for (const CheckResult &check : r.checks)
        judged << check.path + QLatin1Char(' ') + check.name;
    for (const PlannedCheck &check : planned)
        listed << check.path + QLatin1Char(' ') + check.name;
    const QStringList expected{"2.1[1] v", "2.1[1] i", "2.1[2] v", "2.1[2] i", "3.1[1] t", "3.1[2] t", "3.1[3] t",
                               "4 ovp trips", "finally.2 off"};
    QCOMPARE(judged, expected);
    QCOMPARE(listed, expected);
}

// A slot whose supply is silent ends in ERROR at its first step: its report
// lists every check of the plan, those it never reached skipped with the
// cause; the root totals count them.
void TestPlanEngine::unreachedChecksInReports()
{
    change(5, [](SimSupply &s) { s.faults().dropShare = 1.0; });
    RecorderOptions keep;
    keep.reportDir = m_folder->filePath(QStringLiteral("reports"));
    keep.database = m_folder->filePath(QStringLiteral("history.sqlite"));
    RunRecorders recorders(keep);
    const Recorded r = runPlan(QLatin1String(kThreeSlots) + QStringLiteral(R"(
)") + QLatin1String(kOn5V) + QStringLiteral(R"(
[[step]]
type = "loop"
count = 2
[[step.do]]
type = "measure"
count = 2
[[step.do.check]]
name = "v"
quantity = "voltage"
counts = 2
[[step.do.check]]
name = "i"
quantity = "current"
max = 5.2
)") + QLatin1String(kOutputsOff), [&recorders](PlanRun &run, Recorded &) { run.addListener(&recorders); });
    QCOMPARE(r.verdictOf(0), Verdict::Pass);
    QCOMPARE(r.verdictOf(1), Verdict::Error);
    QCOMPARE(r.verdictOf(2), Verdict::Pass);
    QString xml;
    for (const QString &file : recorders.files()) {
        if (file.endsWith(QLatin1String(".xml"))) {
            QFile report(file);
            QVERIFY(report.open(QIODevice::ReadOnly));
            xml = QString::fromUtf8(report.readAll());
        }
    }
    QXmlStreamReader reader(xml);
    QVERIFY(reader.readNextStartElement());
    QCOMPARE(reader.name(), u"testsuites");
    // Three slots of four checks, and B's verdict case.
    QCOMPARE(reader.attributes().value(QLatin1String("tests")).toInt(), 13);
    QCOMPARE(reader.attributes().value(QLatin1String("errors")).toInt(), 1);
    QCOMPARE(reader.attributes().value(QLatin1String("failures")).toInt(), 0);
    QCOMPARE(reader.attributes().value(QLatin1String("skipped")).toInt(), 4);
    QCOMPARE(xml.count(QLatin1String("<skipped message=\"not reached: the slot ended ERROR (address 5: no valid reply")), 4);
    for (const QString &name : {"2.1[1] v", "2.1[1] i", "2.1[2] v", "2.1[2] i"})
        QCOMPARE(xml.count(QStringLiteral("name=\"%1\"").arg(name)), 3);
}

// Loops of a million passes within each other hold 10^12 checks: the
// reports' list of them stops at its bound, at once.
void TestPlanEngine::plannedChecksOfNestedLoopsBounded()
{
    QElapsedTimer clock;
    clock.start();
    const QVector<PlannedCheck> planned = PlannedChecks(LoadPlan(writePlan(QLatin1String(kOneSlot) + QStringLiteral(R"(
[[step]]
type = "loop"
count = 1000000
[[step.do]]
type = "loop"
count = 1000000
[[step.do.do]]
type = "measure"
[[step.do.do.check]]
name = "v"
quantity = "voltage"
max = 1
)"))));
    QCOMPARE(planned.size(), PlannedChecksListed);
    QCOMPARE(planned.last().path, QStringLiteral("1.1[1].1[%1]").arg(PlannedChecksListed));
    QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
}

// psuctl test prints a check's limits as judged: 12 V within 0.1 % and two
// counts of 0.01 V is [11.968, 12.032], not the [11.97, 12.03] of the
// resolution.
void TestPlanEngine::psuctlPrintsLimitsAsJudged()
{
    const QString plan = writePlan(QLatin1String(kOneSlot) + QLatin1String(kOn12V) + QStringLiteral(R"(
[[step]]
type = "measure"
[[step.check]]
name = "v"
quantity = "voltage"
statistic = "min"
percent = 0.1
counts = 2
)") + QLatin1String(kOutputsOff));
    QProcess process;
    process.start(QStringLiteral(PSUCTL_PROGRAM), psuctlTest(plan));
    QVERIFY(process.waitForFinished(120000));
    const QString out = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
    QVERIFY2(process.exitCode() == 0, qPrintable(out));
    QVERIFY2(out.contains(QLatin1String(" v voltage min 12.00 V [11.968, 12.032] PASS")), qPrintable(out));
}

// psuctl test | head -1: the reader is gone after the first line, and the
// lines after it fail to be written; the run goes on to its verdict and its
// finally block.
void TestPlanEngine::psuctlTestGoesOnPastClosedStdout()
{
    const QString plan = writePlan(QLatin1String(kOneSlot) + QLatin1String(kOn5V) + QLatin1String(kWaitThenCheck5V) + QLatin1String(kOutputsOff));
    QStringList quoted;
    for (const QString &argument : QStringList{QStringLiteral(PSUCTL_PROGRAM)} + psuctlTest(plan))
        quoted << QLatin1Char('\'') + argument + QLatin1Char('\'');
    const QString status = m_folder->filePath(QStringLiteral("status"));
    QProcess shell;
    shell.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("{ %1; echo $? > '%2'; } | head -1")
                                                                 .arg(quoted.join(QLatin1Char(' ')), status)});
    QVERIFY(shell.waitForFinished(60000));
    const QString out = QString::fromUtf8(shell.readAllStandardOutput());
    QVERIFY2(out.startsWith(QLatin1String("t 1, run ")) && out.count(QLatin1Char('\n')) == 1, qPrintable(out));
    QFile file(status);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().trimmed(), QByteArray("0"));
    QVERIFY(!m_bus->supply(0).outputOn());

    int exitCode = -1;
    QVERIFY(psuctlHistory(m_folder->filePath(QStringLiteral("history.sqlite")), &exitCode)
                .contains(QLatin1String("  PASS  t 1  slot A")));
    QCOMPARE(exitCode, 0);
}

// A history database that cannot be had is found out before anything is
// sent, and refused; --no-history runs without one.
void TestPlanEngine::psuctlTestRefusesUnreachableHistory_data()
{
    QTest::addColumn<QStringList>("more");
    QTest::addColumn<QString>("dataHome"); // XDG_DATA_HOME, where the default database lies
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("named");
    QTest::newRow("its folder is a file") << QStringList{QStringLiteral("--db"), QStringLiteral("afile/h.sqlite")}
                                          << QString() << 1 << QStringLiteral("afile");
    QTest::newRow("not a database") << QStringList{QStringLiteral("--db"), QStringLiteral("afile")} << QString() << 1
                                    << QStringLiteral("file is not a database");
    QTest::newRow("the default one cannot be made") << QStringList() << QStringLiteral("afile") << 1
                                                    << QStringLiteral("afile/psutool");
    QTest::newRow("none kept") << QStringList{QStringLiteral("--no-history")} << QStringLiteral("afile") << 0
                               << QString();
}

void TestPlanEngine::psuctlTestRefusesUnreachableHistory()
{
    QFETCH(QStringList, more);
    QFETCH(QString, dataHome);
    QFETCH(int, exitCode);
    QFETCH(QString, named);
    QFile afile(m_folder->filePath(QStringLiteral("afile")));
    QVERIFY(afile.open(QIODevice::WriteOnly));
    afile.write(QByteArray(4096, 'x'));
    afile.close();
    for (QString &argument : more) {
        if (argument.startsWith(QLatin1String("afile")))
            argument = m_folder->filePath(argument);
    }
    const QString plan = writePlan(QLatin1String(kOneSlot) + QLatin1String(kOn5V) + QLatin1String(kOutputsOff));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!dataHome.isEmpty())
        environment.insert(QStringLiteral("XDG_DATA_HOME"), m_folder->filePath(dataHome));
    process.setProcessEnvironment(environment);
    QStringList arguments = psuctlTest(plan, more);
    if (!dataHome.isEmpty() && !more.contains(QLatin1String("--no-history")))
        arguments.remove(arguments.indexOf(QLatin1String("--db")), 2); // the default database
    process.start(QStringLiteral(PSUCTL_PROGRAM), arguments);
    QVERIFY(process.waitForFinished(60000));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(process.exitCode() == exitCode, qPrintable(err));
    if (exitCode) {
        QVERIFY2(err.contains(named) && err.contains(QLatin1String("--no-history")), qPrintable(err));
        QVERIFY(m_bus->record().isEmpty());
    } else {
        QVERIFY2(err.isEmpty(), qPrintable(err));
        QVERIFY(!m_bus->record().isEmpty());
    }
    QCOMPARE(afile.size(), qint64(4096));
}

// A history that goes away during the run (another program holding the
// file's lock to the end): the verdict is in the reports, and the exit
// status says that the history is not.
void TestPlanEngine::psuctlTestHistoryLostHasItsStatus()
{
    const QString database = m_folder->filePath(QStringLiteral("history.sqlite"));
    const QString reports = m_folder->filePath(QStringLiteral("reports"));
    const QString plan = writePlan(QLatin1String(kOneSlot) + QLatin1String(kOn5V) + QLatin1String(kWaitThenCheck5V) + QLatin1String(kOutputsOff));
    QProcess process;
    QVERIFY(startUntilOutputOn(process, psuctlTest(plan, {QStringLiteral("--report"), reports})));
    const QString holderName = QStringLiteral("lock-holder");
    {
        QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), holderName);
        holder.setDatabaseName(database);
        QVERIFY(holder.open());
        QVERIFY(QSqlQuery(holder).exec(QStringLiteral("BEGIN EXCLUSIVE")));
    }
    const bool finished = process.waitForFinished(60000);
    {
        QSqlDatabase holder = QSqlDatabase::database(holderName, false);
        QSqlQuery(holder).exec(QStringLiteral("ROLLBACK"));
        holder.close();
    }
    QSqlDatabase::removeDatabase(holderName);
    QVERIFY(finished);
    const QString out = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
    QVERIFY2(process.exitCode() == 8, qPrintable(out));
    QVERIFY2(out.contains(QLatin1String("writes of this run's history were not kept")), qPrintable(out));
    QVERIFY2(out.contains(QLatin1String("serial X1): PASS")), qPrintable(out));
    QCOMPARE(QDir(reports).entryList({QStringLiteral("*.xml")}, QDir::Files).size(), 1);
    QVERIFY(!m_bus->supply(0).outputOn());
}

// kill -9 cannot be caught: the output stays on (as the help says), but the
// CSV keeps its header and the rows read up to the kill, and the history
// shows the run as never finished.
void TestPlanEngine::psuctlTestKilledKeepsCsvAndIsIncomplete()
{
    const QString database = m_folder->filePath(QStringLiteral("history.sqlite"));
    const QString reports = m_folder->filePath(QStringLiteral("reports"));
    const QString plan = writePlan(QLatin1String(kOneSlot) + QLatin1String(kOn5V) + QStringLiteral(R"(
[[step]]
type = "measure"
count = 3
[[step.check]]
name = "v"
quantity = "voltage"
min = 4.9
max = 5.1
[[step]]
type = "wait"
time = 60
)") + QLatin1String(kOutputsOff));
    QProcess process;
    QVERIFY(startUntilOutputOn(process, psuctlTest(plan, {QStringLiteral("--report"), reports})));
    // The check is in the history (a run still going is INCOMPLETE too) when it is killed.
    int exitCode = -1;
    QTRY_VERIFY_WITH_TIMEOUT(psuctlHistory(database, &exitCode).contains(QLatin1String("  INCOMPLETE  t 1  slot A")
                                                                         + QStringLiteral("  %1  1 checks, 0 failed").arg(QSysInfo::machineHostName())),
                             20000);
    ::kill(pid_t(process.processId()), SIGKILL);
    QVERIFY(process.waitForFinished(20000));
    QVERIFY(m_bus->supply(0).outputOn());

    const QStringList csv = QDir(reports).entryList({QStringLiteral("*.csv")}, QDir::Files);
    QCOMPARE(csv.size(), 1);
    QFile file(QDir(reports).filePath(csv.first()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = file.readAll().split('\n');
    // The header, the reading before the first step, the measure's three, its check.
    QVERIFY2(rows.size() == 7 && rows.last().isEmpty(), rows.join('\n').constData());
    QVERIFY2(rows.at(5).startsWith("A,X1,2,") && rows.at(5).endsWith(",v,5.000,4.9,5.1,V,PASS"), rows.at(5).constData());
    QVERIFY(rows.first().startsWith("slot,serial,step,time,"));
    QVERIFY2(rows.at(1).startsWith("A,X1,,"), rows.at(1).constData());
    for (int i = 2; i <= 4; ++i)
        QVERIFY2(rows.at(i).startsWith("A,X1,2,") && rows.at(i).contains(",5.00,1.000,5.00,"), rows.at(i).constData());

    const QString listed = psuctlHistory(database, &exitCode);
    QCOMPARE(exitCode, 0);
    QVERIFY2(listed.contains(QLatin1String("  INCOMPLETE  t 1  slot A")), qPrintable(listed));
    QVERIFY2(listed.contains(QLatin1String("  1 checks, 0 failed")), qPrintable(listed));

    // A database that is not there is not an empty history.
    psuctlHistory(m_folder->filePath(QStringLiteral("none/x.sqlite")), &exitCode);
    QCOMPARE(exitCode, 1);
    QVERIFY(!QFile::exists(m_folder->filePath(QStringLiteral("none"))));
}

QTEST_GUILESS_MAIN(TestPlanEngine)
#include "tst_planengine.moc"
