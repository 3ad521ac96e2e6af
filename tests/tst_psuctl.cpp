// psuctl, the program itself, against simulated supplies on a pseudo-terminal
// (or a test peer that answers with exceptions): what it sends, what it
// prints, and the exit status a script sees.

#include "ctl/commands.h"
#include "ctl/ctlerror.h"
#include "ctl/discovery.h"
#include "ctl/mqttbridge.h"
#include "ctl/optiontable.h"
#include "ctl/supplyio.h"
#include "plan/planengine.h"
#include "link/modelcatalogue.h"
#include "link/frames.h"
#include "link/portlock.h"
#include "sim/simbus.h"
#include "support_bytes.h"
#include "support_psuctl.h"
#include "support_pty.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <csignal>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <numeric>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

QStringList lines(const QString &text)
{
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The first model whose voltage step is steps (counts per volt).
int modelWithVoltageScale(quint16 scale)
{
    for (int item = 1; item <= ModelCount; ++item) {
        if (FindModel(item)->voltageScale == scale)
            return item;
    }
    return 0;
}

// Lets the event loop run (a PtyPeer answers from it) until the program ends.
PsuctlRun finish(QProcess &process)
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

// A slave of the test's own on a pseudo-terminal, on a thread of its own, that
// writes its replies one byte per character time of a slow line (1200 baud)
// and notes the time of every byte in both directions. Each reply starts its
// turnaround (5 ms, or the delay its answer asks) after the request; one owed
// while another is still to go out follows that one after 5 ms.
class PacedPeer
{
public:
    static constexpr double CharUs = 10 * 1000000.0 / 1200; // 8N1 at 1200 baud
    using Clock = std::chrono::steady_clock;
    struct Byte {
        Clock::time_point at;
        bool fromMaster;
    };
    // What the peer sends for the n-th request (from 0): the bytes and the
    // silence before them.
    using Answer = std::function<QByteArray(int n, const QByteArray &request, int *delayMs)>;

    explicit PacedPeer(Answer answer) : m_answer(std::move(answer))
    {
        struct termios raw = {};
        cfmakeraw(&raw);
        cfsetspeed(&raw, B1200);
        char name[256] = {};
        if (::openpty(&m_master, &m_slave, name, &raw, nullptr) == 0) {
            ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
            m_path = QString::fromLocal8Bit(name);
            m_thread = std::thread([this] { serve(); });
        }
    }
    ~PacedPeer()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_master);
        ::close(m_slave);
    }
    QString path() const { return m_path; }
    int requests() const { return m_requests; }
    // The first request (every one here is a read, 8 bytes) whose first byte
    // came less than 3.5 characters after a reply byte written before it (the
    // master cannot have heard that byte sooner), described; empty when none
    // did. *starts counts the requests.
    QString earlyRequest(int *starts)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const auto gap = std::chrono::microseconds(qint64(3.5 * CharUs));
        Clock::time_point lastReplyByte{};
        int sent = 0;
        *starts = 0;
        QString early;
        for (const Byte &byte : m_bytes) {
            if (!byte.fromMaster) {
                lastReplyByte = byte.at;
                continue;
            }
            if (sent++ % 8 != 0)
                continue;
            ++*starts;
            if (early.isEmpty() && lastReplyByte != Clock::time_point{} && byte.at - lastReplyByte < gap)
                early = QStringLiteral("request %1 began %2 ms after a reply byte")
                            .arg(*starts)
                            .arg(std::chrono::duration<double, std::milli>(byte.at - lastReplyByte).count());
        }
        return early;
    }

private:
    void note(Clock::time_point at, bool fromMaster, int count)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (int i = 0; i < count; ++i)
            m_bytes.push_back({at, fromMaster});
    }

    void serve()
    {
        QByteArray rx;
        std::deque<std::pair<Clock::time_point, char>> owed; // reply bytes, each with its time
        const auto charTime = std::chrono::microseconds(qint64(CharUs));
        while (!m_stop) {
            int waitMs = 5;
            if (!owed.empty())
                waitMs = int(std::clamp<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(owed.front().first - Clock::now()).count(), 0, 5));
            pollfd entry{m_master, POLLIN, 0};
            if (::poll(&entry, 1, waitMs) > 0) {
                char buffer[256];
                const ssize_t n = ::read(m_master, buffer, sizeof buffer);
                if (n > 0) {
                    note(Clock::now(), true, int(n));
                    rx.append(buffer, n);
                }
            }
            // A request is whole when its length, known from its function, has come.
            const int length = rx.size() < 7 ? 0 : quint8(rx.at(1)) == 0x10 ? 9 + quint8(rx.at(6)) : 8;
            if (length && rx.size() >= length) {
                int delayMs = 5;
                const QByteArray reply = m_answer(m_requests++, rx.left(length), &delayMs);
                rx.remove(0, length);
                // A reply owed while another is still to go out follows it
                // after the turnaround alone: the peer speaks only in answer.
                const Clock::time_point lineFree = owed.empty() ? Clock::now() : owed.back().first + charTime;
                const auto silence = std::chrono::milliseconds(owed.empty() ? delayMs : 5);
                const Clock::time_point first = std::max(lineFree, Clock::now()) + silence;
                for (int i = 0; i < reply.size(); ++i)
                    owed.emplace_back(first + i * charTime, reply.at(i));
            }
            // A byte is noted as written from the moment its write begins
            // (a request is noted once read): the master cannot be faster.
            const Clock::time_point now = Clock::now();
            if (!owed.empty() && now >= owed.front().first && ::write(m_master, &owed.front().second, 1) == 1) {
                note(now, false, 1);
                owed.pop_front();
            }
        }
    }

    Answer m_answer;
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_requests{0};
    std::mutex m_mutex;
    std::vector<Byte> m_bytes;
};

// The reply to a read: from VoltageSetpoint on 12.00 V, 1.500 A set, 11.99 V,
// 1.498 A measured, output on, 17.96 W; 0 elsewhere.
QByteArray readReply(const QByteArray &request)
{
    static const quint16 held[] = {1200, 1500, 1199, 1498, 1, 0, 0, 0, 1796};
    const int start = RegisterAt(request, 2) - VoltageSetpoint;
    const int count = RegisterAt(request, 4);
    QByteArray reply = request.left(2) + char(2 * count);
    for (int i = start; i < start + count; ++i)
        appendWord(reply, i >= 0 && i < 9 ? held[i] : 0);
    return withCrc(reply);
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
    void roundsReadEverySupplyOnRhythm();
    void failedReadingReportedWatchGoesOn_data();
    void failedReadingReportedWatchGoesOn();
    void portLostAndBackDuringWatch();
    void defaultTimeoutCountsRequest();
    void setWritesThenReadsBack();
    void valuesCappedOrRoundedWithNote_data();
    void valuesCappedOrRoundedWithNote();
    void readBackDiffers_data();
    void readBackDiffers();
    void calibrateWritesCode();
    void silentAddressExits3();
    void spoiltCrcExits3AfterRetries();
    void noRequestWhileReplyOnLine_data();
    void noRequestWhileReplyOnLine();
    void planSlotsWaitForQuietLine();
    void exceptionReportedByName_data();
    void exceptionReportedByName();
    void otherAddressPassedOver_data();
    void otherAddressPassedOver();
    void writeAcknowledgementChecked_data();
    void writeAcknowledgementChecked();
    void scanFindsEachAddressOnce();
    void runStepsAndCycles();
    void interruptLeavesOutputOff_data();
    void interruptLeavesOutputOff();
    void watchEndsWhenReaderGoes();
    void serveEndsCleanlyOnHangup();
    void malformedStepsRefused_data();
    void malformedStepsRefused();
    void badOptionsRefused_data();
    void badOptionsRefused();
    void helpNamesEveryOption_data();
    void helpNamesEveryOption();
    void manualFollowsTable_data();
    void manualFollowsTable();
    void manualNamesNoUnknownOption();
    void ovpOfTwoStepsTaken_data();
    void ovpOfTwoStepsTaken();
    void valueRangesAtTheirLimits_data();
    void valueRangesAtTheirLimits();
    void bridgeCommandChecked_data();
    void bridgeCommandChecked();
    void discoveryIdsNeverShared_data();
    void discoveryIdsNeverShared();
    void helpTellsTableDefaults();
    void lockMadeOnlyWhereOthersLook_data();
    void lockMadeOnlyWhereOthersLook();
    void heldPortNamesItsHolder_data();
    void heldPortNamesItsHolder();
    void unitsPassSystemdChecks_data();
    void unitsPassSystemdChecks();

private:
    void start(QProcess &process, const QStringList &arguments, const QString &device = QString());
    PsuctlRun run(const QStringList &arguments, const QString &device = QString());
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

PsuctlRun TestPsuctl::run(const QStringList &arguments, const QString &device)
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
    const PsuctlRun result = run({"status", "-a", "1", "-m", "QELT30-05", "--format", "csv", "--watch", "20", "--count", "2"});
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
    const PsuctlRun result = run({"status", "-a", "5", "-m", "1", "--format", "json"});
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
    // Decimals are numbers of the model's resolution (24.50 V, 0.250 A).
    QCOMPARE(reading.value("voltage_set"), QJsonValue(24.5));
    QCOMPARE(reading.value("current_set"), QJsonValue(0.25));
}

