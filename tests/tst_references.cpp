// A station's reference instruments: the station and driver files, the SCPI
// client against a meter written apart from it (tests/scpi_reference_server.py),
// the uncertainty budget (published worked examples, a budget computed by
// hand) and the decision rule at each of its boundaries.

#include "plan/historydb.h"
#include "plan/masterbus.h"
#include "plan/planengine.h"
#include "plan/references.h"
#include "plan/scpiclient.h"
#include "plan/stationfile.h"
#include "plan/uncertainty.h"
#include "link/frames.h"
#include "master/rtumaster.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(std::optional<double>)
Q_DECLARE_METATYPE(DecisionRule)
Q_DECLARE_METATYPE(Acceptance)

class TestReferences : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void stationFile();
    void refusedFiles_data();
    void refusedFiles();
    void clientAgainstAnotherMeter();
    void runReferences_data();
    void runReferences();
    void clientFailures_data();
    void clientFailures();
    void simulatedBench();
    void accuracyPlan_data();
    void accuracyPlan();
    void publishedExamples();
    void budgetOfAMeterReading();
    void decision_data();
    void decision();
    void allowExpiredEndToEnd_data();
    void allowExpiredEndToEnd();

private:
    QString write(const QString &name, const QByteArray &text);
    // psusim with the reference bench and args; the line, the meter's and the load's links.
    static QStringList startBench(QProcess &sim, const QStringList &args);

    QTemporaryDir m_dir;
    QProcess m_meter;
    QString m_meterLink;
};

QString TestReferences::write(const QString &name, const QByteArray &text)
{
    const QString path = m_dir.filePath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write(text);
    return path;
}

void TestReferences::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString portFile = m_dir.filePath(QStringLiteral("meter-port"));
    m_meter.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_meter.start(QStringLiteral("python3"), {QStringLiteral(PSUTOOL_TESTS_DIR "/scpi_reference_server.py"), portFile});
    QVERIFY(m_meter.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(portFile), 20000);
    QFile port(portFile);
    QVERIFY(port.open(QIODevice::ReadOnly));
    m_meterLink = QStringLiteral("tcp://127.0.0.1:") + QString::fromLatin1(port.readAll());
}

void TestReferences::cleanupTestCase()
{
    m_meter.kill();
    m_meter.waitForFinished();
}

void TestReferences::stationFile()
{
    // The example station and its drivers, as shipped.
    const StationFile station = LoadStation(QStringLiteral(PSUTOOL_SOURCE_DIR "/examples/station/station.toml"));
    QCOMPARE(station.name, QStringLiteral("Bench 7"));
    QCOMPARE(station.references.size(), 3);
    const ReferenceInstrument *dmm = station.find(QStringLiteral("dmm"));
    QVERIFY(dmm);
    QCOMPARE(dmm->kind, ReferenceKind::Dmm);
    QCOMPARE(dmm->link, QStringLiteral("tcp://127.0.0.1:5025"));
    QCOMPARE(*dmm->calibrationDue, QDate(2027, 6, 30));
    QVERIFY(!dmm->expiredOn(QDate(2027, 6, 30)));
    QVERIFY(dmm->expiredOn(QDate(2027, 7, 1)));
    // The smallest range that holds the value: 10 V for 9.99 and 10 V, 100 V a step beyond.
    QCOMPARE(dmm->driver.rangeFor(QStringLiteral("volts"), 10.0)->limits.range, 10.0);
    QCOMPARE(dmm->driver.rangeFor(QStringLiteral("volts"), 10.0001)->limits.range, 100.0);
    QCOMPARE(dmm->driver.rangeFor(QStringLiteral("volts"), 100.0001), nullptr);
    QCOMPARE(dmm->driver.command(ReferenceOperation::ConfigureVolts,
                                 {{QStringLiteral("range"), QStringLiteral("100")}, {QStringLiteral("nplc"), QStringLiteral("10")}}),
             QStringLiteral("CONF:VOLT:DC 100;:VOLT:DC:NPLC 10"));
    const ReferenceInstrument *load = station.find(QStringLiteral("load"));
    QVERIFY(load && load->driver.has(ReferenceOperation::LoadOff));
}

