// psuctl, the program itself, against simulated supplies on a pseudo-terminal
// (or a test peer that answers with exceptions): what it sends, what it
// prints, and the exit status a script sees.

#include "link/frames.h"
#include "sim/simbus.h"
#include "support_bytes.h"
#include "support_pty.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <numeric>

namespace {

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

QStringList lines(const QString &text)
{
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Lets the event loop run (a PtyPeer answers from it) until the program ends.
Outcome finish(QProcess &process)
{
    QElapsedTimer clock;
    clock.start();
    while (process.state() != QProcess::NotRunning && clock.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        process.waitForFinished(10);
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

void appendWord(QByteArray &frame, quint16 word)
{
    frame.append(char(word >> 8));
    frame.append(char(word & 0xFF));
}

// The sequence's setpoint pair and the single-register write, closed with the
// CRC of the reference implementation.
QByteArray pairFrame(quint16 volts, quint16 amps)
{
    QByteArray frame = hex("01 10 10 00 00 02 04");
    appendWord(frame, volts);
    appendWord(frame, amps);
    return withCrc(frame);
}

QByteArray singleFrame(quint16 reg, quint16 value)
{
    QByteArray frame = hex("01 10");
    appendWord(frame, reg);
    frame += hex("00 01 02");
    appendWord(frame, value);
    return withCrc(frame);
}

} // namespace

class TestPsuctl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void csvReadingsEqualSimulator();
    void jsonReadingsCarryCsvKeys();
    void setWritesThenReadsBack();
    void valuesCappedOrRoundedWithNote_data();
    void valuesCappedOrRoundedWithNote();
    void readBackDiffers();
    void calibrateWritesCode();
    void silentAddressExits3();
    void spoiltCrcExits3AfterRetries();
    void exceptionReportedByName_data();
    void exceptionReportedByName();
    void otherAddressPassedOver();
    void scanFindsEachAddressOnce();
    void runStepsAndCycles();
    void interruptLeavesOutputOff();
    void malformedStepsRefused_data();
    void malformedStepsRefused();
    void badOptionsRefused_data();
    void badOptionsRefused();
    void helpNamesEveryOption_data();
    void helpNamesEveryOption();

private:
    void start(QProcess &process, const QStringList &arguments, const QString &device = QString());
    Outcome run(const QStringList &arguments, const QString &device = QString());
    QVector<SimFrameRecord> requests() const;
    QString stepsFile(const QByteArray &text);

    SimBus *m_bus = nullptr;
    QString m_device;
    QTemporaryDir m_dir;
};

void TestPsuctl::init()
{
    m_bus = new SimBus(this);
    for (int address : {1, 5, 17})
        m_bus->addSupply(address, 1); // QELT30-05: 0.01 V, 0.001 A
    m_device = m_bus->openPty();
    m_bus->start(SimBus::Threading::OwnThread);
}

void TestPsuctl::cleanup()
{
    m_bus->stop();
    delete m_bus;
    m_bus = nullptr;
}

// A second's timeout keeps the answering cases clear of a loaded machine.
void TestPsuctl::start(QProcess &process, const QStringList &arguments, const QString &device)
{
    process.start(QStringLiteral(PSUCTL_PROGRAM),
                  QStringList{QStringLiteral("-p"), device.isEmpty() ? m_device : device, QStringLiteral("-o"),
                              QStringLiteral("1")}
                      + arguments);
    QVERIFY(process.waitForStarted());
}

Outcome TestPsuctl::run(const QStringList &arguments, const QString &device)
{
    QProcess process;
    start(process, arguments, device);
    return finish(process);
}

QVector<SimFrameRecord> TestPsuctl::requests() const
{
    QVector<SimFrameRecord> received;
    for (const SimFrameRecord &entry : m_bus->record()) {
        if (entry.direction == SimFrameRecord::Received)
            received.append(entry);
    }
    return received;
}

QString TestPsuctl::stepsFile(const QByteArray &text)
{
    const QString path = m_dir.filePath(QStringLiteral("steps.csv"));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(text);
    return path;
}

void TestPsuctl::csvReadingsEqualSimulator()
{
    // 12 V into 10 ohm: 1.2 A, 14.40 W.
    m_bus->updateSupply(0, [](SimSupply &s) {
        s.setLoadOhms(10);
        s.writeRegisters(VoltageSetpoint, {1200, 1500});
        s.writeRegisters(OutputSwitch, {1});
    });
    const Outcome result = run({"status", "-a", "1", "-m", "QELT30-05", "--format", "csv", "--watch", "20", "--count", "2"});
    QCOMPARE(result.exitCode, 0);
    const QStringList rows = lines(result.out);
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows.at(0), QStringLiteral("time,address,model,voltage_set,current_set,voltage,current,output,power"));
    static const QRegularExpression iso(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}(Z|[+-]\\d\\d:\\d\\d)$"));
    for (int i = 1; i < 3; ++i) {
        QStringList fields = rows.at(i).split(QLatin1Char(','));
        QVERIFY2(iso.match(fields.value(0)).hasMatch(), qPrintable(rows.at(i)));
        fields.removeFirst();
        QCOMPARE(fields.join(QLatin1Char(',')), QStringLiteral("1,QELT30-05,12.00,1.500,12.00,1.200,on,14.40"));
    }
    const QVector<SimFrameRecord> sent = requests();
    QCOMPARE(sent.size(), 4);
    QCOMPARE(sent.at(0).bytes, hex("01 03 10 00 00 05 81 09"));
    QCOMPARE(sent.at(1).bytes, hex("01 03 10 08 00 01 01 08"));
}

void TestPsuctl::jsonReadingsCarryCsvKeys()
{
    m_bus->updateSupply(1, [](SimSupply &s) { s.writeRegisters(VoltageSetpoint, {2450, 250}); });
    const Outcome result = run({"status", "-a", "5", "-m", "1", "--format", "json"});
    QCOMPARE(result.exitCode, 0);
    const QStringList rows = lines(result.out);
    QCOMPARE(rows.size(), 1);
    const QJsonObject reading = QJsonDocument::fromJson(rows.first().toUtf8()).object();
    QStringList keys = reading.keys();
    keys.sort();
    QStringList expected = QStringLiteral("time,address,model,voltage_set,current_set,voltage,current,output,power").split(',');
    expected.sort();
    QCOMPARE(keys, expected);
    QCOMPARE(reading.value("address").toInt(), 5);
    QCOMPARE(reading.value("output").toString(), QStringLiteral("off"));
    // Decimals keep the model's resolution in the text itself.
    QVERIFY2(rows.first().contains(QLatin1String("\"voltage_set\":24.50,\"current_set\":0.250,")), qPrintable(rows.first()));
}

void TestPsuctl::setWritesThenReadsBack()
{
    const Outcome result = run({"set", "-a", "1", "-m", "QELT30-05", "--voltage", "12.5", "--current", "1.25", "--output", "on"});
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.err.isEmpty(), qPrintable(result.err));
    const SimSupply supply = m_bus->supply(0);
    QCOMPARE(supply.voltageSetpoint(), quint16(1250));
    QCOMPARE(supply.currentSetpoint(), quint16(1250));
    QVERIFY(supply.outputOn());
    QVector<QByteArray> frames;
    for (const SimFrameRecord &entry : requests())
        frames << entry.bytes;
    const QVector<QByteArray> expected = {
        singleFrame(VoltageSetpoint, 1250), hex("01 03 10 00 00 01 80 CA"),
        singleFrame(CurrentSetpoint, 1250), withCrc(hex("01 03 10 01 00 01")),
        hex("01 10 10 04 00 01 02 00 01 77 D5"), withCrc(hex("01 03 10 04 00 01")),
    };
    QCOMPARE(frames, expected);
}