// Each round reads every supply in the order given, one row each, on the
// watch's rhythm: no round reaches the bus before its slot, counted from
// before the program started.
void TestPsuctl::roundsReadEverySupplyOnRhythm()
{
    m_bus->updateSupply(2, [](SimSupply &s) { s.writeRegisters(VoltageSetpoint, {1700, 170}); });
    m_bus->updateSupply(0, [](SimSupply &s) { s.writeRegisters(VoltageSetpoint, {100, 10}); });
    const qint64 beforeUs = m_bus->nowUs();
    const int intervalMs = 150;
    const PsuctlRun result = run({"status", "-a", "17,1-1:QELT30-05", "-m", "1", "--format", "csv", "--watch",
                                QString::number(intervalMs), "--count", "3"});
    QCOMPARE(result.exitCode, 0);
    QStringList rows = lines(result.out);
    QCOMPARE(rows.size(), 7);
    rows.removeFirst();
    for (int i = 0; i < rows.size(); ++i) {
        const QString expected = i % 2 ? QStringLiteral(",1,QELT30-05,1.00,0.010,") : QStringLiteral(",17,QELT30-05,17.00,0.170,");
        QVERIFY2(rows.at(i).contains(expected), qPrintable(rows.at(i)));
    }
    const QVector<SimFrameRecord> sent = requests();
    QCOMPARE(sent.size(), 12);
    for (int i = 0; i < sent.size(); ++i) {
        QCOMPARE(sent.at(i).address, (i / 2) % 2 ? 1 : 17);
        const qint64 since = sent.at(i).startUs - beforeUs;
        const qint64 slotUs = qint64(i / 4) * intervalMs * 1000;
        QVERIFY2(since >= slotUs, qPrintable(QStringLiteral("request %1 after %2 us").arg(i).arg(since)));
    }
}

void TestPsuctl::failedReadingReportedWatchGoesOn_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("cause");
    QTest::newRow("no reply") << "drop" << "in 1 try (no reply within 200 ms)";
    QTest::newRow("spoilt reply") << "corrupt" << "in 1 try (the last reply failed its CRC check)";
}

// A supply that fails every reading: each failure is one line on stderr with
// its time, address and cause, no row, and the watch reads on to its count.
void TestPsuctl::failedReadingReportedWatchGoesOn()
{
    QFETCH(QString, fault);
    QFETCH(QString, cause);
    m_bus->updateSupply(1, [fault](SimSupply &s) {
        (fault == QLatin1String("drop") ? s.faults().dropShare : s.faults().corruptShare) = 1.0;
    });
    QProcess process;
    process.start(QStringLiteral(PSUCTL_PROGRAM), {"-p", m_device, "-o", "0.2", "--retries", "0", "status", "-a",
                                                   "5,1", "-m", "1", "--format", "csv", "--watch", "10", "--count", "3"});
    const PsuctlRun result = finish(process);
    QCOMPARE(result.exitCode, 3);
    const QStringList rows = lines(result.out);
    QCOMPARE(rows.size(), 4);
    for (int i = 1; i < 4; ++i)
        QVERIFY2(rows.at(i).contains(QLatin1String(",1,QELT30-05,")), qPrintable(rows.at(i)));
    static const QRegularExpression report(QStringLiteral(
        "^psuctl: \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}(Z|[+-]\\d\\d:\\d\\d): address 5: no valid reply "
        "to the read of VoltageSetpoint..OutputSwitch \\(0x1000-0x1004\\) "));
    const QStringList reports = lines(result.err).filter(QStringLiteral("address 5"));
    QCOMPARE(reports.size(), 3);
    for (const QString &line : reports) {
        QVERIFY2(report.match(line).hasMatch(), qPrintable(line));
        QVERIFY2(line.endsWith(cause), qPrintable(line));
    }
}

// The device goes away under a watch and comes back at the same path: one
// line when it is lost, one when it is back, rows again after, and status 3
// for the readings missed.
void TestPsuctl::portLostAndBackDuringWatch()
{
    const QString link = m_dir.filePath(QStringLiteral("bus"));
    QVERIFY(QFile::link(m_device, link));
    QProcess process;
    process.start(QStringLiteral(PSUCTL_PROGRAM),
                  {"-p", link, "-o", "1", "status", "-a", "1", "-m", "1", "--format", "csv", "--watch", "100"});
    QVERIFY(process.waitForStarted());
    QString out, err;
    const auto collect = [&] {
        out += QString::fromUtf8(process.readAllStandardOutput());
        err += QString::fromUtf8(process.readAllStandardError());
    };
    QTRY_VERIFY_WITH_TIMEOUT((collect(), lines(out).size() >= 3), 20000);

    m_bus->stop();
    delete m_bus; // the pseudo-terminal's far end closes
    m_bus = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((collect(), err.contains(QLatin1String("port lost"))), 20000);
    const int rowsWhenLost = int(lines(out).size());

    m_bus = new SimBus(this);
    m_bus->addSupply(1, 1);
    const QString device = m_bus->openPty();
    m_bus->start(SimBus::Threading::OwnThread);
    QVERIFY(QFile::remove(link));
    QVERIFY(QFile::link(device, link));
    QTRY_VERIFY_WITH_TIMEOUT((collect(), err.contains(QLatin1String("port back"))), 20000);
    QTRY_VERIFY_WITH_TIMEOUT((collect(), lines(out).size() >= rowsWhenLost + 2), 20000);

    ::kill(pid_t(process.processId()), SIGINT);
    const PsuctlRun result = finish(process);
    collect();
    out += result.out;
    err += result.err;
    QCOMPARE(result.exitCode, 3);
    QStringList notes = lines(err);
    // A loaded machine may stretch a round past the interval; that note is not the port's.
    notes.removeIf([](const QString &note) { return note.contains(QLatin1String("took longer than the")); });
    QVERIFY2(notes.size() == 2, qPrintable(err));
    // The cause is the system's: an I/O error, or the end of the file.
    QVERIFY2(notes.at(0).contains(link + QStringLiteral(": port lost (")), qPrintable(notes.at(0)));
    QVERIFY2(notes.at(0).endsWith(QStringLiteral("); opening it again every second")), qPrintable(notes.at(0)));
    QVERIFY2(notes.at(1).endsWith(link + QStringLiteral(": port back")), qPrintable(notes.at(1)));
    QVERIFY(!requests().isEmpty());
}