void TestReferences::refusedFiles_data()
{
    QTest::addColumn<QByteArray>("station");
    QTest::addColumn<QByteArray>("driver");
    QTest::addColumn<QString>("file"); // which file is named
    QTest::addColumn<int>("line");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("cause");

    const QByteArray dmm = "name = \"M\"\nkind = \"dmm\"\n[commands]\nidentify = \"*IDN?\"\n"
                           "configure_volts = \"CONF:VOLT {range}\"\nread = \"READ?\"\nerror = \"SYST:ERR?\"\n"
                           "[[accuracy]]\nfunction = \"volts\"\nrange = 10\n";
    const QByteArray ref = "[[reference]]\nname = \"dmm\"\nkind = \"dmm\"\nlink = \"tcp://h:5025\"\n"
                           "driver = \"d.toml\"\n";
    QTest::newRow("good") << ref << dmm << QString() << 0 << 0 << QString();
    QTest::newRow("misspelt key") << ref + "calibration_date = 2027-01-01\n" << dmm << "station" << 6 << 20
                                  << "unknown key 'calibration_date'";
    QTest::newRow("due not a date") << ref + "calibration_due = \"soon\"\n" << dmm << "station" << 6 << 19
                                    << "'calibration_due' must be a date (2027-06-30)";
    QTest::newRow("two of one name") << ref + ref << dmm << "station" << 7 << 8 << "a second reference named 'dmm'";
    QTest::newRow("unknown kind") << QByteArray(ref).replace("kind = \"dmm\"", "kind = \"scope\"") << dmm << "station"
                                  << 3 << 8 << "kind 'scope' is none of dmm, load, scanner";
    QTest::newRow("channels on a meter") << ref + "channels = { A = 101 }\n" << dmm << "station" << 6 << 12
                                         << "only a scanner has channels";
    QTest::newRow("no references") << QByteArray("name = \"x\"\n") << dmm << "station" << 1 << 1
                                   << "a station needs at least one [[reference]]";
    QTest::newRow("toml syntax") << ref + "name = \n" << dmm << "station" << 6 << 8 << "";
    QTest::newRow("driver lacks read") << ref << QByteArray(dmm).replace("read = \"READ?\"\n", "") << "driver" << 3 << 1
                                       << "a dmm driver needs the operation 'read'";
    QTest::newRow("unknown operation") << ref << QByteArray(dmm).replace("read =", "reed =") << "driver" << 6 << 8
                                       << "unknown operation 'reed'";
    QTest::newRow("no volts range") << ref << QByteArray(dmm).replace("\"volts\"", "\"amperes\"") << "driver" << 1 << 1
                                    << "a dmm driver needs the accuracy of at least one volts range";
    QTest::newRow("range of 0") << ref << QByteArray(dmm).replace("range = 10", "range = 0") << "driver" << 10 << 9
                                << "'range' must be from 1e-09 to 1e+06";
    QTest::newRow("load driver for a meter")
        << ref << QByteArray(dmm).replace("kind = \"dmm\"", "kind = \"load\"") << "driver" << 3 << 1
        << "a load driver needs the operation 'load_current'";
}

void TestReferences::refusedFiles()
{
    QFETCH(QByteArray, station);
    QFETCH(QByteArray, driver);
    QFETCH(QString, file);
    QFETCH(int, line);
    QFETCH(int, column);
    QFETCH(QString, cause);

    const QString stationPath = write(QStringLiteral("refused/station.toml"), station);
    const QString driverPath = write(QStringLiteral("refused/d.toml"), driver);
    try {
        const StationFile loaded = LoadStation(stationPath);
        QVERIFY2(file.isEmpty(), "refused nothing");
        QCOMPARE(loaded.references.size(), 1);
    } catch (const PlanError &error) {
        QVERIFY2(!file.isEmpty(), qPrintable(error.text()));
        QCOMPARE(error.file(), file == QLatin1String("station") ? stationPath : driverPath);
        QCOMPARE(error.line(), line);
        QCOMPARE(error.column(), column);
        if (!cause.isEmpty())
            QCOMPARE(error.cause(), cause);
    }
}

void TestReferences::clientAgainstAnotherMeter()
{
    ScpiClient meter(m_meterLink, 2);
    QCOMPARE(meter.query(QStringLiteral("*IDN?")), QStringLiteral("Test Meters,DM-1,SN0042,1.0"));
    meter.write(QStringLiteral("CONF:VOLT:DC 100;:VOLT:DC:NPLC 10"));
    meter.checkErrors(QStringLiteral("SYST:ERR?"), QStringLiteral("CONF:VOLT:DC 100"));
    QCOMPARE(meter.queryNumber(QStringLiteral("READ?")), 12.0003);
    QCOMPARE(meter.queryNumber(QStringLiteral("READ?")), 12.0007);
    // An error the meter queued is raised with its entry, and the queue is emptied.
    meter.write(QStringLiteral("VOLT:RANG:AUTO ON"));
    try {
        meter.checkErrors(QStringLiteral("SYST:ERR?"), QStringLiteral("VOLT:RANG:AUTO ON"));
        QFAIL("the queued error was not raised");
    } catch (const ScpiError &error) {
        QCOMPARE(error.kind(), ScpiError::Instrument);
        QVERIFY2(error.text().endsWith(QLatin1String("'VOLT:RANG:AUTO ON' gave -113,\"Undefined header\"")), qPrintable(error.text()));
    }
    meter.checkErrors(QStringLiteral("SYST:ERR?"), QStringLiteral("*IDN?"));
}