void TestPsuctl::valuesCappedOrRoundedWithNote_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("reg");
    QTest::addColumn<int>("raw");
    QTest::addColumn<QString>("note");
    QTest::newRow("voltage above the limit") << "--voltage" << "40" << int(VoltageSetpoint) << 3100
                                             << "VoltageSetpoint (0x1000): 40 V is above the limit of 31.00 V";
    QTest::newRow("current rounded half to even") << "--current" << "1.2345" << int(CurrentSetpoint) << 1234
                                                  << "CurrentSetpoint (0x1001): 1.2345 A is not a whole number of 0.001 A steps; sending 1.234 A";
    QTest::newRow("current exact") << "--current" << "2.5" << int(CurrentSetpoint) << 2500 << "";
    QTest::newRow("power above 650 W") << "--power" << "700" << int(PowerSetpoint) << 65000
                                       << "PowerSetpoint (0x1007): 700 W is above the limit of 650.00 W";
}

void TestPsuctl::valuesCappedOrRoundedWithNote()
{
    QFETCH(QString, option);
    QFETCH(QString, value);
    QFETCH(int, reg);
    QFETCH(int, raw);
    QFETCH(QString, note);
    const Outcome result = run({"set", "-a", "1", "-m", "1", option, value});
    QCOMPARE(result.exitCode, 0);
    if (note.isEmpty()) {
        QCOMPARE(result.err, QString());
    } else {
        QCOMPARE(lines(result.err).size(), 1);
        QVERIFY2(result.err.startsWith(QStringLiteral("psuctl: address 1: ") + note), qPrintable(result.err));
    }
    QCOMPARE(requests().value(0).bytes, singleFrame(quint16(reg), quint16(raw)));
}