// At 1200 baud an 8-byte request takes 67 ms on the line; the simulator's
// reply cannot begin before that request's frame gap and turnaround, well
// past 30 ms. The default timeout counts the request's own time and waits.
void TestPsuctl::defaultTimeoutCountsRequest()
{
    m_bus->stop();
    delete m_bus;
    m_bus = new SimBus(this);
    LineSettings slow;
    slow.baud = 1200;
    m_bus->setLineSettings(slow);
    m_bus->addSupply(1, 1);
    m_device = m_bus->openPty();
    m_bus->start(SimBus::Threading::OwnThread);
    QProcess process;
    process.start(QStringLiteral(PSUCTL_PROGRAM),
                  {"-p", m_device, "-b", "1200", "--retries", "0", "status", "-a", "1", "-m", "1", "--format", "csv"});
    const PsuctlRun result = finish(process);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(lines(result.out).size(), 2);
    QCOMPARE(requests().size(), 2);
}

void TestPsuctl::setWritesThenReadsBack()
{
    const PsuctlRun result = run({"set", "-a", "1", "-m", "QELT30-05", "--voltage", "12.5", "--current", "1.25", "--output", "on"});
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
    QTest::newRow("current rounded half to even") << "--current" << "1.2345" << int(CurrentSetpoint) << 1234
                                                  << "CurrentSetpoint (0x1001): 1.2345 A is not a whole number of 0.001 A steps; sending 1.234 A";
    QTest::newRow("current exact") << "--current" << "2.5" << int(CurrentSetpoint) << 2500 << "";
    QTest::newRow("voltage zero, the least") << "--voltage" << "0" << int(VoltageSetpoint) << 0 << "";
}

void TestPsuctl::valuesCappedOrRoundedWithNote()
{
    QFETCH(QString, option);
    QFETCH(QString, value);
    QFETCH(int, reg);
    QFETCH(int, raw);
    QFETCH(QString, note);
    const PsuctlRun result = run({"set", "-a", "1", "-m", "1", option, value});
    QCOMPARE(result.exitCode, 0);
    if (note.isEmpty()) {
        QCOMPARE(result.err, QString());
    } else {
        QCOMPARE(lines(result.err).size(), 1);
        QVERIFY2(result.err.startsWith(QStringLiteral("psuctl: address 1: ") + note), qPrintable(result.err));
    }
    QCOMPARE(requests().value(0).bytes, singleFrame(quint16(reg), quint16(raw)));
}

void TestPsuctl::readBackDiffers_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("staysOff");
    QTest::addColumn<QString>("message");
    // The supply is a 31 V model; told it is a 61 V one, psuctl sends 40.00 V,
    // which the supply takes as its largest setpoint.
    QTest::newRow("setpoint beyond the model")
        << QStringList{"set", "-a", "1", "-m", "QELT60-05", "--voltage", "40"} << false
        << "psuctl: address 1: VoltageSetpoint (0x1000) holds 3100 after the write of 4000 (40.00 V)\n";
    // A supply that acknowledges the output on but keeps it off.
    QTest::newRow("output stays off") << QStringList{"set", "-a", "1", "--output", "on"} << true
                                      << "psuctl: address 1: OutputSwitch (0x1004) holds 0 after the write of 1 (on)\n";
}

void TestPsuctl::readBackDiffers()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, staysOff);
    QFETCH(QString, message);
    m_bus->updateSupply(0, [staysOff](SimSupply &s) { s.faults().outputStaysOff = staysOff; });
    const PsuctlRun result = run(arguments);
    QCOMPARE(result.exitCode, 5);
    QCOMPARE(result.err, message);
}