// Before a run: the station must declare each reference the plan uses, of
// the kind it uses it as, and none may be past its calibration due date
// unless the run says it may.
void TestReferences::runReferences_data()
{
    QTest::addColumn<int>("dueInDays"); // from today; the day itself is still in calibration
    QTest::addColumn<bool>("allowExpired");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("refusal"); // empty: the run may start

    QTest::newRow("due today") << 0 << false << "dmm" << "dmm" << QString();
    QTest::newRow("due yesterday") << -1 << false << "dmm" << "dmm"
                                   << "station.toml:1:1: reference 'dmm' was due for calibration on %1 "
                                      "(--allow-expired runs with it all the same)";
    QTest::newRow("due yesterday, allowed") << -1 << true << "dmm" << "dmm" << QString();
    QTest::newRow("not declared") << 30 << false << "meter" << "dmm"
                                  << "station.toml: the plan uses reference 'meter', which the station does not declare";
    QTest::newRow("another kind") << 30 << false << "dmm" << "load"
                                  << "station.toml:1:1: reference 'dmm' is a dmm; the plan uses it as a load";
}

void TestReferences::runReferences()
{
    QFETCH(int, dueInDays);
    QFETCH(bool, allowExpired);
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, refusal);

    const QDate today(2026, 12, 8);
    const QDate due = today.addDays(dueInDays);
    const QString path = write(QStringLiteral("run/station.toml"),
                               QStringLiteral("[[reference]]\nname = \"dmm\"\nkind = \"dmm\"\nlink = \"%1\"\n"
                                              "driver = \"%2\"\ncalibration_due = %3\n")
                                   .arg(m_meterLink,
                                        QStringLiteral(PSUTOOL_SOURCE_DIR "/examples/station/drivers/generic-dmm.toml"),
                                        due.toString(Qt::ISODate))
                                   .toUtf8());
    const StationFile station = LoadStation(path);
    try {
        const RunReferences references(station, {{name, kind}}, today, allowExpired);
        QVERIFY2(refusal.isEmpty(), "the run was not refused");
        const QVector<ReferenceUsed> used = references.used();
        QCOMPARE(used.size(), 1);
        QCOMPARE(used.first().identity, QStringLiteral("Test Meters,DM-1,SN0042,1.0"));
        QCOMPARE(used.first().calibrationDue, due);
        QCOMPARE(used.first().expired, dueInDays < 0);
    } catch (const SystemError &error) {
        QVERIFY2(!refusal.isEmpty(), qPrintable(error.text()));
        const QString expected = refusal.contains(QLatin1String("%1")) ? refusal.arg(due.toString(Qt::ISODate)) : refusal;
        QCOMPARE(error.text(), QString(path.chopped(int(strlen("station.toml"))) + expected));
    }
}

void TestReferences::clientFailures_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text");

    QTest::newRow("silent") << QString() << "MUTE?" << int(ScpiError::Timeout) << "no answer to 'MUTE?' within 0.5 s";
    QTest::newRow("closed") << QString() << "BYE" << int(ScpiError::Lost) << "the instrument closed the link";
    QTest::newRow("overload") << QString() << "OVER?" << int(ScpiError::Instrument) << "'OVER?' answered '9.9E37', not a reading";
    QTest::newRow("undefined header") << QString() << "FOO?" << int(ScpiError::Timeout) << "no answer to 'FOO?'";
    QTest::newRow("refused port") << "tcp://127.0.0.1:1" << "*IDN?" << int(ScpiError::Unreachable) << "tcp://127.0.0.1:1: ";
    QTest::newRow("no device") << "/dev/usbtmc-none" << "*IDN?" << int(ScpiError::Unreachable) << "/dev/usbtmc-none: ";
    QTest::newRow("bad serial") << "serial:/dev/null:1234" << "*IDN?" << int(ScpiError::Unreachable)
                                << "not serial:DEVICE:BAUD[:8N1]";
    QTest::newRow("no scheme") << "lan:meter" << "*IDN?" << int(ScpiError::Unreachable) << "a link is tcp://HOST:PORT";
}

void TestReferences::clientFailures()
{
    QFETCH(QString, link);
    QFETCH(QString, query);
    QFETCH(int, kind);
    QFETCH(QString, text);

    ScpiClient meter(link.isEmpty() ? m_meterLink : link, 0.5);
    try {
        if (query == QLatin1String("BYE"))
            meter.write(query), meter.query(QStringLiteral("*IDN?"));
        else
            meter.queryNumber(query);
        QFAIL("nothing was raised");
    } catch (const ScpiError &error) {
        QVERIFY2(error.text().contains(text), qPrintable(error.text()));
        QCOMPARE(int(error.kind()), kind);
    }
}