void TestPsuctl::readBackDiffers()
{
    // The supply is a 31 V model; told it is a 61 V one, psuctl sends 40.00 V,
    // which the supply takes as its largest setpoint.
    const Outcome result = run({"set", "-a", "1", "-m", "QELT60-05", "--voltage", "40"});
    QCOMPARE(result.exitCode, 5);
    QCOMPARE(result.err, QStringLiteral("psuctl: address 1: VoltageSetpoint (0x1000) holds 3100 after the write of 4000 (40.00 V)\n"));
}

void TestPsuctl::calibrateWritesCode()
{
    const Outcome result = run({"calibrate", "-a", "1", "--voltage-code", "13"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(int(m_bus->supply(0).voltageCorrectionCode()), 13);
    QCOMPARE(requests().value(0).bytes, hex("01 10 10 1A 00 01 02 00 0D 74 6E"));
}

void TestPsuctl::silentAddressExits3()
{
    QProcess process;
    process.start(QStringLiteral(PSUCTL_PROGRAM), {"-p", m_device, "-o", "0.05", "status", "-a", "2", "-m", "1"});
    const Outcome result = finish(process);
    QCOMPARE(result.exitCode, 3);
    QVERIFY(result.out.isEmpty());
    QVERIFY2(result.err.startsWith("psuctl: address 2: no valid reply to the read of VoltageSetpoint..OutputSwitch "
                                   "(0x1000-0x1004) in 2 tries"),
             qPrintable(result.err));
    QCOMPARE(requests().size(), 2); // one retry by default
}

void TestPsuctl::spoiltCrcExits3AfterRetries()
{
    m_bus->updateSupply(0, [](SimSupply &s) { s.faults().corruptShare = 1.0; });
    const Outcome result = run({"--retries", "2", "status", "-a", "1", "-m", "1"});
    QCOMPARE(result.exitCode, 3);
    QVERIFY2(result.err.contains("in 3 tries (the last reply failed its CRC check)"), qPrintable(result.err));
    QCOMPARE(requests().size(), 3);
}

void TestPsuctl::exceptionReportedByName_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::newRow("01") << 1 << "illegal function";
    QTest::newRow("02") << 2 << "illegal data address";
    QTest::newRow("03") << 3 << "illegal data value";
    QTest::newRow("04") << 4 << "server device failure";
    QTest::newRow("06") << 6 << "server device busy";
}

void TestPsuctl::exceptionReportedByName()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    PtyPeer peer;
    peer.startRecording();
    peer.setResponder([code](const QByteArray &request) {
        QByteArray reply;
        reply.append(request.at(0));
        reply.append(char(quint8(request.at(1)) | 0x80));
        reply.append(char(code));
        return withCrc(reply);
    });
    QProcess process;
    start(process, {"set", "-a", "7", "--lock", "on"}, peer.slavePath());
    const Outcome result = finish(process);
    QCOMPARE(result.exitCode, 4);
    QCOMPARE(result.err, QStringLiteral("psuctl: address 7: the write of KeyLock (0x1006) was refused with exception "
                                        "%1, %2\n")
                             .arg(code, 2, 10, QLatin1Char('0'))
                             .arg(name));
    QCOMPARE(peer.frames().size(), 1); // an exception is an answer: no retry
}