void TestPsuctl::calibrateWritesCode()
{
    const PsuctlRun result = run({"calibrate", "-a", "1", "--voltage-code", "13"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(int(m_bus->supply(0).voltageCorrectionCode()), 13);
    QCOMPARE(requests().value(0).bytes, hex("01 10 10 1A 00 01 02 00 0D 74 6E"));
}

void TestPsuctl::silentAddressExits3()
{
    QProcess process;
    process.start(QStringLiteral(PSUCTL_PROGRAM), {"-p", m_device, "-o", "0.05", "status", "-a", "2", "-m", "1"});
    const PsuctlRun result = finish(process);
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
    const PsuctlRun result = run({"--retries", "2", "status", "-a", "1", "-m", "1"});
    QCOMPARE(result.exitCode, 3);
    QVERIFY2(result.err.contains("in 3 tries (the last reply failed its CRC check)"), qPrintable(result.err));
    QCOMPARE(requests().size(), 3);
}

// Half duplex: a request (a retry, or one to the next supply) starts only once
// the reply before it has ended and the line has been quiet for 3.5 characters
// since, whether that reply was taken, spoilt or came late.
void TestPsuctl::noRequestWhileReplyOnLine_data()
{
    QTest::addColumn<QString>("addresses");
    QTest::addColumn<int>("spoil");   // the first reply: 0 right, 1 a bad CRC, 2 a stray byte before it, 3 late
    QTest::addColumn<int>("requests");
    // status reads each supply's state, then its power.
    QTest::newRow("the next supply after a reply") << "1,5" << 0 << 4;
    QTest::newRow("a retry after a failed CRC") << "1" << 1 << 3;
    QTest::newRow("a retry after a broken frame, its rest still coming") << "1" << 2 << 3;
    QTest::newRow("the next supply after a late reply and the one owed to the retry") << "1,5" << 3 << 5;
}

void TestPsuctl::noRequestWhileReplyOnLine()
{
    QFETCH(QString, addresses);
    QFETCH(int, spoil);
    QFETCH(int, requests);
    constexpr int TimeoutMs = 200;
    PacedPeer peer([spoil](int n, const QByteArray &request, int *delayMs) {
        QByteArray reply = readReply(request);
        if (n == 0 && spoil == 1)
            reply[reply.size() - 1] = char(reply.at(reply.size() - 1) ^ 0xFF);
        if (n == 0 && spoil == 2)
            reply.prepend('\0');
        if (n == 0 && spoil == 3)
            *delayMs = TimeoutMs + 40; // begins after the time-out: the retry is answered twice
        return reply;
    });
    QVERIFY(!peer.path().isEmpty());
    QProcess process;
    process.start(QStringLiteral(PSUCTL_PROGRAM),
                  {"-p", peer.path(), "-b", "1200", "-o", QString::number(TimeoutMs / 1000.0), "--retries", "3", "-v",
                   "status", "-a", addresses, "-m", "1"});
    QVERIFY(process.waitForFinished(30000));
    const QString log = QString::fromUtf8(process.readAllStandardError());

    int starts = 0;
    const QString early = peer.earlyRequest(&starts);
    QVERIFY2(early.isEmpty(), qPrintable(early + QLatin1Char('\n') + log));
    QVERIFY2(process.exitCode() == 0, qPrintable(log));
    QVERIFY2(peer.requests() == requests, qPrintable(log));
    QCOMPARE(starts, requests);
}

// psuctl test with three slots on one slow line: supply 1 spoils the CRC of
// every other reply, supply 5 answers past the time-out (and the retry's reply
// follows right after), supply 17 puts bytes on the line after each reply. No slot's
// request starts on a reply or right after it, and every slot passes.
void TestPsuctl::planSlotsWaitForQuietLine()
{
    constexpr int TimeoutMs = 100;
    int answered[3] = {};
    PacedPeer peer([&answered](int, const QByteArray &request, int *delayMs) {
        QByteArray reply = readReply(request);
        switch (quint8(request.at(0))) {
        case 1:
            if (answered[0]++ % 2 == 0)
                reply[reply.size() - 1] = char(reply.at(reply.size() - 1) ^ 0xFF);
            break;
        case 5:
            *delayMs = TimeoutMs + 40;
            break;
        default:
            reply += hex("00 FF 00");
        }
        return reply;
    });
    QVERIFY(!peer.path().isEmpty());
    QFile plan(m_dir.filePath(QStringLiteral("slots.toml")));
    QVERIFY(plan.open(QIODevice::WriteOnly));
    plan.write("name = \"line\"\nversion = \"1\"\non_fail = \"continue\"\n");
    for (const char *slot : {"A\"\naddress = 1", "B\"\naddress = 5", "C\"\naddress = 17"})
        plan.write(QByteArray("[[slot]]\nname = \"") + slot + "\nmodel = \"QELT30-05\"\n");
    plan.write("[[step]]\ntype = \"measure\"\nname = \"read\"\ncount = 3\n"
               "[[step.check]]\nname = \"v\"\nquantity = \"voltage\"\nmin = 11\nmax = 13\n");
    plan.close();
    QProcess process;
    process.start(QStringLiteral(PSUCTL_PROGRAM),
                  {"test", plan.fileName(), "-p", peer.path(), "-b", "1200", "-o", QString::number(TimeoutMs / 1000.0),
                   "--retries", "3", "--serial", "L1,L2,L3", "--db", m_dir.filePath(QStringLiteral("history.sqlite")), "-v"});
    QVERIFY(process.waitForFinished(120000));
    const QString seen = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
    int starts = 0;
    const QString early = peer.earlyRequest(&starts);
    if (!early.isEmpty() || process.exitCode() != 0)
        qWarning().noquote() << seen;
    QVERIFY2(early.isEmpty(), qPrintable(early));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(seen.count(QStringLiteral(": PASS")), 3);
    // Each slot's three readings, with what was asked again.
    QVERIFY(starts >= 3 * 3);
}

void TestPsuctl::exceptionReportedByName_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::newRow("01") << 1 << "illegal function";
    QTest::newRow("02") << 2 << "illegal data address";
    QTest::newRow("03") << 3 << "illegal data value";
    QTest::newRow("04") << 4 << "slave device or server failure";
    QTest::newRow("06") << 6 << "slave device or server is busy";
    QTest::newRow("0C") << 12 << "exception code 12";
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
    const PsuctlRun result = finish(process);
    QCOMPARE(result.exitCode, 4);
    QCOMPARE(result.err, QStringLiteral("psuctl: address 7: the write of KeyLock (0x1006) was refused with exception "
                                        "%1, %2\n")
                             .arg(code, 2, 10, QLatin1Char('0'))
                             .arg(name));
    QCOMPARE(peer.frames().size(), 1); // an exception is an answer: no retry
}

void TestPsuctl::otherAddressPassedOver_data()
{
    QTest::addColumn<int>("other");
    QTest::newRow("another supply") << 9;
    QTest::newRow("address 0") << 0;
}

// Another address's reply comes first; the request waits on for its own.
void TestPsuctl::otherAddressPassedOver()
{
    QFETCH(int, other);
    PtyPeer peer;
    peer.startRecording();
    peer.setResponder([other](const QByteArray &request) {
        const int count = request.at(5);
        QByteArray answer;
        for (char address : {char(other), request.at(0)}) {
            QByteArray reply;
            reply.append(address);
            reply.append(char(FunctionReadHolding));
            reply.append(char(2 * count));
            for (int i = 0; i < count; ++i)
                appendWord(reply, address == char(other) ? 7777 : 100);
            answer += withCrc(reply);
        }
        return answer;
    });
    QProcess process;
    start(process, {"status", "-a", "1", "-m", "1", "--format", "csv"}, peer.slavePath());
    const PsuctlRun result = finish(process);
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(lines(result.out).value(1).endsWith(",1,QELT30-05,1.00,0.100,1.00,0.100,off,1.00"), qPrintable(result.out));
    QCOMPARE(peer.frames().size(), 2);
}

void TestPsuctl::writeAcknowledgementChecked_data()
{
    QTest::addColumn<int>("offset"); // 2: the register echoed, 4: the count
    QTest::newRow("another register") << 2;
    QTest::newRow("another count") << 4;
}

// The first acknowledgement echoes something other than what was written: it
// counts as spoilt and the write goes again; always spoilt, it is exit 3.
void TestPsuctl::writeAcknowledgementChecked()
{
    QFETCH(int, offset);
    for (const bool always : {false, true}) {
        PtyPeer peer;
        peer.startRecording();
        int answered = 0;
        peer.setResponder([&answered, always, offset](const QByteArray &request) {
            QByteArray reply = request.left(6);
            if (always || answered++ == 0)
                reply[offset + 1] = char(reply.at(offset + 1) + 1);
            return withCrc(reply);
        });
        QProcess process;
        start(process, {"set", "-a", "7", "--pid", "on"}, peer.slavePath());
        const PsuctlRun result = finish(process);
        QCOMPARE(peer.frames().size(), 2);
        QCOMPARE(result.exitCode, always ? 3 : 0);
        if (always)
            QVERIFY2(result.err.contains(offset == 2 ? "acknowledged 1 registers at 0x1009, not 1 at 0x1008"
                                                     : "acknowledged 2 registers at 0x1008, not 1 at 0x1008"),
                     qPrintable(result.err));
    }
}

void TestPsuctl::scanFindsEachAddressOnce()
{
    // A supply whose every reply is spoilt is still something on the bus.
    const int garbled = m_bus->addSupply(9, 1);
    m_bus->updateSupply(garbled, [](SimSupply &s) { s.faults().corruptShare = 1.0; });
    QProcess process;
    process.start(QStringLiteral(PSUCTL_PROGRAM), {"-p", m_device, "-o", "0.2", "scan", "--from", "1", "--to", "20"});
    const PsuctlRun result = finish(process);
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
    const PsuctlRun result = run({"run", "-a", "1", "-m", "1", steps, "--cycles", "2"});
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

// Any signal that ends the program and can be caught (Ctrl-C, the SIGHUP of
// a dropped session, a service manager's SIGTERM) switches the output off
// first; the exit status names the signal.
void TestPsuctl::interruptLeavesOutputOff_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGUSR2") << SIGUSR2;
}

void TestPsuctl::interruptLeavesOutputOff()
{
    QFETCH(int, signal);
    QProcess process;
    start(process, {"run", "-a", "1", "-m", "1", stepsFile("5,1,60\n")});
    QTRY_VERIFY_WITH_TIMEOUT(m_bus->supply(0).outputOn(), 20000);
    ::kill(pid_t(process.processId()), signal);
    const PsuctlRun result = finish(process);
    QCOMPARE(result.exitCode, 128 + signal);
    QVERIFY(!m_bus->supply(0).outputOn());
    QCOMPARE(requests().last().bytes, hex("01 10 10 04 00 01 02 00 00 B6 15"));
    QVERIFY2(result.err.contains("address 1: interrupted; output switched off"), qPrintable(result.err));
}

// status --watch | head: the watch ends when its reader goes, with the
// status SIGPIPE gave it, though SIGPIPE no longer ends psuctl.
void TestPsuctl::watchEndsWhenReaderGoes()
{
    const QString status = m_dir.filePath(QStringLiteral("status"));
    QProcess shell;
    shell.start(QStringLiteral("sh"),
                {QStringLiteral("-c"), QStringLiteral("{ '%1' -p '%2' -o 1 status -a 1 -m 1 --format csv --watch 50; "
                                                      "echo $? > '%3'; } | head -3")
                                           .arg(QStringLiteral(PSUCTL_PROGRAM), m_device, status)});
    QVERIFY(shell.waitForFinished(60000));
    QCOMPARE(lines(QString::fromUtf8(shell.readAllStandardOutput())).size(), 3);
    QFile file(status);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().trimmed(), QByteArray("141"));
}

