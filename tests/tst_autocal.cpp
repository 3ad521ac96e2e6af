// Automatic calibration: the search for the correction code, and psuctl
// calibrate --auto against the simulator's supply, multimeter and load, whole,
// stopped by a signal midway, and refused.

#include "link/frames.h"
#include "master/rtumaster.h"
#include "plan/autocal.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class TestAutoCal : public QObject
{
    Q_OBJECT

private slots:
    void codes_data();
    void codes();
    void search_data();
    void search();
    void calibratesAnOffset();
    void killedLeavesNoAsLeft();
    void refusedBeforeSending_data();
    void refusedBeforeSending();
    void calibratesBoth();
    void ignoredCurrentStepRefused();

private:
    // psusim with one supply at address 1 whose terminals are 0.2 V high and
    // whose voltage correction step is -0.03 V, with more faults, and its
    // multimeter and load; returns the device, and writes the station file
    // naming them.
    QString startBench(QProcess &sim, const QString &due = QStringLiteral("2099-01-01"), const QStringList &faults = {});
    QJsonObject certificate(const QString &dir, QString *html, const QString &quantity = QStringLiteral("voltage"));
    // Registers of the supply at address 1, as a master of the line reads them.
    static QVector<quint16> readSupply(const QString &device, quint16 start, int count);
    // psuctl calibrate --auto on address 1 of device with the station, and
    // more options. The line's timeout and retries ride out the simulator
    // stalled for tens of milliseconds on a loaded machine, which the
    // defaults, made for a supply that answers in time, do not.
    QStringList autoCalibrate(const QString &device, const QStringList &more);

    QTemporaryDir m_dir;
};

void TestAutoCal::codes_data()
{
    QTest::addColumn<int>("correction");
    QTest::addColumn<int>("base");
    QTest::addColumn<int>("code");
    QTest::newRow("-3 V") << -3 << 10 << 0x0D; // the frame 01 10 10 1A 00 01 02 00 0D 74 6E
    QTest::newRow("+10 V") << 10 << 10 << 10;
    QTest::newRow("-10 V") << -10 << 10 << 20;
    QTest::newRow("0 V") << 0 << 10 << 0;
    QTest::newRow("-1 A") << -1 << 100 << 101;
    QTest::newRow("-100 A") << -100 << 100 << 200;
    QTest::newRow("+100 A") << 100 << 100 << 100;
    QTest::newRow("past 2N") << -11 << 10 << 0;
}

void TestAutoCal::codes()
{
    QFETCH(int, correction);
    QFETCH(int, base);
    QFETCH(int, code);
    QCOMPARE(int(CorrectionCode(correction, base)), code);
    if (code != 0 || correction == 0)
        QCOMPARE(CorrectionOfCode(code, base), correction);
}