// Another supply's reply comes first; the request waits on for its own.
void TestPsuctl::otherAddressPassedOver()
{
    PtyPeer peer;
    peer.startRecording();
    peer.setResponder([](const QByteArray &request) {
        const int count = request.at(5);
        QByteArray answer;
        for (char address : {char(9), request.at(0)}) {
            QByteArray reply;
            reply.append(address);
            reply.append(char(FunctionReadHolding));
            reply.append(char(2 * count));
            for (int i = 0; i < count; ++i)
                appendWord(reply, address == 9 ? 7777 : 100);
            answer += withCrc(reply);
        }
        return answer;
    });
    QProcess process;
    start(process, {"status", "-a", "1", "-m", "1", "--format", "csv"}, peer.slavePath());
    const Outcome result = finish(process);
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(lines(result.out).value(1).endsWith(",1,QELT30-05,1.00,0.100,1.00,0.100,off,1.00"), qPrintable(result.out));
    QCOMPARE(peer.frames().size(), 2);
}

void TestPsuctl::scanFindsEachAddressOnce()
{
    // A supply whose every reply is spoilt is still something on the bus.
    const int garbled = m_bus->addSupply(9, 1);
    m_bus->updateSupply(garbled, [](SimSupply &s) { s.faults().corruptShare = 1.0; });
    QProcess process;
    process.start(QStringLiteral(PSUCTL_PROGRAM), {"-p", m_device, "-o", "0.2", "scan", "--from", "1", "--to", "20"});
    const Outcome result = finish(process);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, QStringLiteral("1\n5\n9\n17\n"));
    QCOMPARE(result.err, QString()); // no progress bar off a terminal
    QVector<int> probed;
    for (const SimFrameRecord &entry : requests()) {
        QCOMPARE(entry.bytes, BuildReadRequest(entry.address, VoltageSetpoint, 1));
        probed << entry.address;
    }
    QVector<int> each(20);
    std::iota(each.begin(), each.end(), 1);
    QCOMPARE(probed, each);
}