// The SIGHUP of a dropped session ends serve as SIGTERM does: its last line,
// status 0.
void TestPsuctl::serveEndsCleanlyOnHangup()
{
    QProcess process;
    start(process, {"serve", "--listen", "127.0.0.1:0"});
    QString err;
    QTRY_VERIFY_WITH_TIMEOUT((err += QString::fromUtf8(process.readAllStandardError()), err.contains(QLatin1String("serving "))),
                             20000);
    ::kill(pid_t(process.processId()), SIGHUP);
    const PsuctlRun result = finish(process);
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.err.contains(QLatin1String("serve ends after 0 transactions")), qPrintable(err + result.err));
}

void TestPsuctl::lockMadeOnlyWhereOthersLook_data()
{
    QTest::addColumn<QString>("lockFolder");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("read-only") << "ro" << QStringList() << int(ExitPort);
    QTest::newRow("read-only, --no-lock") << "ro" << QStringList{"--no-lock"} << int(ExitSuccess);
    QTest::newRow("writable") << "rw" << QStringList() << int(ExitSuccess);
}

// As a service sees the system (ProtectSystem=strict, PrivateTmp=yes): a
// mount namespace of its own with a /tmp of its own and the lock folder read
// only or not. A lock in that /tmp would be seen by nobody else.
void TestPsuctl::lockMadeOnlyWhereOthersLook()
{
    QFETCH(QString, lockFolder);
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    // psuctl is opened before /tmp is covered: a build under /tmp would
    // vanish with it.
    const QString script = QStringLiteral(
        "exec 3<\"$0\" || exit 99; "
        "for d in /var/lock /run/lock; do [ -L $d ] || mount -t tmpfs -o %1 none $d || exit 99; done; "
        "mount -t tmpfs none /tmp || exit 99; exec /proc/self/fd/3 \"$@\"").arg(lockFolder);
    QProcess process;
    process.start(QStringLiteral("unshare"), QStringList{"-m", "--propagation", "private", "sh", "-c", script,
                                                         QStringLiteral(PSUCTL_PROGRAM), "-p", m_device, "-o", "1"}
                                                 + options + QStringList{"status", "-a", "1", "-m", "1"});
    QVERIFY(process.waitForStarted());
    const PsuctlRun result = finish(process);
    QVERIFY2(result.exitCode == exitCode, qPrintable(QString::number(result.exitCode) + QLatin1Char(' ') + result.err));
    if (exitCode == ExitPort) {
        QVERIFY2(result.err.contains(QStringLiteral("cannot make a lock file for %1 where other programs look for it").arg(m_device))
                     && result.err.contains("--no-lock"),
                 qPrintable(result.err));
        QVERIFY(requests().isEmpty());
    } else {
        QCOMPARE(lines(result.out).size(), 2);
    }
}

void TestPsuctl::heldPortNamesItsHolder_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("by its lock") << QStringList() << QStringLiteral("is in use by psuctl (pid %1)");
    QTest::newRow("by TIOCEXCL") << QStringList{"--no-lock"} << QStringLiteral("(held by psuctl (pid %1))");
}

// A second program on a port psuctl holds, as a user without privileges (whom
// TIOCEXCL refuses; root it does not): told who holds it.
void TestPsuctl::heldPortNamesItsHolder()
{
    QFETCH(QStringList, options);
    QFETCH(QString, refusal);
    QVERIFY(QFile::setPermissions(m_device, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                                | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther));
    QProcess holder;
    start(holder, {"status", "-a", "1", "-m", "1", "--watch", "200"});
    QTRY_VERIFY_WITH_TIMEOUT(FindPortHolder(m_device).isSet() && holder.bytesAvailable() > 0, 20000);
    QProcess second;
    second.start(QStringLiteral("setpriv"), QStringList{"--reuid=65534", "--regid=65534", "--clear-groups",
                                                        QStringLiteral(PSUCTL_PROGRAM), "-p", m_device, "-o", "1"}
                                                + options + QStringList{"status", "-a", "1", "-m", "1"});
    QVERIFY(second.waitForStarted());
    const PsuctlRun refused = finish(second);
    const qint64 holderPid = holder.processId();
    holder.terminate();
    finish(holder);
    QCOMPARE(refused.exitCode, int(ExitPort));
    QVERIFY2(refused.err.contains(refusal.arg(holderPid)), qPrintable(refused.err));
}

// Every unit the package has; each opens a serial port.
void TestPsuctl::unitsPassSystemdChecks_data()
{
    QTest::addColumn<QString>("unit");
    QTest::addColumn<double>("exposure");
    // The ratings the units were given; a new unit needs its own.
    const QHash<QString, double> rated{{QStringLiteral("psuctl-serve@.service"), 1.1},
                                       {QStringLiteral("psuctl-mqtt@.service"), 1.3}};
    const QDir units(QFileInfo(QStringLiteral(PSUCTL_MANUAL)).dir().filePath(QStringLiteral("../systemd")));
    const QStringList names = units.entryList({QStringLiteral("*.service")}, QDir::Files);
    QCOMPARE(names.size(), rated.size());
    for (const QString &name : names)
        QTest::newRow(qPrintable(name)) << name << rated.value(name, 0.0);
}