// psusim's reference bench: the meter reads the terminals, which a supply's
// own read-back does not see; the load draws its current from the supply
// its channel names.
QStringList TestReferences::startBench(QProcess &sim, const QStringList &args)
{
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(PSUSIM_PROGRAM), args + QStringList{QStringLiteral("--dmm"), QStringLiteral("0"),
                                                                 QStringLiteral("--eload"), QStringLiteral("0")});
    if (!sim.waitForStarted())
        return {};
    QString banner;
    QDeadlineTimer deadline(20000);
    while (!banner.contains(QLatin1String("load on")) && !deadline.hasExpired() && sim.waitForReadyRead(1000))
        banner += QString::fromLatin1(sim.readAllStandardOutput());
    const QStringList lines = banner.split(QLatin1Char('\n'));
    QStringList links{lines.first()};
    for (const char *what : {"dmm on", "load on"}) {
        for (const QString &line : lines)
            if (line.startsWith(QLatin1String(what)))
                links << QStringLiteral("tcp://") + line.section(QLatin1Char(' '), 2);
    }
    return links;
}

void TestReferences::simulatedBench()
{
    QProcess sim;
    const QStringList links = startBench(
        sim, {QStringLiteral("--supply"), QStringLiteral("1"), QStringLiteral("--supply"), QStringLiteral("5"),
              QStringLiteral("--preset"), QStringLiteral("1200,2000,on"), QStringLiteral("--output-offset"),
              QStringLiteral("1=0.05"), QStringLiteral("--readback-offset"), QStringLiteral("5=-0.02"),
              QStringLiteral("--dmm-due"), QStringLiteral("2027-06-30")});
    QCOMPARE(links.size(), 3);
    const QString device = links.at(0);
    const auto portOf = [&](const char *what) { return links.at(QByteArray(what) == "dmm on" ? 1 : 2); };

    ScpiClient meter(portOf("dmm on"), 2);
    ScpiClient load(portOf("load on"), 2);
    LineOptions line;
    line.port = device;
    line.lockFile = false;
    RtuMaster master(line, nullptr);
    master.open();
    const auto readBack = [&](int address, quint16 reg) { return master.read(address, reg, 1).at(0); };

    QCOMPARE(meter.query(QStringLiteral("*IDN?")), QStringLiteral("psusim,Reference DMM,SIM-DMM-1,1.0"));
    QCOMPARE(meter.query(QStringLiteral("CAL:DUE?")), QStringLiteral("2027,06,30"));
    meter.write(QStringLiteral("CONF:VOLT:DC 100;:VOLT:DC:NPLC 1"));
    struct {
        int address;
        double terminals; // what the meter must see, within its noise
        quint16 readBack; // what the supply says, in counts of 0.01 V
    } rows[] = {{1, 12.05, 1200}, {5, 12.00, 1198}};
    for (const auto &row : rows) {
        meter.write(QStringLiteral("ROUT:CLOS (@%1)").arg(100 + row.address));
        const double reading = meter.queryNumber(QStringLiteral("READ?"));
        QVERIFY2(qAbs(reading - row.terminals) < 0.0002, qPrintable(QString::number(reading, 'f', 6)));
        QCOMPARE(readBack(row.address, OutputVoltage), row.readBack);
    }
    meter.checkErrors(QStringLiteral("SYST:ERR?"), QStringLiteral("the meter's set-up"));
    meter.write(QStringLiteral("ROUT:CLOS (@117)")); // no supply at 17
    QCOMPARE(meter.query(QStringLiteral("SYST:ERR?")), QStringLiteral("-222,\"Data out of range\""));

    // 1.5 A from supply 5 while the input is on, none after.
    load.write(QStringLiteral("ROUT:CLOS (@105);FUNC CURR;CURR 1.5;INP ON"));
    QTRY_COMPARE_WITH_TIMEOUT(readBack(5, OutputCurrent), quint16(1500), 10000); // mA
    QCOMPARE(readBack(1, OutputCurrent), quint16(0));
    QVERIFY(qAbs(load.queryNumber(QStringLiteral("MEAS:CURR?")) - 1.5) < 0.01);
    load.write(QStringLiteral("INP OFF"));
    QTRY_COMPARE_WITH_TIMEOUT(readBack(5, OutputCurrent), quint16(0), 10000);
    load.write(QStringLiteral("CURR 31"));
    QCOMPARE(load.query(QStringLiteral("SYST:ERR?")), QStringLiteral("-222,\"Data out of range\""));
    QCOMPARE(load.query(QStringLiteral("CURR?")), QStringLiteral("1.5000"));

    master.close();
    sim.terminate();
    QVERIFY(sim.waitForFinished(10000));
}