void TestPsuctl::runStepsAndCycles()
{
    const QString steps = stepsFile("volts,amps,seconds\n# two steps\n5,1,0.2\n\n12,1.5,0.3\n");
    const qint64 beforeUs = m_bus->nowUs();
    const Outcome result = run({"run", "-a", "1", "-m", "1", steps, "--cycles", "2"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(lines(result.out), QStringList({"cycle 1/2 step 1/2: 5.00 V 1.000 A for 0.2 s",
                                             "cycle 1/2 step 2/2: 12.00 V 1.500 A for 0.3 s",
                                             "cycle 2/2 step 1/2: 5.00 V 1.000 A for 0.2 s",
                                             "cycle 2/2 step 2/2: 12.00 V 1.500 A for 0.3 s", "output off"}));
    const QVector<SimFrameRecord> sent = requests();
    const QByteArray on = hex("01 10 10 04 00 01 02 00 01 77 D5");
    const QByteArray off = hex("01 10 10 04 00 01 02 00 00 B6 15");
    QVector<QByteArray> frames;
    for (const SimFrameRecord &entry : sent)
        frames << entry.bytes;
    QCOMPARE(frames, QVector<QByteArray>({pairFrame(500, 1000), on, pairFrame(1200, 1500), pairFrame(500, 1000),
                                          pairFrame(1200, 1500), off}));
    // No step starts before the steps ahead of it have had their time: each
    // frame arrives no earlier than its place in the schedule, counted from
    // before the program started (a late arrival is the bench's business).
    const qint64 dueUs[] = {0, 200000, 500000, 700000, 1000000};
    const int at[] = {2, 3, 4, 5};
    for (int i = 0; i < 4; ++i) {
        const qint64 since = sent.at(at[i]).startUs - beforeUs;
        QVERIFY2(since >= dueUs[i + 1], qPrintable(QStringLiteral("frame %1 after %2 us").arg(at[i]).arg(since)));
    }
}

void TestPsuctl::interruptLeavesOutputOff()
{
    QProcess process;
    start(process, {"run", "-a", "1", "-m", "1", stepsFile("5,1,60\n")});
    QTRY_VERIFY_WITH_TIMEOUT(m_bus->supply(0).outputOn(), 20000);
    ::kill(pid_t(process.processId()), SIGINT);
    const Outcome result = finish(process);
    QCOMPARE(result.exitCode, 130);
    QVERIFY(!m_bus->supply(0).outputOn());
    QCOMPARE(requests().last().bytes, hex("01 10 10 04 00 01 02 00 00 B6 15"));
    QVERIFY2(result.err.contains("address 1: interrupted; output switched off"), qPrintable(result.err));
}

void TestPsuctl::malformedStepsRefused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("message");
    QTest::newRow("not a number") << QByteArray("volts,amps,seconds\n5,1,1\n5,abc,1\n") << ":3: 'abc' is not a number of amperes";
    QTest::newRow("two fields") << QByteArray("# c\n5,1\n") << ":2: 2 fields where volts,amps,seconds are expected";
    QTest::newRow("negative") << QByteArray("5,1,1\n-5,1,1\n") << ":2: -5 volts is below 0";
    QTest::newRow("no time") << QByteArray("5,1,0\n") << ":1: a step must last longer than 0 seconds";
    QTest::newRow("second header") << QByteArray("5,1,1\nV,A,s\n") << ":2: 'V' is not a number of volts";
    QTest::newRow("empty") << QByteArray("# nothing\n") << ": no steps";
}

void TestPsuctl::malformedStepsRefused()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, message);
    const QString path = stepsFile(text);
    const Outcome result = run({"run", "-a", "1", "-m", "1", path});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(lines(result.err).size(), 1);
    QVERIFY2(result.err.startsWith(QStringLiteral("psuctl: ") + path + message), qPrintable(result.err));
    QVERIFY(result.out.isEmpty());
    QCOMPARE(m_bus->record().size(), 0);
}