void TestAutoCal::search_data()
{
    QTest::addColumn<QVector<double>>("errors");
    QTest::addColumn<double>("step");
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("base");
    QTest::addColumn<int>("expected"); // the correction; ignored when refused
    QTest::addColumn<QString>("refusal");

    const QString ignored = QStringLiteral("does not move the output");
    const QString beyond = QStringLiteral("beyond the codes' range");
    QTest::newRow("step up") << QVector<double>{0.2, 0.2} << 0.03 << 0 << 10 << -7 << QString();
    QTest::newRow("step down") << QVector<double>{0.2, 0.2} << -0.03 << 0 << 10 << 7 << QString();
    QTest::newRow("from a code in place") << QVector<double>{0.06} << 0.03 << -3 << 10 << -5 << QString();
    QTest::newRow("middle of a spread") << QVector<double>{-0.02, 0.1} << 0.01 << 0 << 10 << -4 << QString();
    QTest::newRow("at +10") << QVector<double>{-0.3} << 0.03 << 0 << 10 << 10 << QString();
    QTest::newRow("one beyond +10") << QVector<double>{-0.33} << 0.03 << 0 << 10 << 0 << beyond;
    QTest::newRow("at -10") << QVector<double>{0.1} << 0.01 << 0 << 10 << -10 << QString();
    QTest::newRow("one beyond -10") << QVector<double>{0.11} << 0.01 << 0 << 10 << 0 << beyond;
    QTest::newRow("current at +100") << QVector<double>{-0.5} << 0.005 << 0 << 100 << 100 << QString();
    QTest::newRow("current beyond -100") << QVector<double>{0.505} << 0.005 << 0 << 100 << 0 << beyond;
    QTest::newRow("current step down, at +100") << QVector<double>{0.3, 0.3} << -0.003 << 0 << 100 << 100 << QString();
    QTest::newRow("current step down, +101") << QVector<double>{0.303, 0.303} << -0.003 << 0 << 100 << 0 << beyond;
    QTest::newRow("current step up, at -100") << QVector<double>{0.29, 0.31} << 0.003 << 0 << 100 << -100 << QString();
    QTest::newRow("current step up, -101") << QVector<double>{0.303} << 0.003 << 0 << 100 << 0 << beyond;
    QTest::newRow("current from +90, step down") << QVector<double>{0.03} << -0.003 << 90 << 100 << 100 << QString();
    QTest::newRow("current ignored step") << QVector<double>{0.05} << 5e-5 << 0 << 100 << 0 << ignored;
    QTest::newRow("ignored step") << QVector<double>{0.2} << 2e-6 << 0 << 10 << 0 << ignored;
    QTest::newRow("no step at all") << QVector<double>{0.2} << 0.0 << 0 << 10 << 0 << ignored;
}

void TestAutoCal::search()
{
    QFETCH(QVector<double>, errors);
    QFETCH(double, step);
    QFETCH(int, current);
    QFETCH(int, base);
    QFETCH(int, expected);
    QFETCH(QString, refusal);
    const CorrectionChoice choice = ChooseCorrection(errors, step, 1e-4, current, base, base == 10 ? "V" : "A");
    if (refusal.isEmpty()) {
        QVERIFY2(choice.correction, qPrintable(choice.refusal));
        QCOMPARE(*choice.correction, expected);
    } else {
        QVERIFY(!choice.correction);
        QVERIFY2(choice.refusal.contains(refusal), qPrintable(choice.refusal));
    }
}

QString TestAutoCal::startBench(QProcess &sim, const QString &due, const QStringList &faults)
{
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(PSUSIM_PROGRAM), QStringList{QStringLiteral("--supply"), QStringLiteral("1"),
                                                          QStringLiteral("--output-offset"), QStringLiteral("1=0.2"),
                                                          QStringLiteral("--correction-step"), QStringLiteral("1=-0.03"),
                                                          QStringLiteral("--dmm"), QStringLiteral("0"),
                                                          QStringLiteral("--eload"), QStringLiteral("0")}
                                                  + faults);
    if (!sim.waitForStarted())
        return QString();
    QString banner;
    if (!QTest::qWaitFor([&] { return (banner += QString::fromLatin1(sim.readAllStandardOutput())).contains(QRegularExpression(QStringLiteral("load on \\S+\n"))); }, 20000))
        return QString();
    const QStringList lines = banner.split(QLatin1Char('\n'));
    QFile station(m_dir.filePath(QStringLiteral("station.toml")));
    station.open(QIODevice::WriteOnly | QIODevice::Truncate);
    station.write("name = \"Test bench\"\n");
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("dmm on")) || line.startsWith(QLatin1String("load on")))
            station.write(QStringLiteral("[[reference]]\nname = \"%1\"\nkind = \"%1\"\nlink = \"tcp://%2\"\n"
                                         "driver = \"%3/../station/drivers/generic-%1.toml\"\ncalibration_due = %4\n")
                              .arg(line.section(QLatin1Char(' '), 0, 0), line.section(QLatin1Char(' '), 2),
                                   QStringLiteral(PSUTOOL_EXAMPLE_PLANS), due)
                              .toUtf8());
    }
    return lines.first();
}