// The example accuracy plan on three simulated supplies, the one at address 5
// with its terminals 50 mV high while its read-back says 12.000 V: only the
// meter finds it. A meter that refuses its set-up, or that stops answering,
// ends every slot with ERROR; the finally steps run either way, and the load
// ends with its input off.
void TestReferences::accuracyPlan_data()
{
    QTest::addColumn<QByteArray>("configure"); // the meter's configure command
    QTest::addColumn<bool>("muteMeter");        // the meter is the Python one, whose READ is never answered
    QTest::addColumn<QStringList>("verdicts");  // by slot A, B, C
    QTest::addColumn<QString>("cause");         // part of every slot's cause when not empty

    const QByteArray shipped = "CONF:VOLT:DC {range};:VOLT:DC:NPLC {nplc}";
    QTest::newRow("terminals off, read-back right") << shipped << false
                                                    << QStringList{"PASS", "FAIL", "PASS"} << QString();
    QTest::newRow("meter refuses its set-up") << QByteArray("CONF:VOLT:XX {range}") << false
                                              << QStringList{"ERROR", "ERROR", "ERROR"} << QStringLiteral("-113");
    QTest::newRow("meter stops answering") << shipped << true << QStringList{"ERROR", "ERROR", "ERROR"}
                                           << QStringLiteral("reference 'dmm'");
}

void TestReferences::accuracyPlan()
{
    QFETCH(QByteArray, configure);
    QFETCH(bool, muteMeter);
    QFETCH(QStringList, verdicts);
    QFETCH(QString, cause);

    QProcess sim;
    const QStringList links = startBench(
        sim, {QStringLiteral("--supply"), QStringLiteral("1:QELT30-05"), QStringLiteral("--supply"),
              QStringLiteral("5:QELT60-05"), QStringLiteral("--supply"), QStringLiteral("17:QELT36-03"),
              QStringLiteral("--output-offset"), QStringLiteral("5=0.05")});
    QCOMPARE(links.size(), 3);
    const QString source = QStringLiteral(PSUTOOL_SOURCE_DIR "/examples/station/");
    QFile dmmDriver(source + QStringLiteral("drivers/generic-dmm.toml"));
    QVERIFY(dmmDriver.open(QIODevice::ReadOnly));
    QByteArray dmm = dmmDriver.readAll().replace("CONF:VOLT:DC {range};:VOLT:DC:NPLC {nplc}", configure);
    if (muteMeter)
        dmm.replace("read = \"READ?\"", "read = \"MUTE?\"").replace("reset = \"*RST;*CLS\"\n", "").replace("timeout = 5", "timeout = 1");
    write(QStringLiteral("bench/dmm.toml"), dmm);
    for (const char *driver : {"generic-load.toml", "generic-scanner.toml"}) {
        QFile file(source + QStringLiteral("drivers/") + QLatin1String(driver));
        QVERIFY(file.open(QIODevice::ReadOnly));
        write(QStringLiteral("bench/") + QLatin1String(driver), file.readAll());
    }
    const QString station = write(
        QStringLiteral("bench/station.toml"),
        QStringLiteral("[[reference]]\nname = \"dmm\"\nkind = \"dmm\"\nlink = \"%1\"\ndriver = \"dmm.toml\"\n"
                       "[[reference]]\nname = \"load\"\nkind = \"load\"\nlink = \"%2\"\ndriver = \"generic-load.toml\"\n"
                       "[[reference]]\nname = \"scanner\"\nkind = \"scanner\"\nlink = \"%3\"\n"
                       "driver = \"generic-scanner.toml\"\nchannels = { A = 101, B = 105, C = 117 }\n")
            .arg(muteMeter ? m_meterLink : links.at(1), links.at(2), links.at(1))
            .toUtf8());

    const Plan plan = LoadPlan(QStringLiteral(PSUTOOL_SOURCE_DIR "/examples/plans/dmm-accuracy.toml"));
    auto references = std::make_shared<RunReferences>(LoadStation(station), plan.references, QDate(2027, 1, 1), false);
    LineOptions line;
    line.port = links.at(0);
    line.lockFile = false;
    RtuMaster master(line, nullptr);
    master.open();
    RtuPlanBus bus(master);
    struct Results : PlanListener {
        QHash<QString, QString> checks; // "B terminal voltage" -> "FAIL"
        QStringList verdicts, causes;
        void checkJudged(const CheckResult &check) override
        {
            checks.insert(QStringLiteral("ABC").mid(check.slot, 1) + QLatin1Char(' ') + check.name, check.word());
        }
        void slotFinished(const SlotVerdict &verdict) override
        {
            verdicts << VerdictText(verdict.verdict);
            causes << verdict.cause;
        }
    } results;
    PlanRun run(plan, bus, DescribeRun(plan, {"S1", "S2", "S3"}, QString(), QString(), line.port));
    run.useReferences(references);
    run.addListener(&results);
    run.run();

    std::sort(results.verdicts.begin(), results.verdicts.end()); // slots end in any order
    std::sort(verdicts.begin(), verdicts.end());
    QCOMPARE(results.verdicts, verdicts);
    for (const QString &slotCause : results.causes)
        QVERIFY2(slotCause.contains(cause), qPrintable(slotCause));
    if (cause.isEmpty()) {
        QCOMPARE(results.checks.value("B read-back voltage"), QStringLiteral("PASS"));
        QCOMPARE(results.checks.value("B terminal voltage"), QStringLiteral("FAIL"));
        QCOMPARE(results.checks.value("B read-back accuracy"), QStringLiteral("FAIL"));
        QCOMPARE(results.checks.value("B loaded terminal voltage"), QStringLiteral("FAIL"));
        for (const char *check : {"A terminal voltage", "C read-back accuracy", "C loaded terminal voltage"})
            QCOMPARE(results.checks.value(check), QStringLiteral("PASS"));
    }
    // The finally steps ran: every output off, the load's input off.
    for (const int address : {1, 5, 17})
        QCOMPARE(master.read(address, OutputSwitch, 1).at(0), quint16(0));
    ScpiClient load(links.at(2), 2);
    load.open();
    QCOMPARE(load.query(QStringLiteral("INP?")), QStringLiteral("0"));
    master.close();
    sim.terminate();
    QVERIFY(sim.waitForFinished(10000));
}