// The units as systemd reads them (an instance of each, psuctl where the
// package puts it replaced by this build's): no error, the serial lock
// folder writable, and an exposure no worse than they were given.
void TestPsuctl::unitsPassSystemdChecks()
{
    QFETCH(QString, unit);
    QFETCH(double, exposure);
    QFile source(QFileInfo(QStringLiteral(PSUCTL_MANUAL)).dir().filePath(QStringLiteral("../systemd/") + unit));
    QVERIFY2(source.open(QIODevice::ReadOnly), qPrintable(source.fileName()));
    QByteArray text = source.readAll();
    QVERIFY(text.contains("\nExecStart=/usr/bin/psuctl "));
    QVERIFY2(text.contains("\nReadWritePaths=-/run/lock\n"), "the unit cannot write lock files");
    text.replace("/usr/bin/psuctl", PSUCTL_PROGRAM);
    const QString instance = m_dir.filePath(QString(unit).replace(QLatin1String("@."), QLatin1String("@bench3.")));
    QFile copy(instance);
    QVERIFY(copy.open(QIODevice::WriteOnly));
    copy.write(text);
    copy.close();
    QProcess verify;
    verify.setProcessChannelMode(QProcess::MergedChannels);
    verify.start(QStringLiteral("systemd-analyze"), {"verify", "--man=no", instance});
    QVERIFY(verify.waitForFinished(60000));
    const QByteArray said = verify.readAll();
    QVERIFY2(verify.exitCode() == 0 && said.isEmpty(), said.constData());
    QProcess security;
    security.setProcessChannelMode(QProcess::MergedChannels);
    security.start(QStringLiteral("systemd-analyze"), {"security", "--offline=yes", "--no-pager", instance});
    QVERIFY(security.waitForFinished(60000));
    const QString rating = QString::fromUtf8(security.readAll());
    static const QRegularExpression overall(QStringLiteral("Overall exposure level for \\S+: ([0-9.]+) OK"));
    const QRegularExpressionMatch match = overall.match(rating);
    QVERIFY2(match.hasMatch(), qPrintable(rating));
    QVERIFY2(match.captured(1).toDouble() <= exposure, qPrintable(match.captured(0)));
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
    const PsuctlRun result = run({"run", "-a", "1", "-m", "1", path});
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
    QTest::newRow("watch") << QStringList{"status", "-a", "1", "-m", "1", "--watch", "-1"} << "--watch '-1': not a whole number";
    QTest::newRow("address list") << QStringList{"status", "-a", "1,300", "-m", "1"} << "-a '1,300': '300' is not within 1 to 247";
    QTest::newRow("switch") << QStringList{"set", "-a", "1", "--output", "maybe"} << "--output 'maybe': on or off";
    QTest::newRow("nothing to set") << QStringList{"set", "-a", "1"} << "set needs at least one value to write";
    QTest::newRow("ovp as power control") << QStringList{"set", "-a", "1", "-m", "1", "--ovp", "0.01"}
                                          << "--ovp '0.01': 0.01 V is outside 0.02 to 31.00 V, the ovp range of QELT30-05 (below two steps";
    // The bridge refuses a negative value in the same words (bridgeCommandChecked).
    QTest::newRow("negative voltage") << QStringList{"set", "-a", "1", "-m", "1", "--voltage", "-1"}
                                      << "--voltage '-1': -1 V is outside 0.00 to 31.00 V, the voltage range of QELT30-05";
    QTest::newRow("negative current, the model after it") << QStringList{"set", "-a", "1", "--current", "-0.001", "-m", "QELT30-05"}
                                                          << "--current '-0.001': -0.001 A is outside 0.000 to 5.100 A, the current range of QELT30-05";
    QTest::newRow("negative power, no model") << QStringList{"set", "-a", "1", "--power", "-0.01"}
                                              << "--power '-0.01': -0.01 W is outside 0.00 to 650.00 W, the power range of every model";
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
    const PsuctlRun result = run(arguments);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(lines(result.err).size(), 1);
    QVERIFY2(result.err.startsWith(QStringLiteral("psuctl: ") + message), qPrintable(result.err));
    QVERIFY2(result.err.contains("--help'"), qPrintable(result.err));
    QCOMPARE(m_bus->record().size(), 0);
}

// An over-voltage limit of two resolution steps is the least one (0 and 1 in
// OverVoltageLimit switch power control): taken at two steps, refused one
// below, by set and by the bridge alike, for a fine and a coarse model.
void TestPsuctl::ovpOfTwoStepsTaken_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("steps");
    for (const quint16 scale : {quint16(100), quint16(10)}) {
        const int model = modelWithVoltageScale(scale);
        QVERIFY(model);
        for (int steps : {1, 2})
            QTest::addRow("%d steps of 1/%d V", steps, int(scale)) << model << steps;
    }
}

void TestPsuctl::ovpOfTwoStepsTaken()
{
    QFETCH(int, model);
    QFETCH(int, steps);
    const ModelEntry &entry = *FindModel(model);
    const QString volts = PlainNumber(double(steps) / entry.voltageScale);
    const bool taken = steps >= 2;

    const PsuctlRun result = RunPsuctlHere({"-p", m_device, "-o", "1", "set", "-a", "1", "-m", QString::number(model), "--ovp", volts});
    QCOMPARE(result.exitCode, taken ? 0 : 1);
    if (taken) {
        QCOMPARE(m_bus->supply(0).overVoltageLimit(), quint16(steps));
    } else {
        QVERIFY2(result.err.contains(QStringLiteral("--ovp '%1': %1 V is outside").arg(volts)), qPrintable(result.err));
        QVERIFY2(result.err.contains(QStringLiteral("(below two steps")), qPrintable(result.err));
        QCOMPARE(m_bus->record().size(), 0);
    }

    SetValues values;
    const BridgeCommand command = ParseBridgeCommand(QStringLiteral(R"({"ovp": %1})").arg(volts).toUtf8(), entry, values);
    QCOMPARE(command.error.isEmpty(), taken);
    QCOMPARE(bool(values.ovp), taken);
    if (!taken)
        QVERIFY2(command.error.contains(QStringLiteral("ovp '%1': %1 V is outside").arg(volts)), qPrintable(command.error));
}

// One range for each value, from the model, held alike by set, the bridge and
// a plan (a set step and, for ovp and ocp, a protection step's level): the
// value at each end is taken, one step beyond is refused in the same words,
// naming the model's range. A second model of coarser resolution tells the
// ranges of the models apart.
void TestPsuctl::valueRangesAtTheirLimits_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("raw");        // written when taken
    QTest::addColumn<QString>("refusal"); // empty: taken
    const auto taken = [](const char *tag, int model, const char *name, const char *value, int raw) {
        QTest::newRow(tag) << model << name << value << raw << QString();
    };
    const auto refused = [](const char *tag, int model, const char *name, const char *value, const char *refusal) {
        QTest::newRow(tag) << model << name << value << 0 << refusal;
    };
    taken("QELT30-05 voltage at its limit", 1, "voltage", "31", 3100);
    refused("QELT30-05 voltage one step above", 1, "voltage", "31.01",
            "31.01 V is outside 0.00 to 31.00 V, the voltage range of QELT30-05");
    refused("QELT30-05 voltage 50", 1, "voltage", "50", "50 V is outside 0.00 to 31.00 V, the voltage range of QELT30-05");
    taken("QELT30-05 voltage 0", 1, "voltage", "0", 0);
    refused("QELT30-05 voltage one step below 0", 1, "voltage", "-0.01",
            "-0.01 V is outside 0.00 to 31.00 V, the voltage range of QELT30-05");
    taken("QELT30-05 current at its limit", 1, "current", "5.1", 5100);
    refused("QELT30-05 current one step above", 1, "current", "5.101",
            "5.101 A is outside 0.000 to 5.100 A, the current range of QELT30-05");
    taken("QELT30-05 ovp at its limit", 1, "ovp", "31", 3100);
    refused("QELT30-05 ovp one step above", 1, "ovp", "31.01", "31.01 V is outside 0.02 to 31.00 V, the ovp range of QELT30-05");
    refused("QELT30-05 ovp 40", 1, "ovp", "40", "40 V is outside 0.02 to 31.00 V, the ovp range of QELT30-05");
    taken("QELT30-05 ovp at two steps", 1, "ovp", "0.02", 2);
    refused("QELT30-05 ovp one step", 1, "ovp", "0.01",
            "0.01 V is outside 0.02 to 31.00 V, the ovp range of QELT30-05 (below two steps, which OverVoltageLimit "
            "(0x100A) takes as power control)");
    taken("QELT30-05 ocp at its limit", 1, "ocp", "5.1", 5100);
    refused("QELT30-05 ocp one step above", 1, "ocp", "5.101", "5.101 A is outside 0.000 to 5.100 A, the ocp range of QELT30-05");
    refused("QELT30-05 ocp 9", 1, "ocp", "9", "9 A is outside 0.000 to 5.100 A, the ocp range of QELT30-05");
    taken("QELT30-05 ocp 0", 1, "ocp", "0", 0);
    refused("QELT30-05 ocp one step below 0", 1, "ocp", "-0.001", "-0.001 A is outside 0.000 to 5.100 A, the ocp range of QELT30-05");
    taken("power at 650 W", 1, "power", "650", 65000);
    refused("power one step above", 1, "power", "650.01", "650.01 W is outside 0.00 to 650.00 W, the power range of every model");
    taken("QELT100-05 voltage at its limit", 10, "voltage", "100", 1000);
    refused("QELT100-05 voltage one step above", 10, "voltage", "100.1",
            "100.1 V is outside 0.0 to 100.0 V, the voltage range of QELT100-05");
    taken("QELT100-05 ovp at two steps", 10, "ovp", "0.2", 2);
    refused("QELT100-05 ovp one step", 10, "ovp", "0.1", "0.1 V is outside 0.2 to 100.0 V, the ovp range of QELT100-05 (below");
}