QJsonObject TestAutoCal::certificate(const QString &dir, QString *html, const QString &quantity)
{
    const QStringList files = QDir(dir).entryList({QStringLiteral("*-%1.json").arg(quantity)});
    if (files.size() != 1)
        return {};
    QFile json(QDir(dir).filePath(files.first()));
    json.open(QIODevice::ReadOnly);
    QFile page(QDir(dir).filePath(QString(files.first()).replace(QLatin1String(".json"), QLatin1String(".html"))));
    page.open(QIODevice::ReadOnly);
    *html = QString::fromUtf8(page.readAll());
    return QJsonDocument::fromJson(json.readAll()).object();
}

QVector<quint16> TestAutoCal::readSupply(const QString &device, quint16 start, int count)
{
    LineOptions line;
    line.port = device;
    line.lockFile = false;
    line.timeoutUs = 1000000;
    line.retries = 3;
    RtuMaster master(line, nullptr);
    master.open();
    return master.read(1, start, count);
}

QStringList TestAutoCal::autoCalibrate(const QString &device, const QStringList &more)
{
    return QStringList{QStringLiteral("calibrate"), QStringLiteral("--auto"), QStringLiteral("-p"), device,
                       QStringLiteral("--no-lock"), QStringLiteral("-o"), QStringLiteral("1"), QStringLiteral("--retries"),
                       QStringLiteral("3"), QStringLiteral("-a"), QStringLiteral("1"), QStringLiteral("--station"),
                       m_dir.filePath(QStringLiteral("station.toml"))}
           + more;
}

void TestAutoCal::calibratesAnOffset()
{
    QProcess sim;
    const QString device = startBench(sim);
    QVERIFY(!device.isEmpty());
    const QString certs = m_dir.filePath(QStringLiteral("whole"));
    const QString db = m_dir.filePath(QStringLiteral("history.sqlite"));
    QProcess psuctl;
    psuctl.start(QStringLiteral(PSUCTL_PROGRAM),
                 autoCalibrate(device, {QStringLiteral("-m"), QStringLiteral("QELT30-05"), QStringLiteral("--points"),
                  QStringLiteral("3"), QStringLiteral("--readings"), QStringLiteral("4"), QStringLiteral("--settle"),
                  QStringLiteral("0.1"), QStringLiteral("--certificate"), certs, QStringLiteral("--serial"),
                  QStringLiteral("SN-7"), QStringLiteral("--db"), db, QStringLiteral("--environment"),
                  QStringLiteral("temperature=23.1C")}));
    QVERIFY(psuctl.waitForFinished(120000));
    const QString said = QString::fromUtf8(psuctl.readAllStandardOutput() + psuctl.readAllStandardError());
    QVERIFY2(psuctl.exitCode() == 0, qPrintable(said));

    QString html;
    const QJsonObject record = certificate(certs, &html);
    QCOMPARE(record.value(QStringLiteral("status")).toString(), QStringLiteral("PASS"));
    // 3.10, 15.50 and 27.90 V (10, 50 and 90 % of 31 V), 0.2 V high as found;
    // 7 steps of -0.03 V leave them 0.01 V low.
    const QJsonArray found = record.value(QStringLiteral("as_found")).toArray();
    const QJsonArray left = record.value(QStringLiteral("as_left")).toArray();
    QCOMPARE(found.size(), 3);
    QCOMPARE(left.size(), 3);
    const double nominal[] = {3.10, 15.50, 27.90};
    for (int i = 0; i < 3; ++i) {
        const QJsonObject f = found.at(i).toObject(), l = left.at(i).toObject();
        QCOMPARE(f.value(QStringLiteral("nominal_volts")).toDouble(), nominal[i]);
        QVERIFY(qAbs(f.value(QStringLiteral("reference_volts")).toDouble() - (nominal[i] + 0.2)) < 0.0005);
        QCOMPARE(f.value(QStringLiteral("verdict")).toString(), QStringLiteral("FAIL"));
        QVERIFY(qAbs(l.value(QStringLiteral("error_volts")).toDouble() + 0.01) < 0.0005);
        QCOMPARE(l.value(QStringLiteral("verdict")).toString(), QStringLiteral("PASS"));
        QVERIFY(l.value(QStringLiteral("expanded_uncertainty_volts")).toDouble() > 0);
    }
    QCOMPARE(record.value(QStringLiteral("code_written")).toInt(), 7);
    QVERIFY(qAbs(record.value(QStringLiteral("step_volts")).toDouble() + 0.03) < 0.0005);
    QCOMPARE(record.value(QStringLiteral("references")).toArray().at(0).toObject().value(QStringLiteral("identity")).toString(),
             QStringLiteral("psusim,Reference DMM,SIM-DMM-1,1.0"));
    QVERIFY(html.contains(QLatin1String("@page { size: A4")) && html.contains(QLatin1String("As left: PASS")));
    QVERIFY(html.contains(QLatin1String("temperature")));

    // The history lists it; a second calibration shows the drift of the
    // as-found error (now -0.01 V against +0.2 V).
    QProcess again;
    again.start(QStringLiteral(PSUCTL_PROGRAM), psuctl.arguments());
    QVERIFY(again.waitForFinished(120000));
    QCOMPARE(again.exitCode(), 0);
    QProcess history;
    history.start(QStringLiteral(PSUCTL_PROGRAM), {QStringLiteral("history"), QStringLiteral("SN-7"), QStringLiteral("--db"), db});
    QVERIFY(history.waitForFinished(30000));
    const QStringList lines = QString::fromUtf8(history.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3); // no runs, two calibrations
    QVERIFY2(lines.at(1).contains(QLatin1String("calibration PASS")) && lines.at(1).contains(QLatin1String("drift -0.2100")),
             qPrintable(lines.at(1)));
    QVERIFY2(lines.at(2).contains(QLatin1String("as found +0.2000")) && !lines.at(2).contains(QLatin1String("drift")),
             qPrintable(lines.at(2)));
    sim.terminate();
    sim.waitForFinished(10000);
}