void TestPsuctl::badOptionsRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("baud") << QStringList{"-b", "1234", "scan"} << "-b '1234': one of 1200, 2400";
    QTest::newRow("parity") << QStringList{"-P", "mark", "scan"} << "-P 'mark': one of none, even, odd";
    QTest::newRow("data bits") << QStringList{"-d", "9", "scan"} << "-d '9': not a whole number from 7 to 8";
    QTest::newRow("stop bits") << QStringList{"-s", "3", "scan"} << "-s '3': not a whole number from 1 to 2";
    QTest::newRow("timeout") << QStringList{"-o", "abc", "scan"} << "-o 'abc': not a number from 0.01 to 10";
    QTest::newRow("retries") << QStringList{"--retries", "-1", "scan"} << "--retries '-1': not a whole number";
    QTest::newRow("address") << QStringList{"status", "-a", "248", "-m", "1"} << "-a '248': not a whole number from 1 to 247";
    QTest::newRow("model") << QStringList{"status", "-a", "1", "-m", "QELT99"} << "-m 'QELT99': no such model";
    QTest::newRow("no model") << QStringList{"status", "-a", "1"} << "status needs the model (-m)";
    QTest::newRow("format") << QStringList{"status", "-a", "1", "-m", "1", "--format", "xml"} << "--format 'xml': one of table, csv, json";
    QTest::newRow("watch") << QStringList{"status", "-a", "1", "-m", "1", "--watch", "0"} << "--watch '0': not a whole number";
    QTest::newRow("switch") << QStringList{"set", "-a", "1", "--output", "maybe"} << "--output 'maybe': on or off";
    QTest::newRow("nothing to set") << QStringList{"set", "-a", "1"} << "set needs at least one value to write";
    QTest::newRow("ovp as power control") << QStringList{"set", "-a", "1", "-m", "1", "--ovp", "0.01"} << "--ovp 0.01: below two steps";
    QTest::newRow("code range") << QStringList{"calibrate", "-a", "1", "--voltage-code", "21"} << "--voltage-code '21'";
    QTest::newRow("two codes") << QStringList{"calibrate", "-a", "1", "--voltage-code", "1", "--current-code", "1"}
                               << "calibrate takes one of";
    QTest::newRow("wrong command") << QStringList{"set", "-a", "1", "--watch", "5"} << "--watch does not apply to set";
    QTest::newRow("unknown") << QStringList{"frobnicate"} << "unknown command 'frobnicate'";
}

void TestPsuctl::badOptionsRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const Outcome result = run(arguments);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(lines(result.err).size(), 1);
    QVERIFY2(result.err.startsWith(QStringLiteral("psuctl: ") + message), qPrintable(result.err));
    QVERIFY2(result.err.contains("--help'"), qPrintable(result.err));
    QCOMPARE(m_bus->record().size(), 0);
}

void TestPsuctl::helpNamesEveryOption_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("options");
    QTest::newRow("general") << QString() << QStringList{"models", "scan", "status", "set", "run", "calibrate", "--port",
                                                         "--baud", "--parity", "--data-bits", "--stop-bits", "--timeout",
                                                         "--retries", "--verbose", "Exit status:"};
    QTest::newRow("scan") << "scan" << QStringList{"--from", "--to"};
    QTest::newRow("status") << "status" << QStringList{"--address", "--model", "--watch", "--count", "--format"};
    QTest::newRow("set") << "set" << QStringList{"--voltage", "--current", "--ovp", "--ocp", "--output", "--lock", "--power",
                                                 "--power-control", "--pid", "--new-address"};
    QTest::newRow("run") << "run" << QStringList{"--cycles", "STEPS.csv", "volts,amps,seconds"};
    QTest::newRow("calibrate") << "calibrate" << QStringList{"--voltage-code", "--current-code"};
}

void TestPsuctl::helpNamesEveryOption()
{
    QFETCH(QString, command);
    QFETCH(QStringList, options);
    QProcess process;
    process.start(QStringLiteral(PSUCTL_PROGRAM), command.isEmpty() ? QStringList{"--help"} : QStringList{command, "--help"});
    const Outcome result = finish(process);
    QCOMPARE(result.exitCode, 0);
    QVERIFY(result.out.startsWith(QLatin1String("Usage: psuctl")));
    for (const QString &option : options)
        QVERIFY2(result.out.contains(option), qPrintable(option));
}

QTEST_GUILESS_MAIN(TestPsuctl)
#include "tst_psuctl.moc"