void TestReferences::publishedExamples()
{
    // JCGM 100:2008 (the GUM), 4.3.7: a handbook states that the error of the
    // expansion coefficient of copper "should not exceed 0.40 × 10^-6 /°C";
    // taken as rectangular, u = 0.40 × 10^-6 / √3 = 0.23 × 10^-6 /°C.
    QVERIFY(qAbs(RectangularUncertainty(0.40e-6) - 0.23e-6) < 0.005e-6);
    // JCGM 100:2008, F.2.2.1: an indication of resolution δx contributes
    // u = 0.29 δx (a rectangular distribution of half-width δx/2).
    const UncertaintyBudget resolutionOnly = EvaluateUncertainty({5.0}, AccuracyLimits{10, 0, 0, 0.001}, 0);
    QVERIFY(qAbs(resolutionOnly.referenceResolution - 0.29e-3) < 0.005e-3);
    QCOMPARE(resolutionOnly.repeatability, 0.0); // one reading: no Type A term
    // The standard deviation of the mean of 10.0, 10.2, 9.9, 10.1, by hand:
    // squares of deviations 0.05 in all, s = √(0.05/3) = 0.129099, / √4.
    QVERIFY(qAbs(StandardDeviationOfMean({10.0, 10.2, 9.9, 10.1}) - 0.0645497) < 1e-6);
}

void TestReferences::budgetOfAMeterReading()
{
    // Four readings of a 12 V output on the 100 V range of a meter specified
    // ±(0.0035 % of reading + 0.0005 % of range), resolution 10 µV, of a
    // supply set in 10 mV steps. By hand: mean 12.0004 V; the accuracy's
    // limit 0.000420014 + 0.0005 V, / √3 = 531.170 µV; resolution 10 µV / √12
    // = 2.887 µV; s = 258.199 µV, / √4 = 129.099 µV; the supply's step
    // 10 mV / √12 = 2886.751 µV; combined 2938.052 µV, and U = 5876.104 µV.
    const UncertaintyBudget b
        = EvaluateUncertainty({12.0003, 12.0007, 12.0001, 12.0005}, AccuracyLimits{100, 0.0035, 0.0005, 1e-5}, 0.01);
    QVERIFY(qAbs(b.mean - 12.0004) < 1e-9);
    QCOMPARE(b.readings, 4);
    const struct {
        const char *term;
        double value, expected;
    } terms[] = {{"accuracy", b.accuracy, 531.170e-6},
                 {"reference resolution", b.referenceResolution, 2.887e-6},
                 {"repeatability", b.repeatability, 129.099e-6},
                 {"supply resolution", b.supplyResolution, 2886.751e-6},
                 {"combined", b.combined, 2938.052e-6},
                 {"expanded", b.expanded, 5876.104e-6}};
    for (const auto &t : terms)
        QVERIFY2(qAbs(t.value - t.expected) < 0.001e-6, t.term);
    QCOMPARE(b.coverage, 2.0);
}