void TestAutoCal::killedLeavesNoAsLeft()
{
    QProcess sim;
    const QString device = startBench(sim);
    QVERIFY(!device.isEmpty());
    const QString certs = m_dir.filePath(QStringLiteral("killed"));
    QProcess psuctl;
    psuctl.start(QStringLiteral(PSUCTL_PROGRAM),
                 autoCalibrate(device, {QStringLiteral("-m"), QStringLiteral("1"), QStringLiteral("--settle"), QStringLiteral("1"),
                                        QStringLiteral("--certificate"), certs}));
    QString said;
    // Killed once the new correction is written and the as-left sweep has
    // measured its first point of three.
    QTRY_VERIFY_WITH_TIMEOUT((said += QString::fromUtf8(psuctl.readAllStandardOutput())).contains(QLatin1String("as left")), 60000);
    ::kill(pid_t(psuctl.processId()), SIGTERM);
    QVERIFY(psuctl.waitForFinished(30000));
    QCOMPARE(psuctl.exitCode(), 128 + SIGTERM);

    QString html;
    const QJsonObject record = certificate(certs, &html);
    QCOMPARE(record.value(QStringLiteral("status")).toString(), QStringLiteral("ABORTED"));
    QVERIFY(record.value(QStringLiteral("as_left")).isNull());
    QVERIFY(!html.contains(QLatin1String("As left:")));
    QVERIFY(html.contains(QLatin1String("Not measured: the calibration ended ABORTED")));

    // The supply is left with its output off.
    QCOMPARE(readSupply(device, OutputSwitch, 1).at(0), quint16(0));
    sim.terminate();
    sim.waitForFinished(10000);
}

void TestAutoCal::refusedBeforeSending_data()
{
    QTest::addColumn<int>("dueInDays");
    QTest::addColumn<QString>("scanner"); // channels of a scanner added to the station
    QTest::addColumn<QString>("cause");
    QTest::newRow("meter due yesterday") << -1 << QString() << QStringLiteral("was due for calibration");
    QTest::newRow("scanner without this address") << 30 << QStringLiteral("{ 2 = 102, A = 101 }")
                                                  << QStringLiteral("no channel for address 1");
}