void TestPsuctl::valueRangesAtTheirLimits()
{
    QFETCH(int, model);
    QFETCH(QString, name);
    QFETCH(QString, value);
    QFETCH(int, raw);
    QFETCH(QString, refusal);
    const bool taken = refusal.isEmpty();
    const ModelEntry &entry = *FindModel(model);

    // psuctl set
    const PsuctlRun result = RunPsuctlHere({"-p", m_device, "-o", "1", "set", "-a", "1", "-m", QString::number(model),
                                            QStringLiteral("--") + name, value});
    QCOMPARE(result.exitCode, taken ? 0 : 1);
    if (taken) {
        const SimSupply supply = m_bus->supply(0);
        const QMap<QString, int> held{{"voltage", supply.voltageSetpoint()}, {"current", supply.currentSetpoint()},
                                      {"ovp", supply.overVoltageLimit()},   {"ocp", supply.overCurrentLimit()},
                                      {"power", supply.powerSetpoint()}};
        QCOMPARE(held.value(name), raw);
    } else {
        QVERIFY2(result.err.startsWith(QStringLiteral("psuctl: --%1 '%2': %3").arg(name, value, refusal)), qPrintable(result.err));
        QCOMPARE(m_bus->record().size(), 0);
    }

    // The bridge
    SetValues values;
    const BridgeCommand command = ParseBridgeCommand(QStringLiteral(R"({"%1": %2})").arg(name, value).toUtf8(), entry, values);
    if (taken)
        QCOMPARE(command.error, QString());
    else
        QVERIFY2(command.error.startsWith(QStringLiteral("%1 '%2': %3").arg(name, value, refusal)), qPrintable(command.error));

    // A plan: a set step, and a protection step's level
    QTemporaryDir folder;
    QStringList steps{QStringLiteral("type = \"set\"\n%1 = %2\n").arg(name, value)};
    if (name == QLatin1String("ovp") || name == QLatin1String("ocp"))
        steps << QStringLiteral("type = \"protection\"\nlimit = \"%1\"\nlevel = %2\nwithin = 1\n").arg(name, value);
    for (const QString &step : steps) {
        const QString path = folder.filePath(QStringLiteral("plan.toml"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QStringLiteral("name = \"p\"\nversion = \"1\"\n[[slot]]\naddress = 1\nmodel = \"%1\"\n[[step]]\n%2")
                       .arg(QLatin1String(entry.caption), step)
                       .toUtf8());
        file.close();
        const QString key = step.contains(QLatin1String("level")) ? QStringLiteral("level") : name;
        try {
            LoadPlan(path);
            QVERIFY2(taken, qPrintable(step));
        } catch (const PlanError &error) {
            QVERIFY2(!taken, qPrintable(error.text()));
            QVERIFY2(error.cause().startsWith(QStringLiteral("'%1': %2").arg(key, refusal)), qPrintable(error.cause()));
        }
    }
}

void TestPsuctl::bridgeCommandChecked_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("error"); // empty: taken
    const QByteArray longest(LongestCommandId, 'i');
    QTest::newRow("id of 128 bytes") << QByteArray(R"({"voltage":5,"id":")" + longest + R"("})") << "";
    QTest::newRow("id of 129 bytes") << QByteArray(R"({"voltage":5,"id":")" + longest + R"(i"})")
                                     << "id: 129 bytes, longer than 128; nothing was sent";
    const QByteArray wide = QString(LongestCommandId / 2, QChar(0x00E9)).toUtf8(); // two bytes each
    QTest::newRow("id of 64 two-byte letters") << QByteArray(R"({"output":"on","id":")" + wide + R"("})") << "";
    QTest::newRow("id of 65 two-byte letters") << QByteArray(R"({"output":"on","id":")" + wide + "\u00e9\"}")
                                               << "id: 130 bytes, longer than 128";
    QTest::newRow("negative voltage") << QByteArray(R"({"voltage":-1})")
                                      << "voltage '-1': -1 V is outside 0.00 to 31.00 V, the voltage range of QELT30-05";
    QTest::newRow("negative current") << QByteArray(R"({"current":-0.5})")
                                      << "current '-0.5': -0.5 A is outside 0.000 to 5.100 A, the current range of QELT30-05";
    QTest::newRow("zero voltage") << QByteArray(R"({"voltage":0})") << "";
    QTest::newRow("text for a voltage") << QByteArray(R"({"voltage":"12 V"})")
                                        << "voltage '12 V': not a number (0.00 to 31.00 V)";
}

// The bridge's check of a command, in this process.
void TestPsuctl::bridgeCommandChecked()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, error);
    SetValues values;
    const BridgeCommand command = ParseBridgeCommand(payload, *FindModel(1), values);
    if (error.isEmpty()) {
        QVERIFY2(command.error.isEmpty(), qPrintable(command.error));
        QVERIFY(values.any());
        return;
    }
    QVERIFY2(command.error.startsWith(error), qPrintable(command.error));
    QVERIFY(!values.any());
    QVERIFY(!command.id);
}

void TestPsuctl::discoveryIdsNeverShared_data()
{
    QTest::addColumn<QStringList>("first");  // prefix, bench
    QTest::addColumn<QStringList>("second");
    QTest::newRow("underscore moved across the join") << QStringList{"psu_x", "y"} << QStringList{"psu", "x_y"};
    QTest::newRow("dash moved across the join") << QStringList{"psu-x", "y"} << QStringList{"psu", "x-y"};
    QTest::newRow("dot and underscore") << QStringList{"psu", "b.1"} << QStringList{"psu", "b_1"};
    QTest::newRow("dash and underscore") << QStringList{"psu", "b-1"} << QStringList{"psu", "b_1"};
    QTest::newRow("escape look-alike") << QStringList{"psu", "b_2e1"} << QStringList{"psu", "b.1"};
    QTest::newRow("letters beyond ASCII") << QStringList{"psu", QStringLiteral("台1")} << QStringList{"psu", QStringLiteral("台2")};
}