void TestReferences::decision_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<std::optional<double>>("low");
    QTest::addColumn<std::optional<double>>("high");
    QTest::addColumn<double>("expanded");
    QTest::addColumn<DecisionRule>("rule");
    QTest::addColumn<Acceptance>("verdict");
    QTest::addColumn<bool>("guarded");

    using O = std::optional<double>;
    const auto S = DecisionRule::Simple;
    const auto G = DecisionRule::Guarded;
    const auto P = Acceptance::Pass, C = Acceptance::Conditional, F = Acceptance::Fail;
    // 11.9 to 12.1 V: the half width 0.1 V is 4 × 0.025 V.
    QTest::newRow("ratio exactly 4: simple") << 12.09 << O(11.9) << O(12.1) << 0.025 << S << P << false;
    QTest::newRow("ratio just under 4: guarded") << 12.09 << O(11.9) << O(12.1) << 0.0251 << S << C << true;
    QTest::newRow("guarded rule at ratio 4") << 12.09 << O(11.9) << O(12.1) << 0.025 << G << C << true;
    QTest::newRow("simple: at the high limit") << 12.1 << O(11.9) << O(12.1) << 0.025 << S << P << false;
    QTest::newRow("simple: a step beyond high") << 12.1001 << O(11.9) << O(12.1) << 0.025 << S << F << false;
    QTest::newRow("simple: at the low limit") << 11.9 << O(11.9) << O(12.1) << 0.025 << S << P << false;
    QTest::newRow("simple: a step below low") << 11.8999 << O(11.9) << O(12.1) << 0.025 << S << F << false;
    // U = 0.05 V: acceptance 11.95 to 12.05 V.
    QTest::newRow("at the high guard band") << 12.05 << O(11.9) << O(12.1) << 0.05 << S << P << true;
    QTest::newRow("a step into the high band") << 12.0501 << O(11.9) << O(12.1) << 0.05 << S << C << true;
    QTest::newRow("at the low guard band") << 11.95 << O(11.9) << O(12.1) << 0.05 << S << P << true;
    QTest::newRow("a step into the low band") << 11.9499 << O(11.9) << O(12.1) << 0.05 << S << C << true;
    QTest::newRow("guarded: at the limit") << 11.9 << O(11.9) << O(12.1) << 0.05 << G << C << true;
    QTest::newRow("guarded: a step beyond") << 11.8999 << O(11.9) << O(12.1) << 0.05 << G << F << true;
    QTest::newRow("one-sided low, in the band") << 11.905 << O(11.9) << O() << 0.01 << S << C << true;
    QTest::newRow("one-sided low, past the band") << 11.91 << O(11.9) << O() << 0.01 << S << P << true;
    QTest::newRow("one-sided high, beyond") << 5.0001 << O() << O(5.0) << 0.01 << S << F << true;
    QTest::newRow("no uncertainty: at the limit") << 12.1 << O(11.9) << O(12.1) << 0.0 << G << P << false;
    QTest::newRow("bands meet: nothing passes") << 12.0 << O(11.99) << O(12.01) << 0.02 << G << C << true;
}

void TestReferences::decision()
{
    QFETCH(double, value);
    QFETCH(std::optional<double>, low);
    QFETCH(std::optional<double>, high);
    QFETCH(double, expanded);
    QFETCH(DecisionRule, rule);
    QFETCH(Acceptance, verdict);
    QFETCH(bool, guarded);

    const Decision d = Decide(value, low, high, expanded, rule);
    QCOMPARE(AcceptanceWord(d.verdict), AcceptanceWord(verdict));
    QCOMPARE(d.guarded, guarded);
}

// psuctl test with a meter past its due date, against psusim: refused with
// status 1 before a frame reaches a supply, unless --allow-expired, when it
// runs and every report says the meter was past due.
void TestReferences::allowExpiredEndToEnd_data()
{
    QTest::addColumn<bool>("allowExpired");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("refused") << false << 1;
    QTest::newRow("allowed") << true << 0;
}