// Refusals found before the supply is touched: no certificate, and the
// supply's setpoints and correction code as the simulator started them.
void TestAutoCal::refusedBeforeSending()
{
    QFETCH(int, dueInDays);
    QFETCH(QString, scanner);
    QFETCH(QString, cause);
    QProcess sim;
    const QString device = startBench(sim, QDate::currentDate().addDays(dueInDays).toString(Qt::ISODate));
    QVERIFY(!device.isEmpty());
    if (!scanner.isEmpty()) {
        QFile station(m_dir.filePath(QStringLiteral("station.toml")));
        QVERIFY(station.open(QIODevice::Append));
        station.write(QStringLiteral("[[reference]]\nname = \"scanner\"\nkind = \"scanner\"\nlink = \"tcp://127.0.0.1:1\"\n"
                                     "driver = \"%1/../station/drivers/generic-scanner.toml\"\nchannels = %2\n")
                          .arg(QStringLiteral(PSUTOOL_EXAMPLE_PLANS), scanner)
                          .toUtf8());
    }
    const QVector<quint16> before = readSupply(device, VoltageSetpoint, 2);
    const QString certs = m_dir.filePath(QStringLiteral("refused"));
    QProcess psuctl;
    psuctl.start(QStringLiteral(PSUCTL_PROGRAM),
                 autoCalibrate(device, {QStringLiteral("-m"), QStringLiteral("1"), QStringLiteral("--certificate"), certs}));
    QVERIFY(psuctl.waitForFinished(60000));
    const QString said = QString::fromUtf8(psuctl.readAllStandardError() + psuctl.readAllStandardOutput());
    QVERIFY2(said.contains(cause), qPrintable(said));
    QCOMPARE(psuctl.exitCode(), 1);
    QVERIFY(!QFileInfo::exists(certs));
    QCOMPARE(readSupply(device, VoltageSetpoint, 2), before);
    QCOMPARE(readSupply(device, VoltageCorrection, 1), QVector<quint16>{0});
    sim.terminate();
    sim.waitForFinished(10000);
}

// Voltage, then current on a QELT30-10 whose current limit lets 0.08 A more
// through than set, with a hidden current step of -0.006 A (not one count of
// 0.01 A): a certificate and a history row each.
void TestAutoCal::calibratesBoth()
{
    QProcess sim;
    const QString device = startBench(sim, QStringLiteral("2099-01-01"),
                                      {QStringLiteral("--model"), QStringLiteral("QELT30-10"), QStringLiteral("--current-output-offset"),
                                       QStringLiteral("1=0.08"), QStringLiteral("--current-correction-step"), QStringLiteral("1=-0.006")});
    QVERIFY(!device.isEmpty());
    const QString certs = m_dir.filePath(QStringLiteral("both"));
    const QString db = m_dir.filePath(QStringLiteral("both.sqlite"));
    QProcess psuctl;
    psuctl.start(QStringLiteral(PSUCTL_PROGRAM),
                 autoCalibrate(device, {QStringLiteral("--quantity"), QStringLiteral("both"), QStringLiteral("-m"),
                                        QStringLiteral("QELT30-10"), QStringLiteral("--readings"), QStringLiteral("4"),
                                        QStringLiteral("--settle"), QStringLiteral("0.1"), QStringLiteral("--certificate"), certs,
                                        QStringLiteral("--serial"), QStringLiteral("SN-9"), QStringLiteral("--db"), db}));
    QVERIFY(psuctl.waitForFinished(120000));
    QVERIFY2(psuctl.exitCode() == 0, psuctl.readAll().constData());

    QString html;
    QCOMPARE(certificate(certs, &html).value(QStringLiteral("code_written")).toInt(), 7);
    const QJsonObject record = certificate(certs, &html, QStringLiteral("current"));
    QCOMPARE(record.value(QStringLiteral("status")).toString(), QStringLiteral("PASS"));
    QCOMPARE(record.value(QStringLiteral("correction_register")).toString(), QStringLiteral("CurrentCorrection"));
    // 1.05, 5.25 and 9.45 A (10, 50, 90 % of 10.5 A), 0.08 A high as found;
    // 13 steps of -0.006 A leave them 0.002 A high.
    const double nominal[] = {1.05, 5.25, 9.45};
    for (int i = 0; i < 3; ++i) {
        const QJsonObject f = record.value(QStringLiteral("as_found")).toArray().at(i).toObject();
        const QJsonObject l = record.value(QStringLiteral("as_left")).toArray().at(i).toObject();
        QCOMPARE(f.value(QStringLiteral("nominal_amperes")).toDouble(), nominal[i]);
        QVERIFY(qAbs(f.value(QStringLiteral("error_amperes")).toDouble() - 0.08) < 0.0002);
        QCOMPARE(f.value(QStringLiteral("supply_amperes")).toDouble(), nominal[i]); // the read-back does not see it
        QCOMPARE(f.value(QStringLiteral("verdict")).toString(), QStringLiteral("FAIL"));
        QVERIFY(qAbs(l.value(QStringLiteral("error_amperes")).toDouble() - 0.002) < 0.0002);
        QCOMPARE(l.value(QStringLiteral("verdict")).toString(), QStringLiteral("PASS"));
    }
    QVERIFY(qAbs(record.value(QStringLiteral("step_amperes")).toDouble() + 0.006) < 0.0002);
    QCOMPARE(record.value(QStringLiteral("code_written")).toInt(), 13);
    QVERIFY(html.contains(QLatin1String("<th>Error (A)</th>")) && html.contains(QLatin1String("CurrentCorrection written</td><td>13")));
    QCOMPARE(record.value(QStringLiteral("references")).toArray().at(1).toObject().value(QStringLiteral("identity")).toString(),
             QStringLiteral("psusim,Reference load,SIM-LOAD-1,1.0"));

    QCOMPARE(readSupply(device, CurrentCorrection, 2), (QVector<quint16>{13, 7}));
    QProcess history;
    history.start(QStringLiteral(PSUCTL_PROGRAM), {QStringLiteral("history"), QStringLiteral("SN-9"), QStringLiteral("--db"), db});
    QVERIFY(history.waitForFinished(30000));
    const QString listed = QString::fromUtf8(history.readAllStandardOutput());
    QVERIFY2(listed.contains(QLatin1String("current QELT30-10 address 1  as found +0.08")) && listed.contains(QLatin1String("voltage")),
             qPrintable(listed));
    sim.terminate();
    sim.waitForFinished(10000);
}