// Benches whose names a plain join would run together get unique ids and
// config topics of their own, and each bench finds only its own configs.
void TestPsuctl::discoveryIdsNeverShared()
{
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);
    QSet<QString> ids;
    QVector<DiscoveryBench> benches;
    for (const QStringList &names : {first, second}) {
        DiscoveryBench bench;
        bench.prefix = names.at(0);
        bench.bench = names.at(1);
        bench.discoveryPrefix = QStringLiteral("homeassistant");
        bench.supplies = {{1, FindModel(1)}, {11, FindModel(1)}};
        benches << bench;
    }
    for (int b = 0; b < 2; ++b) {
        const QVector<RetainedMessage> messages = DiscoveryMessages(benches.at(b));
        QCOMPARE(messages.size(), 12);
        for (const RetainedMessage &message : messages) {
            const QJsonObject config = QJsonDocument::fromJson(message.payload).object();
            const QString id = config.value(QStringLiteral("unique_id")).toString();
            QVERIFY2(!ids.contains(id), qPrintable(id));
            ids.insert(id);
            QVERIFY2(!ids.contains(message.topic), qPrintable(message.topic));
            ids.insert(message.topic);
            const int address = config.value(QStringLiteral("state_topic")).toString().section(QLatin1Char('/'), 2, 2).toInt();
            QCOMPARE(DiscoveryAddress(benches.at(b), message.topic), address);
            QCOMPARE(DiscoveryAddress(benches.at(1 - b), message.topic), 0);
        }
    }
}

// Defaults live in the option rows; each help tells them.
void TestPsuctl::helpTellsTableDefaults()
{
    for (const CommandRow &command : CommandTable()) {
        const PsuctlRun help = RunPsuctlHere({QLatin1String(command.name), "--help"});
        QCOMPARE(help.exitCode, 0);
        QVERIFY2(!help.out.contains(QLatin1String("%d")), command.name);
        for (const OptionRow &row : OptionTable()) {
            if (row.byDefault && row.commands && OptionApplies(row, QLatin1String(command.name)))
                QVERIFY2(help.out.simplified().contains(QStringLiteral("(default %1").arg(QLatin1String(row.byDefault))), row.name);
        }
    }
}

namespace {

QString optionText(const OptionRow &row)
{
    return QStringLiteral("--") + QLatin1String(row.name) + (row.valueName ? QLatin1Char('=') + QLatin1String(row.valueName) : QString());
}

// The rows of a section: the line options (command empty) or a command's own.
QStringList tableSection(const QString &command)
{
    QStringList names;
    for (const OptionRow &row : OptionTable()) {
        const bool inSection = command.isEmpty() ? !row.commands : row.commands && OptionApplies(row, command);
        if (inSection)
            names << QLatin1String(row.name);
    }
    names.sort();
    return names;
}

// The manual page's options by section, from the tag lines of its .TP
// paragraphs: OPTIONS holds the line options (""), each .SS of COMMANDS a
// command's. Letters go in as "-x --name".
QMap<QString, QStringList> manualSections(const QString &page, QStringList *letters)
{
    QMap<QString, QStringList> sections;
    QString section;
    bool inOptions = false;
    const QStringList lines = page.split(QLatin1Char('\n'));
    static const QRegularExpression font(QStringLiteral("\\\\f[BIRP]"));
    static const QRegularExpression longName(QStringLiteral("--([a-z][a-z-]*)"));
    static const QRegularExpression letter(QStringLiteral("(?:^|\\s)-([A-Za-z])(?=[\\s,=]|$)"));
    for (int i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (line.startsWith(QLatin1String(".SH "))) {
            inOptions = line == QLatin1String(".SH OPTIONS");
            section = inOptions ? QString() : QStringLiteral("#");
            if (inOptions)
                sections[section];
        } else if (line.startsWith(QLatin1String(".SS "))) {
            section = line.mid(4).section(QLatin1Char(' '), 0, 0);
            sections[section];
        } else if (line == QLatin1String(".TP") && i + 1 < lines.size() && section != QLatin1String("#")) {
            QString tag = lines.at(i + 1);
            tag.replace(QStringLiteral("\\-"), QStringLiteral("-")).remove(font).remove(QLatin1Char('"'));
            const QRegularExpressionMatch name = longName.match(tag);
            if (!name.hasMatch())
                continue;
            sections[section] << name.captured(1);
            const QRegularExpressionMatch shortName = letter.match(tag);
            if (shortName.hasMatch())
                *letters << QStringLiteral("-%1 --%2").arg(shortName.captured(1), name.captured(1));
        }
    }
    for (QStringList &names : sections)
        names.sort();
    sections.remove(QStringLiteral("#"));
    return sections;
}

// One row for the line options (an empty command) and one for each command.
void addSectionRows()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("line options") << QString();
    for (const CommandRow &command : CommandTable())
        QTest::newRow(command.name) << QString::fromLatin1(command.name);
}

QString manualPage()
{
    QFile file(QStringLiteral(PSUCTL_MANUAL));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

// Each command's help, and the general one for the line options, names every
// option of the table that it takes, with its letter and value.
void TestPsuctl::helpNamesEveryOption_data()
{
    addSectionRows();
}

void TestPsuctl::helpNamesEveryOption()
{
    QFETCH(QString, command);
    QProcess process;
    process.start(QStringLiteral(PSUCTL_PROGRAM), command.isEmpty() ? QStringList{"--help"} : QStringList{command, "--help"});
    const PsuctlRun result = finish(process);
    QCOMPARE(result.exitCode, 0);
    QVERIFY(result.out.startsWith(QLatin1String("Usage: psuctl")));
    int options = 0;
    for (const OptionRow &row : OptionTable()) {
        const bool inSection = command.isEmpty() ? !row.commands : row.commands && OptionApplies(row, command);
        if (!inSection)
            continue;
        ++options;
        const QString shown = (row.letter ? QStringLiteral("-%1, ").arg(QLatin1Char(row.letter)) : QStringLiteral("    "))
                              + optionText(row);
        QVERIFY2(result.out.contains(shown), qPrintable(shown));
    }
    if (command.isEmpty()) {
        QVERIFY(options >= 10);
        for (const CommandRow &row : CommandTable())
            QVERIFY2(result.out.contains(QStringLiteral("\n  ") + QLatin1String(row.name)), row.name);
        QVERIFY(result.out.contains(QLatin1String("Exit status:")));
    }
}

// The manual page tells each command's options and the line options where
// the table has them, and no option the table does not have.
void TestPsuctl::manualFollowsTable_data()
{
    addSectionRows();
}

void TestPsuctl::manualFollowsTable()
{
    QFETCH(QString, command);
    const QString page = manualPage();
    QVERIFY(!page.isEmpty());
    QStringList letters;
    const QMap<QString, QStringList> sections = manualSections(page, &letters);
    QVERIFY2(sections.contains(command), qPrintable(command));
    QCOMPARE(sections.value(command), tableSection(command));
}

void TestPsuctl::manualNamesNoUnknownOption()
{
    QString page = manualPage();
    QVERIFY(!page.isEmpty());
    page.replace(QStringLiteral("\\-"), QStringLiteral("-")).remove(QRegularExpression(QStringLiteral("\\\\f[BIRP]")));
    static const QRegularExpression longName(QStringLiteral("--([a-z][a-z-]*)"));
    int named = 0;
    for (const QRegularExpressionMatch &match : longName.globalMatch(page)) {
        QVERIFY2(FindOption(match.captured(1)), qPrintable(match.captured(0)));
        ++named;
    }
    QVERIFY(named > 30);
    // Every command of the table has its section, and a letter beside a name
    // is the table's letter of that name.
    QStringList letters;
    const QMap<QString, QStringList> sections = manualSections(page, &letters);
    QCOMPARE(sections.size(), CommandTable().size + 1);
    QVERIFY(letters.size() >= 10);
    for (const QString &pair : letters) {
        const OptionRow *row = FindOption(pair.section(QStringLiteral(" --"), 1));
        QVERIFY2(row && row->letter == pair.at(1).toLatin1(), qPrintable(pair));
    }
}

QTEST_GUILESS_MAIN(TestPsuctl)
#include "tst_psuctl.moc"