void TestReferences::allowExpiredEndToEnd()
{
    QFETCH(bool, allowExpired);
    QFETCH(int, exitCode);
    QProcess sim;
    const QStringList links = startBench(sim, {QStringLiteral("--supply"), QStringLiteral("1:QELT30-05"), QStringLiteral("--verbose")});
    QCOMPARE(links.size(), 3);
    const QString due = QDate::currentDate().addDays(-1).toString(Qt::ISODate);
    const QString folder = QStringLiteral("expired-%1/").arg(int(allowExpired));
    const QString station = write(folder + QStringLiteral("station.toml"),
                                  QStringLiteral("[[reference]]\nname = \"dmm\"\nkind = \"dmm\"\nlink = \"%1\"\ndriver = \"%2\"\n"
                                                 "calibration_due = %3\n")
                                      .arg(links.at(1), QStringLiteral(PSUTOOL_SOURCE_DIR "/examples/station/drivers/generic-dmm.toml"), due)
                                      .toUtf8());
    const QString plan = write(folder + QStringLiteral("plan.toml"),
                               "name = \"terminals\"\nversion = \"1\"\nmodels = [\"QELT30-05\"]\n[[slot]]\nname = \"A\"\naddress = 1\n"
                               "model = \"QELT30-05\"\n[[step]]\ntype = \"set\"\nvoltage = 5\ncurrent = 1\noutput = true\n"
                               "[[step]]\ntype = \"measure\"\nsource = \"dmm\"\n  [[step.check]]\n  name = \"terminals\"\n"
                               "  quantity = \"voltage\"\n  percent = 1\n  decision = \"guarded\"\n[[finally]]\ntype = \"set\"\noutput = false\n");
    const QString reports = m_dir.filePath(folder + QStringLiteral("reports")), db = m_dir.filePath(folder + QStringLiteral("history.sqlite"));
    QProcess psuctl;
    psuctl.start(QStringLiteral(PSUCTL_PROGRAM), QStringList{"test", plan, "-p", links.at(0), "--no-lock", "--serial", "X1", "--station",
                                                            station, "--report", reports, "--db", db}
                                                    + (allowExpired ? QStringList{"--allow-expired"} : QStringList()));
    QVERIFY(psuctl.waitForFinished(120000));
    const QString said = QString::fromUtf8(psuctl.readAllStandardOutput() + psuctl.readAllStandardError());
    QVERIFY2(psuctl.exitStatus() == QProcess::NormalExit && psuctl.exitCode() == exitCode, qPrintable(said));

    // The simulator prints each request it takes as a line with "<-".
    QString frames;
    const auto received = [&sim, &frames] { return frames += QString::fromLatin1(sim.readAllStandardOutput()); };
    const QString expired = QStringLiteral("psusim,Reference DMM,SIM-DMM-1,1.0, calibration due %1 (EXPIRED, run with ").arg(due);
    if (!allowExpired) {
        QVERIFY2(said.contains(QStringLiteral("reference 'dmm' was due for calibration on ") + due), qPrintable(said));
        // A read of the test's own, after psuctl ended, is the first request the simulator takes.
        LineOptions line;
        line.port = links.at(0);
        line.lockFile = false;
        RtuMaster probe(line, nullptr);
        probe.open();
        probe.read(1, VoltageSetpoint, 1);
        QTRY_VERIFY_WITH_TIMEOUT(received().contains(QLatin1String(" <- 01 03 ")), 10000);
        QVERIFY2(frames.indexOf(QLatin1String(" <- ")) == frames.indexOf(QLatin1String(" <- 01 03 ")), qPrintable(frames));
        QVERIFY(QDir(reports).isEmpty());
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(received().contains(QLatin1String(" <- 01 10 ")), 10000); // the setpoints written
        QVERIFY2(said.contains(QStringLiteral("reference dmm (dmm): ") + expired + QStringLiteral("--allow-expired)")), qPrintable(said));
        const QStringList files = QDir(reports).entryList({QStringLiteral("*.xml"), QStringLiteral("*.html")}, QDir::Files);
        QCOMPARE(files.size(), 2);
        for (const QString &name : files) {
            QFile report(QDir(reports).filePath(name));
            QVERIFY(report.open(QIODevice::ReadOnly) && report.readAll().contains((expired + "expired references allowed)").toUtf8()));
        }
        QProcess history;
        history.start(QStringLiteral(PSUCTL_PROGRAM), {QStringLiteral("history"), QStringLiteral("X1"), QStringLiteral("--db"), db});
        QVERIFY(history.waitForFinished(30000));
        QVERIFY(history.readAllStandardOutput().contains(("\n    reference dmm (dmm, " + links.at(1) + "): " + expired).toUtf8()));
        // The check as decided: the plan's rule, its word and its uncertainty.
        HistoryDatabase kept(db);
        const QVector<QVariantList> checks = kept.select(
            {QStringLiteral("SELECT decision_rule, acceptance, reference, coverage_factor FROM checks WHERE name = 'terminals'"), {}});
        QCOMPARE(checks.size(), 1);
        QCOMPARE(checks.first(), (QVariantList{QStringLiteral("guarded"), QStringLiteral("PASS"), QStringLiteral("dmm"), 2.0}));
    }
    sim.terminate();
    QVERIFY(sim.waitForFinished(10000));
}

QTEST_GUILESS_MAIN(TestReferences)
#include "tst_references.moc"