void TestAutoCal::ignoredCurrentStepRefused()
{
    QProcess sim;
    const QString device = startBench(sim, QStringLiteral("2099-01-01"),
                                      {QStringLiteral("--current-output-offset"), QStringLiteral("1=0.05"),
                                       QStringLiteral("--current-correction-step"), QStringLiteral("1=1e-9")});
    QVERIFY(!device.isEmpty());
    const QString certs = m_dir.filePath(QStringLiteral("ignored"));
    QProcess psuctl;
    psuctl.start(QStringLiteral(PSUCTL_PROGRAM),
                 autoCalibrate(device, {QStringLiteral("--quantity"), QStringLiteral("current"), QStringLiteral("-m"),
                                        QStringLiteral("QELT30-05"), QStringLiteral("--points"), QStringLiteral("2"),
                                        QStringLiteral("--settle"), QStringLiteral("0.1"), QStringLiteral("--certificate"), certs}));
    QVERIFY(psuctl.waitForFinished(120000));
    QCOMPARE(psuctl.exitCode(), 6);
    QString html;
    const QJsonObject record = certificate(certs, &html, QStringLiteral("current"));
    QCOMPARE(record.value(QStringLiteral("status")).toString(), QStringLiteral("ERROR"));
    QVERIFY2(record.value(QStringLiteral("cause")).toString().contains(QLatin1String("does not move the output")),
             qPrintable(record.value(QStringLiteral("cause")).toString()));
    QVERIFY(record.value(QStringLiteral("as_left")).isNull() && record.value(QStringLiteral("code_written")).isNull());

    // The trial code is taken back, the output is off.
    QCOMPARE(readSupply(device, CurrentCorrection, 1).at(0), quint16(0));
    QCOMPARE(readSupply(device, OutputSwitch, 1).at(0), quint16(0));
    sim.terminate();
    sim.waitForFinished(10000);
}

QTEST_GUILESS_MAIN(TestAutoCal)
#include "tst_autocal.moc"
