// The simulated supplies as a Modbus slave, seen from the far end of a real
// pseudo-terminal: what they answer, what they keep silent about, how the
// supplies behave electrically, the faults they inject and the line timing.

#include "app/forms.h"
#include "app/mainwindow.h"
#include "demo/demotour.h"
#include "link/commports.h"
#include "link/frames.h"
#include "link/mscomm.h"
#include "link/serialchannel.h"
#include "sim/simbus.h"
#include "sim/simexchange.h"
#include "sim/simoptions.h"
#include "support_state.h"
#include "widgets/errorreport.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>

#include <cmath>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

Q_DECLARE_METATYPE(SimSupply::Mode)
Q_DECLARE_METATYPE(SimSupply::Trip)

namespace {

QByteArray hexBytes(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

// The tool's end of the line, opened like a serial port at a given speed.
class LineEnd
{
public:
    struct Arrival {
        qint64 atUs;
        QByteArray bytes;
    };

    explicit LineEnd(const QString &path, speed_t speed = B9600)
    {
        m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        struct termios tio;
        ::tcgetattr(m_fd, &tio);
        cfmakeraw(&tio);
        cfsetspeed(&tio, speed);
        ::tcsetattr(m_fd, TCSANOW, &tio);
        m_clock.start();
    }
    ~LineEnd() { ::close(m_fd); }

    bool isOpen() const { return m_fd >= 0; }
    qint64 nowUs() const { return m_clock.nsecsElapsed() / 1000; }

    // Discards anything waiting, then writes the frame; returns the time it
    // began writing. Nothing can answer the frame before then, however late
    // this end reads, so times measured from it are lower bounds that hold
    // on a loaded machine too.
    qint64 send(const QByteArray &frame)
    {
        ::tcflush(m_fd, TCIFLUSH);
        const qint64 startedAt = nowUs();
        [[maybe_unused]] const ssize_t n = ::write(m_fd, frame.constData(), size_t(frame.size()));
        return startedAt;
    }

    // Bytes as they arrive: waits up to firstMs for the first, then stops after
    // quietMs without a byte.
    QVector<Arrival> collect(int firstMs = 1000, int quietMs = 60)
    {
        QVector<Arrival> arrivals;
        QElapsedTimer total;
        total.start();
        while (total.elapsed() < 10000) {
            const int wait = arrivals.isEmpty() ? int(qMax<qint64>(0, firstMs - total.elapsed())) : quietMs;
            struct pollfd pfd = {m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, wait) <= 0)
                break;
            char buffer[1024];
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n > 0)
                arrivals.append({nowUs(), QByteArray(buffer, int(n))});
        }
        return arrivals;
    }

    static QByteArray joined(const QVector<Arrival> &arrivals)
    {
        QByteArray all;
        for (const Arrival &arrival : arrivals)
            all += arrival.bytes;
        return all;
    }

    // Writes all of bytes, waiting for room as the far end reads.
    bool sendAll(const QByteArray &bytes)
    {
        for (qsizetype done = 0; done < bytes.size();) {
            struct pollfd pfd = {m_fd, POLLOUT, 0};
            if (::poll(&pfd, 1, 10000) <= 0)
                return false;
            const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0)
                done += n;
        }
        return true;
    }

    // Bytes written here that the far end has not read yet.
    int unread() const
    {
        int count = 0;
        return ::ioctl(m_fd, TIOCOUTQ, &count) == 0 ? count : -1;
    }

    QByteArray exchange(const QByteArray &request)
    {
        send(request);
        return joined(collect());
    }

    // What is waiting now, without waiting.
    QByteArray pending()
    {
        QByteArray all;
        char buffer[1024];
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            all.append(buffer, int(n));
        }
        return all;
    }

private:
    int m_fd = -1;
    QElapsedTimer m_clock;
};

bool crcRight(const QByteArray &frame)
{
    if (frame.size() < 4)
        return false;
    const quint16 crc = ModbusCrc16(frame.constData(), frame.size() - 2);
    return quint8(frame.at(frame.size() - 2)) == (crc & 0xFF) && quint8(frame.at(frame.size() - 1)) == (crc >> 8);
}

int countEntries(const QVector<SimFrameRecord> &record, SimFrameRecord::Direction direction)
{
    int count = 0;
    for (const SimFrameRecord &entry : record)
        count += entry.direction == direction ? 1 : 0;
    return count;
}

QString noteOf(const SimBus &bus, const QByteArray &request)
{
    for (const SimFrameRecord &entry : bus.record()) {
        if (entry.direction == SimFrameRecord::Received && entry.bytes == request)
            return entry.note;
    }
    return QString();
}

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answersRequest_data();
    void answersRequest();
    void slaveAnswers_data();
    void slaveAnswers();
    void silentRequests_data();
    void silentRequests();
    void collisionWhenTwoShareAnAddress();

    void outputFollowsLoad_data();
    void outputFollowsLoad();
    void supplyFaults_data();
    void supplyFaults();
    void protectionTrips_data();
    void protectionTrips();
    void addressChangeTakesEffectForNextRequest();
    void keyLockRefusesFrontPanel();
    void powerControlAndReading();
    void correctionsShiftOutput();

    void faultDrop();
    void faultCorrupt();
    void faultDelay();
    void faultSplit();
    void faultStray();
    void faultFlood();

    void pacingFollowsLine_data();
    void pacingFollowsLine();
    void turnaroundBeforeReply();
    void lineSpeedMismatchGetsNoAnswer();

    void toolCollectsWholeReply_data();
    void toolCollectsWholeReply();
    void toolCutsReplyAtLongPause_data();
    void toolCutsReplyAtLongPause();
    void toolStopsCollectingFlood();

    void busWithoutRecordKeepsNothing();

    void parseOptions_data();
    void parseOptions();

    void demoTourSavesScreenshots();

private:
    void startBus(SimBus::Threading threading = SimBus::Threading::OwnThread,
                  const LineSettings &line = LineSettings());
    void openTool();
    void closeTool();

    ToolFixture m_fixture;
    SimBus *m_bus = nullptr;
    LineEnd *m_line = nullptr;
    QString m_path;
    TMSComm *m_comm = nullptr;
    QVector<QByteArray> m_toolReplies;
};

// Three supplies: at 1 a QELT30-05 (0.01 V, 0.001 A) set to 12.00 V / 1.500 A
// into 10 ohm with the output on; at 5 a QELT60-05 as it comes from the box;
// at 17 a QELT100-10 (0.1 V, 0.01 A).
void TestSimulator::startBus(SimBus::Threading threading, const LineSettings &line)
{
    m_bus = new SimBus(this);
    m_bus->setLineSettings(line);
    const int first = m_bus->addSupply(1, 1);
    m_bus->updateSupply(first, [](SimSupply &supply) {
        supply.writeRegisters(VoltageSetpoint, {1200, 1500});
        supply.writeRegisters(OutputSwitch, {1});
        supply.setLoadOhms(10.0);
    });
    m_bus->addSupply(5, 7);
    m_bus->addSupply(17, 13);
    m_path = m_bus->openPty();
    m_bus->start(threading);
}

void TestSimulator::init()
{
    m_fixture.reset();
    startBus();
    m_line = new LineEnd(m_path);
    QVERIFY(m_line->isOpen());
}

void TestSimulator::cleanup()
{
    closeTool();
    delete m_line;
    m_line = nullptr;
    delete m_bus;
    m_bus = nullptr;
}

// The tool's own serial control and receive path on the bus.
void TestSimulator::openTool()
{
    delete m_line; // the tool takes the line end
    m_line = nullptr;
    m_comm = new TMSComm(this);
    AttachSerialControl(m_comm);
    m_comm->SetRThreshold(1);
    connect(m_comm, &TMSComm::OnComm, this, [] { RunHandler(ReceiveReply); });
    SetReplyHandler([this](const QByteArray &reply) { m_toolReplies.append(reply); });
    m_toolReplies.clear();
    MapCommPort(1, m_path);
    m_comm->SetCommPort(1);
    m_comm->SetPortOpen(true);
}

void TestSimulator::closeTool()
{
    if (!m_comm)
        return;
    SetReplyHandler(nullptr);
    m_comm->SetPortOpen(false);
    AttachSerialControl(nullptr);
    delete m_comm;
    m_comm = nullptr;
    ClearCommPortMappings();
}

// What the supplies make of a request, without the line: each step is
// "request > reply : note", the bytes written out whole with CRCs from a
// separate implementation, no reply for nothing sent. Supply 1 is a QELT30-05
// at 12.00 V / 1.500 A into 10 ohm with the output on, supply 5 a QELT60-05
// as it comes from the box; a fault, if any, is supply 5's.
void TestSimulator::answersRequest_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("steps");
    const auto step = [](const char *name, const char *only) {
        QTest::newRow(name) << QString() << QStringList{only};
    };
    step("read voltage setpoint", "01 03 10 00 00 01 80 CA > 01 03 02 04 B0 BB 30 : answered");
    step("read current setpoint", "01 03 10 01 00 01 D1 0A > 01 03 02 05 DC BA 8D : answered");
    step("read measured voltage", "01 03 10 02 00 01 21 0A > 01 03 02 04 B0 BB 30 : answered");
    step("read measured current", "01 03 10 03 00 01 70 CA > 01 03 02 04 B0 BB 30 : answered");
    step("read output switch", "01 03 10 04 00 01 C1 0B > 01 03 02 00 01 79 84 : answered");
    step("read bus address", "01 03 10 05 00 01 90 CB > 01 03 02 00 01 79 84 : answered");
    step("read key lock", "01 03 10 06 00 01 60 CB > 01 03 02 00 00 B8 44 : answered");
    step("read power setpoint", "01 03 10 07 00 01 31 0B > 01 03 02 00 00 B8 44 : answered");
    step("read output power 14.40 W", "01 03 10 08 00 01 01 08 > 01 03 02 05 A0 BB 6C : answered");
    step("read over-voltage limit 34.10 V", "01 03 10 0A 00 01 A0 C8 > 01 03 02 0D 52 3D 29 : answered");
    step("read over-current limit 5.610 A", "01 03 10 0B 00 01 F1 08 > 01 03 02 15 EA 37 5B : answered");
    step("read current correction", "01 03 10 19 00 01 51 0D > 01 03 02 00 00 B8 44 : answered");
    step("read voltage correction", "01 03 10 1A 00 01 A1 0D > 01 03 02 00 00 B8 44 : answered");
    step("status poll, five registers",
         "01 03 10 00 00 05 81 09 > 01 03 0A 04 B0 05 DC 04 B0 04 B0 00 01 0C 1F : answered");
    QTest::newRow("write voltage setpoint 6.00 V") << QString()
        << QStringList{"01 10 10 00 00 01 02 02 58 B7 0B > 01 10 10 00 00 01 05 09 : answered",
                       "01 03 10 00 00 01 80 CA > 01 03 02 02 58 B8 DE : answered"};
    QTest::newRow("write voltage setpoint above the model: 31.00 V") << QString()
        << QStringList{"01 10 10 00 00 01 02 27 0F EC 65 > 01 10 10 00 00 01 05 09 : answered",
                       "01 03 10 00 00 01 80 CA > 01 03 02 0C 1C BC 8D : answered"};
    QTest::newRow("write current setpoint 0.500 A") << QString()
        << QStringList{"01 10 10 01 00 01 02 01 F4 B6 57 > 01 10 10 01 00 01 54 C9 : answered",
                       "01 03 10 01 00 01 D1 0A > 01 03 02 01 F4 B8 53 : answered"};
    QTest::newRow("write output off: measured voltage 0") << QString()
        << QStringList{"01 10 10 04 00 01 02 00 00 B6 15 > 01 10 10 04 00 01 44 C8 : answered",
                       "01 03 10 02 00 01 21 0A > 01 03 02 00 00 B8 44 : answered"};
    QTest::newRow("write key lock") << QString()
        << QStringList{"01 10 10 06 00 01 02 00 01 76 37 > 01 10 10 06 00 01 E5 08 : answered",
                       "01 03 10 06 00 01 60 CB > 01 03 02 00 01 79 84 : answered"};
    QTest::newRow("write power setpoint 10.00 W") << QString()
        << QStringList{"01 10 10 07 00 01 02 03 E8 B6 98 > 01 10 10 07 00 01 B4 C8 : answered",
                       "01 03 10 07 00 01 31 0B > 01 03 02 03 E8 B8 FA : answered"};
    QTest::newRow("write over-voltage limit 10.00 V: trips") << QString()
        << QStringList{"01 10 10 0A 00 01 02 03 E8 B7 85 > 01 10 10 0A 00 01 25 0B : answered",
                       "01 03 10 04 00 01 C1 0B > 01 03 02 00 00 B8 44 : answered"};
    QTest::newRow("write over-current limit 2.000 A") << QString()
        << QStringList{"01 10 10 0B 00 01 02 07 D0 B5 46 > 01 10 10 0B 00 01 74 CB : answered",
                       "01 03 10 0B 00 01 F1 08 > 01 03 02 07 D0 BB E8 : answered"};
    QTest::newRow("write current correction 13") << QString()
        << QStringList{"01 10 10 19 00 01 02 00 0D 74 5D > 01 10 10 19 00 01 D4 CE : answered",
                       "01 03 10 19 00 01 51 0D > 01 03 02 00 0D 79 81 : answered"};
    QTest::newRow("write voltage correction +2: 12.02 V") << QString()
        << QStringList{"01 10 10 1A 00 01 02 00 02 34 6A > 01 10 10 1A 00 01 24 CE : answered",
                       "01 03 10 02 00 01 21 0A > 01 03 02 04 B2 3A F1 : answered"};
    QTest::newRow("write bus address 9: answered under 1, then at 9") << QString()
        << QStringList{"01 10 10 05 00 01 02 00 09 77 C2 > 01 10 10 05 00 01 15 08 : answered",
                       "09 03 10 05 00 01 91 83 > 09 03 02 00 09 99 83 : answered"};
    QTest::newRow("write two setpoints") << QString()
        << QStringList{"05 10 10 00 00 02 04 03 E8 00 64 AA C4 > 05 10 10 00 00 02 44 8C : answered",
                       "05 03 10 00 00 02 C1 4F > 05 03 04 03 E8 00 64 3E 68 : answered"};
    step("read beyond the map: exception 02", "01 03 10 1B 00 01 F0 CD > 01 83 02 C0 F1 : exception 02");
    step("read running past the map: exception 02", "01 03 10 18 00 05 01 0E > 01 83 02 C0 F1 : exception 02");
    step("quantity 0: exception 03", "01 03 10 00 00 00 41 0A > 01 83 03 01 31 : exception 03");
    step("function 04: exception 01", "01 04 10 00 00 01 35 0A > 01 84 01 82 C0 : exception 01");
    step("measured voltage is read-only: exception 02",
         "01 10 10 02 00 01 02 00 01 77 B3 > 01 90 02 CD C1 : exception 02");
    step("output switch 2: exception 03", "01 10 10 04 00 01 02 00 02 37 D4 > 01 90 03 0C 01 : exception 03");
    QTest::newRow("voltage correction 21: exception 03, nothing written") << QString()
        << QStringList{"01 10 10 1A 00 01 02 00 15 74 64 > 01 90 03 0C 01 : exception 03",
                       "01 03 10 1A 00 01 A1 0D > 01 03 02 00 00 B8 44 : answered"};
    step("wrong CRC", "01 03 10 00 00 05 81 08 >  : CRC error");
    step("three bytes", "01 03 10 >  : CRC error");
    step("nobody at 2", "02 03 10 00 00 05 81 3A >  : no such address");
    QTest::newRow("broadcast write, carried out by both") << QString()
        << QStringList{"00 10 10 00 00 01 02 02 58 BA 9B >  : broadcast",
                       "01 03 10 00 00 01 80 CA > 01 03 02 02 58 B8 DE : answered",
                       "05 03 10 00 00 01 81 4E > 05 03 02 02 58 49 1E : answered"};
    step("broadcast read", "00 03 10 00 00 05 80 D8 >  : broadcast");
    QTest::newRow("CRC spoilt by a fault") << QStringLiteral("corrupt")
        << QStringList{"05 03 10 00 00 01 81 4E > 05 03 02 00 00 B6 84 : answered, CRC spoilt"};
    QTest::newRow("reply dropped by a fault") << QStringLiteral("drop")
        << QStringList{"05 03 10 00 00 01 81 4E >  : answered, reply dropped"};
}

void TestSimulator::answersRequest()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, steps);
    QVector<SimSupply> supplies{SimSupply(1, 1), SimSupply(5, 7)};
    supplies[0].writeRegisters(VoltageSetpoint, {1200, 1500});
    supplies[0].writeRegisters(OutputSwitch, {1});
    supplies[0].setLoadOhms(10.0);
    supplies[1].faults().corruptShare = fault == QLatin1String("corrupt") ? 1.0 : 0.0;
    supplies[1].faults().dropShare = fault == QLatin1String("drop") ? 1.0 : 0.0;
    for (const QString &step : steps) {
        const QStringList parts = step.split(QRegularExpression(QStringLiteral("[>:]")));
        QCOMPARE(parts.size(), 3);
        const SimAnswer answer = AnswerRequest(QByteArray::fromHex(parts.at(0).toLatin1()), supplies);
        QCOMPARE(answer.reply.toHex(' '), QByteArray::fromHex(parts.at(1).toLatin1()).toHex(' '));
        QCOMPARE(answer.note, parts.at(2).trimmed());
        QVERIFY(!answer.collision);
    }
}

void TestSimulator::slaveAnswers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    // Requests and replies written out whole, CRCs included, from a separate
    // CRC implementation.
    QTest::newRow("status poll, CV 12.00 V 1.200 A on")
        << hexBytes("01 03 10 00 00 05 81 09") << hexBytes("01 03 0A 04 B0 05 DC 04 B0 04 B0 00 01 0C 1F");
    QTest::newRow("scan probe at 5")
        << hexBytes("05 03 10 00 00 01 81 4E") << hexBytes("05 03 02 00 00 49 84");
    QTest::newRow("single-register write acknowledged")
        << hexBytes("05 10 10 00 00 01 02 04 57 C6 6F") << hexBytes("05 10 10 00 00 01 04 8D");
    QTest::newRow("two-register write acknowledged")
        << hexBytes("11 10 10 00 00 02 04 03 E8 00 64 EB 34") << hexBytes("11 10 10 00 00 02 47 98");
    QTest::newRow("correction register written")
        << hexBytes("11 10 10 19 00 01 02 00 0D B9 9D") << hexBytes("11 10 10 19 00 01 D6 5E");
    QTest::newRow("last register read")
        << hexBytes("11 03 10 1A 00 01 A3 9D") << hexBytes("11 03 02 00 00 79 87");
    QTest::newRow("register outside the map: exception 02")
        << hexBytes("01 03 20 00 00 01 8F CA") << hexBytes("01 83 02 C0 F1");
    QTest::newRow("bus address 0: exception 03")
        << hexBytes("01 10 10 05 00 01 02 00 00 B7 C4") << hexBytes("01 90 03 0C 01");
    QTest::newRow("byte count not 2 N: exception 03")
        << hexBytes("01 10 10 00 00 01 04 00 01 96 50") << hexBytes("01 90 03 0C 01");
}

void TestSimulator::slaveAnswers()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QCOMPARE(m_line->exchange(request).toHex(' '), reply.toHex(' '));
    const QVector<SimFrameRecord> record = m_bus->record();
    QCOMPARE(record.size(), 2);
    QCOMPARE(record.at(0).direction, SimFrameRecord::Received);
    QCOMPARE(record.at(0).bytes, request);
    QCOMPARE(record.at(1).direction, SimFrameRecord::Sent);
    QCOMPARE(record.at(1).bytes, reply);
    QVERIFY(record.at(1).startUs > record.at(0).endUs);
}

void TestSimulator::silentRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("note");
    QTest::newRow("CRC high byte wrong") << hexBytes("01 03 10 00 00 05 81 08") << QStringLiteral("CRC error");
    QTest::newRow("nobody at 2") << hexBytes("02 03 10 00 00 05 81 3A") << QStringLiteral("no such address");
    QTest::newRow("broadcast read") << hexBytes("00 03 10 00 00 05 80 D8") << QStringLiteral("broadcast");
}

void TestSimulator::silentRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, note);
    m_line->send(request);
    QTRY_COMPARE(noteOf(*m_bus, request), note);
    // The request has been judged: no answer is queued and none is on the line.
    QCOMPARE(countEntries(m_bus->record(), SimFrameRecord::Sent), 0);
    QCOMPARE(m_line->pending(), QByteArray());
    // The line still works for the next request.
    QCOMPARE(m_line->exchange(hexBytes("05 03 10 00 00 01 81 4E")), hexBytes("05 03 02 00 00 49 84"));
}

void TestSimulator::collisionWhenTwoShareAnAddress()
{
    m_bus->updateSupply(1, [](SimSupply &s) { s.writeRegisters(VoltageSetpoint, {0x00F0}); });
    const int twin = m_bus->addSupply(5, 7);
    m_bus->updateSupply(twin, [](SimSupply &s) { s.writeRegisters(VoltageSetpoint, {0x0F0F}); });
    // Both drive the line: a 0 bit from either is what is heard.
    const QByteArray mine = hexBytes("05 03 02 00 F0 49 C0");
    const QByteArray theirs = hexBytes("05 03 02 0F 0F 0C 70");
    QByteArray heard(mine.size(), 0);
    for (int i = 0; i < mine.size(); ++i)
        heard[i] = char(mine.at(i) & theirs.at(i));
    QCOMPARE(m_line->exchange(hexBytes("05 03 10 00 00 01 81 4E")).toHex(' '), heard.toHex(' '));
    QVERIFY(!crcRight(heard));
    QCOMPARE(m_bus->record().last().note, QStringLiteral("collision"));
}

void TestSimulator::outputFollowsLoad_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("volts");
    QTest::addColumn<int>("amps");
    QTest::addColumn<double>("ohms");
    QTest::addColumn<SimSupply::Mode>("mode");
    QTest::addColumn<int>("voltageReading");
    QTest::addColumn<int>("currentReading");
    // QELT30-05: counts of 0.01 V and 0.001 A.
    QTest::newRow("CV, 12 V into 10 ohm") << 1 << 1200 << 1500 << 10.0 << SimSupply::Mode::ConstantVoltage << 1200 << 1200;
    QTest::newRow("CC, 12 V into 5 ohm at 1.5 A") << 1 << 1200 << 1500 << 5.0 << SimSupply::Mode::ConstantCurrent << 750 << 1500;
    QTest::newRow("at the knee, 12 V into 8 ohm") << 1 << 1200 << 1500 << 8.0 << SimSupply::Mode::ConstantVoltage << 1200 << 1500;
    QTest::newRow("open circuit") << 1 << 1200 << 1500 << SimSupply::OpenCircuit << SimSupply::Mode::ConstantVoltage << 1200 << 0;
    QTest::newRow("short circuit") << 1 << 1200 << 1500 << 0.0 << SimSupply::Mode::ConstantCurrent << 0 << 1500;
    QTest::newRow("setpoint above the model: capped at 31.00 V") << 1 << 9999 << 100 << SimSupply::OpenCircuit << SimSupply::Mode::ConstantVoltage << 3100 << 0;
    // QELT100-10: counts of 0.1 V and 0.01 A.
    QTest::newRow("0.1 V model, CV 50.0 V into 100 ohm") << 13 << 500 << 100 << 100.0 << SimSupply::Mode::ConstantVoltage << 500 << 50;
    QTest::newRow("0.1 V model, CC 0.30 A into 100 ohm") << 13 << 500 << 30 << 100.0 << SimSupply::Mode::ConstantCurrent << 300 << 30;
}

void TestSimulator::outputFollowsLoad()
{
    QFETCH(int, model);
    QFETCH(int, volts);
    QFETCH(int, amps);
    QFETCH(double, ohms);
    QFETCH(SimSupply::Mode, mode);
    QFETCH(int, voltageReading);
    QFETCH(int, currentReading);

    const int index = m_bus->addSupply(30, model);
    m_bus->updateSupply(index, [&](SimSupply &supply) {
        supply.setLoadOhms(ohms);
        supply.writeRegisters(VoltageSetpoint, {quint16(volts), quint16(amps)});
    });
    QCOMPARE(m_bus->supply(index).mode(), SimSupply::Mode::Off);
    QCOMPARE(m_line->exchange(BuildWriteSingle(30, OutputSwitch, 1)).size(), 8);
    const SimSupply supply = m_bus->supply(index);
    QCOMPARE(supply.mode(), mode);
    QCOMPARE(int(supply.voltageReading()), voltageReading);
    QCOMPARE(int(supply.currentReading()), currentReading);

    const QByteArray status = m_line->exchange(BuildReadRequest(30, VoltageSetpoint, 5));
    QCOMPARE(status.size(), 15);
    QVERIFY(crcRight(status));
    QCOMPARE(int(RegisterAt(status, 7)), voltageReading);
    QCOMPARE(int(RegisterAt(status, 9)), currentReading);
    QCOMPARE(int(RegisterAt(status, 11)), 1);
    const QByteArray power = m_line->exchange(BuildReadRequest(30, OutputPower, 1));
    QCOMPARE(power.size(), 7);
    const double watts = voltageReading / double(supply.model().voltageScale) * currentReading
                         / double(supply.model().currentScale);
    QCOMPARE(int(RegisterAt(power, 3)), int(std::lround(watts * 100)));
}

// Faults of the supply itself, on supply 1 at 12.00 V into 10 ohm, with its
// over-voltage limit then set to 10.00 V.
void TestSimulator::supplyFaults_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<double>("sagOhms");
    QTest::addColumn<bool>("neverTrips");
    QTest::addColumn<int>("voltageReading");
    QTest::addColumn<int>("currentReading");
    QTest::addColumn<bool>("onAfterOvp");
    QTest::newRow("none") << 0 << 0.0 << false << 1200 << 1200 << false;
    QTest::newRow("calibration offset +12: reads 12.12 V, outputs 12.00 V") << 12 << 0.0 << false << 1212 << 1200 << false;
    QTest::newRow("calibration offset -5") << -5 << 0.0 << false << 1195 << 1200 << false;
    QTest::newRow("sag behind 0.5 ohm: 12 x 10 / 10.5") << 0 << 0.5 << false << 1143 << 1143 << false;
    QTest::newRow("never trips") << 0 << 0.0 << true << 1200 << 1200 << true;
}

void TestSimulator::supplyFaults()
{
    QFETCH(int, offset);
    QFETCH(double, sagOhms);
    QFETCH(bool, neverTrips);
    QFETCH(int, voltageReading);
    QFETCH(int, currentReading);
    QFETCH(bool, onAfterOvp);
    m_bus->updateSupply(0, [&](SimSupply &supply) {
        supply.faults().voltageOffsetCounts = offset;
        supply.faults().sagOhms = sagOhms;
        supply.faults().neverTrips = neverTrips;
        supply.setLoadOhms(10.0);
    });
    const QByteArray status = m_line->exchange(BuildReadRequest(1, VoltageSetpoint, 5));
    QCOMPARE(status.size(), 15);
    QCOMPARE(int(RegisterAt(status, 7)), voltageReading);
    QCOMPARE(int(RegisterAt(status, 9)), currentReading);
    QCOMPARE(m_line->exchange(BuildWriteSingle(1, OverVoltageLimit, 1000)).size(), 8);
    QCOMPARE(m_bus->supply(0).outputOn(), onAfterOvp);
}

void TestSimulator::protectionTrips_data()
{
    QTest::addColumn<quint16>("reg");
    QTest::addColumn<quint16>("limit");
    QTest::addColumn<double>("ohms");
    QTest::addColumn<SimSupply::Trip>("trip");
    // Supply 1 runs 12.00 V / 1.200 A into 10 ohm (CV, 1.500 A allowed).
    QTest::newRow("OVP 10.00 V below 12.00 V") << OverVoltageLimit << quint16(1000) << 10.0 << SimSupply::Trip::OverVoltage;
    QTest::newRow("OVP 12.00 V at the output: holds") << OverVoltageLimit << quint16(1200) << 10.0 << SimSupply::Trip::None;
    QTest::newRow("OCP 1.000 A below 1.200 A") << OverCurrentLimit << quint16(1000) << 10.0 << SimSupply::Trip::OverCurrent;
    QTest::newRow("OCP 1.300 A, then the load drops to 5 ohm (CC 1.500 A)")
        << OverCurrentLimit << quint16(1300) << 5.0 << SimSupply::Trip::OverCurrent;
    QTest::newRow("OCP 1.300 A, load stays") << OverCurrentLimit << quint16(1300) << 10.0 << SimSupply::Trip::None;
}

void TestSimulator::protectionTrips()
{
    QFETCH(quint16, reg);
    QFETCH(quint16, limit);
    QFETCH(double, ohms);
    QFETCH(SimSupply::Trip, trip);

    QCOMPARE(m_line->exchange(BuildWriteSingle(1, reg, limit)).size(), 8);
    m_bus->updateSupply(0, [ohms](SimSupply &supply) { supply.setLoadOhms(ohms); });
    QCOMPARE(m_bus->supply(0).lastTrip(), trip);
    const bool stillOn = trip == SimSupply::Trip::None;
    QCOMPARE(m_bus->supply(0).outputOn(), stillOn);
    const QByteArray status = m_line->exchange(BuildReadRequest(1, VoltageSetpoint, 5));
    QCOMPARE(status.size(), 15);
    QCOMPARE(int(RegisterAt(status, 11)), stillOn ? 1 : 0);
    if (!stillOn) {
        QCOMPARE(int(RegisterAt(status, 7)), 0);
        QCOMPARE(int(RegisterAt(status, 9)), 0);
        // Switching on again with the cause still there trips again at once.
        m_line->exchange(BuildWriteSingle(1, OutputSwitch, 1));
        QVERIFY(!m_bus->supply(0).outputOn());
        QCOMPARE(m_bus->supply(0).lastTrip(), trip);
    }
    if (reg == OverVoltageLimit)
        QCOMPARE(m_bus->supply(0).overVoltageLimit(), limit);
    else
        QCOMPARE(m_bus->supply(0).overCurrentLimit(), limit);
}

void TestSimulator::addressChangeTakesEffectForNextRequest()
{
    // The acknowledgement still comes from address 1.
    QCOMPARE(m_line->exchange(hexBytes("01 10 10 05 00 01 02 00 09 77 C2")),
             hexBytes("01 10 10 05 00 01 15 08"));
    QCOMPARE(m_bus->indexOfAddress(9), 0);
    QCOMPARE(m_bus->indexOfAddress(1), -1);

    const QByteArray oldAddress = hexBytes("01 03 10 00 00 05 81 09");
    m_line->send(oldAddress);
    QTRY_COMPARE(noteOf(*m_bus, oldAddress), QStringLiteral("no such address"));
    const QByteArray status = m_line->exchange(hexBytes("09 03 10 00 00 05 80 41"));
    QCOMPARE(status.size(), 15);
    QCOMPARE(quint8(status.at(0)), quint8(9));
    QVERIFY(crcRight(status));
    QCOMPARE(int(RegisterAt(status, 3)), 1200);
}

void TestSimulator::keyLockRefusesFrontPanel()
{
    QCOMPARE(m_line->exchange(hexBytes("01 10 10 06 00 01 02 00 01 76 37")).size(), 8);
    QVERIFY(m_bus->supply(0).keysLocked());
    bool accepted = true;
    m_bus->updateSupply(0, [&accepted](SimSupply &supply) { accepted = supply.frontPanelSetVoltage(500); });
    QVERIFY(!accepted);
    QCOMPARE(m_bus->supply(0).voltageSetpoint(), quint16(1200));
    // Over the bus the setpoint still changes, and unlocking frees the keys.
    m_line->exchange(BuildWriteSingle(1, VoltageSetpoint, 1100));
    QCOMPARE(m_bus->supply(0).voltageSetpoint(), quint16(1100));
    m_line->exchange(BuildWriteSingle(1, KeyLock, 0));
    m_bus->updateSupply(0, [&accepted](SimSupply &supply) { accepted = supply.frontPanelSetVoltage(500); });
    QVERIFY(accepted);
    QCOMPARE(m_bus->supply(0).voltageSetpoint(), quint16(500));
}

void TestSimulator::powerControlAndReading()
{
    // 5.00 W into 10 ohm: sqrt(5 * 10) = 7.07 V, 0.707 A.
    QCOMPARE(m_line->exchange(hexBytes("01 10 10 07 00 01 02 01 F4 B6 31")).size(), 8);
    QCOMPARE(m_bus->supply(0).mode(), SimSupply::Mode::ConstantVoltage); // not yet switched on
    QCOMPARE(m_line->exchange(hexBytes("01 10 10 0A 00 01 02 00 01 76 FB")).size(), 8);
    SimSupply supply = m_bus->supply(0);
    QVERIFY(supply.powerControlOn());
    QCOMPARE(supply.mode(), SimSupply::Mode::ConstantPower);
    QCOMPARE(int(supply.voltageReading()), 707);
    QCOMPARE(int(supply.currentReading()), 707);
    // The over-voltage limit is not touched by the power-control switch.
    QCOMPARE(int(supply.overVoltageLimit()), 3410);
    const QByteArray power = m_line->exchange(hexBytes("01 03 10 08 00 01 01 08"));
    QCOMPARE(power.size(), 7);
    QVERIFY(qAbs(int(RegisterAt(power, 3)) - 500) <= 1);

    // PID stop (write 1 to 0x1008): the regulator holds its voltage while the load changes.
    QCOMPARE(m_line->exchange(hexBytes("01 10 10 08 00 01 02 00 01 77 19")).size(), 8);
    QVERIFY(!m_bus->supply(0).pidRunning());
    m_bus->updateSupply(0, [](SimSupply &s) { s.setLoadOhms(20.0); });
    QCOMPARE(int(m_bus->supply(0).voltageReading()), 707);
    // PID start (write 0): it regulates again, sqrt(5 * 20) = 10.00 V.
    m_line->exchange(BuildWriteSingle(1, OutputPower, 0));
    QCOMPARE(int(m_bus->supply(0).voltageReading()), 1000);
    // Power control off: back to the 12.00 V setpoint.
    m_line->exchange(BuildWriteSingle(1, OverVoltageLimit, 0));
    QCOMPARE(m_bus->supply(0).mode(), SimSupply::Mode::ConstantVoltage);
    QCOMPARE(int(m_bus->supply(0).voltageReading()), 1200);
}

void TestSimulator::correctionsShiftOutput()
{
    // Voltage code 13 is -3 counts: 12.00 V becomes 11.97 V.
    QCOMPARE(m_line->exchange(hexBytes("01 10 10 1A 00 01 02 00 0D 74 6E")).size(), 8);
    QCOMPARE(int(m_bus->supply(0).voltageCorrectionCode()), 13);
    QCOMPARE(int(m_bus->supply(0).voltageReading()), 1197);
    // Current code 203 is beyond 200: refused, nothing changes.
    QCOMPARE(m_line->exchange(hexBytes("01 10 10 19 00 01 02 00 CB F4 0F")), hexBytes("01 90 03 0C 01"));
    QCOMPARE(int(m_bus->supply(0).currentCorrectionCode()), 0);
    // In constant current, current code 5 adds 5 mA.
    m_bus->updateSupply(0, [](SimSupply &s) { s.setLoadOhms(5.0); });
    m_line->exchange(BuildWriteSingle(1, CurrentCorrection, 5));
    QCOMPARE(int(m_bus->supply(0).currentReading()), 1505);
}

void TestSimulator::faultDrop()
{
    m_bus->updateSupply(0, [](SimSupply &s) { s.faults().dropShare = 0.5; });
    const QByteArray poll = hexBytes("01 03 10 00 00 05 81 09");
    int answered = 0;
    for (int i = 0; i < 4; ++i) {
        m_bus->clearRecord();
        m_line->send(poll);
        QTRY_VERIFY(!noteOf(*m_bus, poll).isEmpty());
        if (noteOf(*m_bus, poll).contains(QLatin1String("reply dropped"))) {
            QCOMPARE(countEntries(m_bus->record(), SimFrameRecord::Sent), 0);
            QCOMPARE(m_line->pending(), QByteArray());
        } else {
            QCOMPARE(LineEnd::joined(m_line->collect()).size(), 15);
            ++answered;
        }
    }
    // Spread evenly: every second reply.
    QCOMPARE(answered, 2);
}

void TestSimulator::faultCorrupt()
{
    m_bus->updateSupply(0, [](SimSupply &s) { s.faults().corruptShare = 1.0; });
    const QByteArray reply = m_line->exchange(hexBytes("01 03 10 08 00 01 01 08"));
    QCOMPARE(reply.size(), 7);
    QCOMPARE(reply.left(5), hexBytes("01 03 02 05 A0"));
    QVERIFY(!crcRight(reply));
    QVERIFY(noteOf(*m_bus, hexBytes("01 03 10 08 00 01 01 08")).contains(QLatin1String("CRC spoilt")));
}

void TestSimulator::faultDelay()
{
    m_bus->updateSupply(0, [](SimSupply &s) { s.faults().delayMs = 150; });
    const qint64 sentAt = m_line->send(hexBytes("01 03 10 08 00 01 01 08"));
    const QVector<LineEnd::Arrival> arrivals = m_line->collect();
    QCOMPARE(LineEnd::joined(arrivals), hexBytes("01 03 02 05 A0 BB 6C"));
    QVERIFY2(arrivals.first().atUs - sentAt >= 150000,
             qPrintable(QString::number(arrivals.first().atUs - sentAt)));
}

void TestSimulator::faultSplit()
{
    m_bus->updateSupply(0, [](SimSupply &s) {
        s.faults().splitAt = 8;
        s.faults().splitPauseMs = 60;
    });
    const qint64 sentAt = m_line->send(hexBytes("01 03 10 00 00 05 81 09"));
    const QVector<LineEnd::Arrival> arrivals = m_line->collect(1000, 200);
    QCOMPARE(LineEnd::joined(arrivals), hexBytes("01 03 0A 04 B0 05 DC 04 B0 04 B0 00 01 0C 1F"));
    // Byte 9 comes after eight characters and the pause. (This end may read
    // byte 8 late on a loaded machine, never byte 9 early: so it is timed
    // from the request.)
    qint64 ninthAt = -1;
    int seen = 0;
    for (const LineEnd::Arrival &arrival : arrivals) {
        seen += int(arrival.bytes.size());
        if (seen >= 9 && ninthAt < 0)
            ninthAt = arrival.atUs;
    }
    const qint64 eightCharsUs = qint64(8 * LineSettings().charMicros());
    QVERIFY2(ninthAt - sentAt >= 60000 + eightCharsUs, qPrintable(QString::number(ninthAt - sentAt)));
    const QVector<SimFrameRecord> record = m_bus->record();
    QCOMPARE(record.size(), 3);
    QCOMPARE(record.at(1).note, QStringLiteral("reply part 1"));
    QCOMPARE(record.at(1).bytes.size(), 8);
    QCOMPARE(record.at(2).note, QStringLiteral("reply part 2"));
    QVERIFY(record.at(2).startUs - record.at(0).endUs >= 60000 + eightCharsUs);
}

void TestSimulator::faultStray()
{
    m_bus->updateSupply(1, [](SimSupply &s) {
        s.faults().strayBefore = hexBytes("FF 00");
        s.faults().strayAfter = hexBytes("AA");
    });
    QCOMPARE(m_line->exchange(hexBytes("05 03 10 00 00 01 81 4E")), hexBytes("FF 00 05 03 02 00 00 49 84 AA"));
    const QVector<SimFrameRecord> record = m_bus->record();
    QCOMPARE(record.size(), 4);
    QCOMPARE(record.at(1).note, QStringLiteral("stray"));
    QCOMPARE(record.at(2).note, QStringLiteral("reply"));
    QCOMPARE(record.at(3).note, QStringLiteral("stray"));
}

void TestSimulator::faultFlood()
{
    m_bus->updateSupply(0, [](SimSupply &s) { s.faults().floodBytes = 600; });
    const qint64 sentAt = m_line->send(hexBytes("01 03 10 00 00 05 81 09"));
    const QVector<LineEnd::Arrival> arrivals = m_line->collect(1000, 200);
    QCOMPARE(LineEnd::joined(arrivals).size(), 600);
    // 600 characters of 1.04 ms each.
    QVERIFY2(arrivals.last().atUs - sentAt >= 600 * 1000,
             qPrintable(QString::number(arrivals.last().atUs - sentAt)));
    QCOMPARE(m_bus->record().last().note, QStringLiteral("flood"));
}

void TestSimulator::pacingFollowsLine_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("speed");
    QTest::newRow("9600 8N1, 1.04 ms a byte") << 9600 << QStringLiteral("9600,n,8,1") << int(B9600);
    QTest::newRow("4800 8E1, 2.29 ms a byte") << 4800 << QStringLiteral("4800,e,8,1") << int(B4800);
    QTest::newRow("2400 7N2, 4.17 ms a byte") << 2400 << QStringLiteral("2400,n,7,2") << int(B2400);
}

void TestSimulator::pacingFollowsLine()
{
    QFETCH(int, baud);
    QFETCH(QString, line);
    QFETCH(int, speed);
    cleanup();
    LineSettings settings;
    QVERIFY(ParseLineSettings(line, &settings));
    QCOMPARE(settings.baud, baud);
    startBus(SimBus::Threading::OwnThread, settings);
    m_line = new LineEnd(m_path, speed_t(speed));

    const double charUs = settings.charMicros();
    const qint64 sentAt = m_line->send(hexBytes("01 03 10 00 00 05 81 09"));
    const QVector<LineEnd::Arrival> arrivals = m_line->collect(2000, 100);
    QCOMPARE(LineEnd::joined(arrivals).size(), 15);
    // The last byte cannot be here before the 15 characters of the reply have
    // gone out; measured from the request, a late reader only adds to it.
    const qint64 whole = arrivals.last().atUs - sentAt;
    QVERIFY2(whole >= qint64(15 * charUs * 0.95), qPrintable(QString::number(whole)));
    // The first byte arrives one character after the reply starts, the last 15.
    const qint64 spread = arrivals.last().atUs - arrivals.first().atUs;
    QVERIFY2(spread <= qint64(14 * charUs) + 200000, qPrintable(QString::number(spread)));
    // How many pieces the bytes come in depends on how late this reader is,
    // and a late bus catches up on its schedule; by the bus's own clock, too,
    // the last byte went out no sooner than 15 characters after the request.
    const QVector<SimFrameRecord> record = m_bus->record();
    QVERIFY2(record.at(1).endUs - record.at(0).endUs >= qint64(15 * charUs * 0.95),
             qPrintable(QString::number(record.at(1).endUs - record.at(0).endUs)));
}

void TestSimulator::turnaroundBeforeReply()
{
    cleanup();
    m_bus = nullptr;
    startBus();
    m_bus->stop();
    m_bus->setTurnaroundMs(40);
    m_bus->start(SimBus::Threading::OwnThread);
    m_line = new LineEnd(m_path);
    const qint64 sentAt = m_line->send(hexBytes("05 03 10 00 00 01 81 4E"));
    const QVector<LineEnd::Arrival> arrivals = m_line->collect();
    QCOMPARE(LineEnd::joined(arrivals), hexBytes("05 03 02 00 00 49 84"));
    // Frame gap (4 ms) + turnaround (40 ms) + one character before the first byte.
    QVERIFY2(arrivals.first().atUs - sentAt >= 44000, qPrintable(QString::number(arrivals.first().atUs - sentAt)));
    const QVector<SimFrameRecord> record = m_bus->record();
    QVERIFY(record.at(1).startUs - record.at(0).endUs >= 44000);
}

void TestSimulator::lineSpeedMismatchGetsNoAnswer()
{
    delete m_line;
    m_line = new LineEnd(m_path, B4800);
    const QByteArray poll = hexBytes("01 03 10 00 00 05 81 09");
    m_line->send(poll);
    QTRY_COMPARE(noteOf(*m_bus, poll), QStringLiteral("line speed mismatch (4800 baud)"));
    QCOMPARE(m_line->pending(), QByteArray());
    // Told to answer any speed, the supplies answer.
    m_bus->setCheckLineSpeed(false);
    QCOMPARE(m_line->exchange(poll).size(), 15);
}

void TestSimulator::toolCollectsWholeReply_data()
{
    QTest::addColumn<bool>("ownThread");
    QTest::newRow("bus in its own thread") << true;
    QTest::newRow("bus in the GUI thread") << false;
}

void TestSimulator::toolCollectsWholeReply()
{
    QFETCH(bool, ownThread);
    cleanup();
    startBus(ownThread ? SimBus::Threading::OwnThread : SimBus::Threading::InThread);
    QVERIFY_THROWS_NO_EXCEPTION(openTool());
    SendFrame(BuildReadRequest(1, VoltageSetpoint, 5));
    QTRY_COMPARE(m_toolReplies.size(), 1);
    QCOMPARE(m_toolReplies.at(0), hexBytes("01 03 0A 04 B0 05 DC 04 B0 04 B0 00 01 0C 1F"));
    SendFrame(BuildWriteSingle(5, VoltageSetpoint, 1234));
    QTRY_COMPARE(m_toolReplies.size(), 2);
    QCOMPARE(m_toolReplies.at(1), hexBytes("05 10 10 00 00 01 04 8D"));
    QCOMPARE(m_bus->supply(1).voltageSetpoint(), quint16(1234));
    SendFrame(BuildReadRequest(17, VoltageSetpoint, 1));
    QTRY_COMPARE(m_toolReplies.size(), 3);
    QCOMPARE(m_toolReplies.at(2), hexBytes("11 03 02 00 00 79 87"));
}

void TestSimulator::toolCutsReplyAtLongPause_data()
{
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<QList<int>>("lengths");
    // The tool takes a reply once the line has been quiet through one 30 ms poll.
    QTest::newRow("5 ms pause: one reply") << 5 << QList<int>{15};
    QTest::newRow("100 ms pause: two pieces") << 100 << QList<int>{8, 7};
}

void TestSimulator::toolCutsReplyAtLongPause()
{
    QFETCH(int, pauseMs);
    QFETCH(QList<int>, lengths);
    m_bus->updateSupply(0, [pauseMs](SimSupply &s) {
        s.faults().splitAt = 8;
        s.faults().splitPauseMs = pauseMs;
    });
    QVERIFY_THROWS_NO_EXCEPTION(openTool());
    SendFrame(BuildReadRequest(1, VoltageSetpoint, 5));
    QTRY_COMPARE(m_toolReplies.size(), lengths.size());
    // Once both parts are on the line and nothing waits in the tool, no more pieces can come.
    QTRY_COMPARE(countEntries(m_bus->record(), SimFrameRecord::Sent), 2);
    QTRY_VERIFY(m_comm->InBufferCount() == 0 && !RxBusy);
    QCOMPARE(m_toolReplies.size(), lengths.size());
    for (int i = 0; i < lengths.size(); ++i)
        QCOMPARE(m_toolReplies.at(i).size(), lengths.at(i));
}

void TestSimulator::toolStopsCollectingFlood()
{
    m_bus->updateSupply(0, [](SimSupply &s) { s.faults().floodBytes = 800; });
    QVERIFY_THROWS_NO_EXCEPTION(openTool());
    SendFrame(BuildReadRequest(1, VoltageSetpoint, 5));
    // More than 500 bytes waiting ends the collection before the flood ends.
    QTRY_VERIFY_WITH_TIMEOUT(!m_toolReplies.isEmpty(), 10000);
    QVERIFY2(m_toolReplies.first().size() > 500, qPrintable(QString::number(m_toolReplies.first().size())));
    QVERIFY(m_toolReplies.first().size() < 800);
}

// psusim runs for days: a bus told to keep no record (as psusim and the demo
// are) holds none of the frames that pass, while the observer that prints
// them with -v still sees every one. Its footprint over time is measured by
// bench/bench_simmemory.sh.
void TestSimulator::busWithoutRecordKeepsNothing()
{
    std::atomic<int> seen{0};
    m_bus->setRecordObserver([&seen](const SimFrameRecord &) { ++seen; });
    m_bus->setKeepRecord(false);
    const QByteArray poll = hexBytes("01 03 10 00 00 05 81 09");
    for (int request = 0; request < 20; ++request)
        QCOMPARE(m_line->exchange(poll).size(), 15);
    QTRY_COMPARE(seen.load(), 40);
    QCOMPARE(m_bus->record().size(), 0);
    m_bus->setRecordObserver({});
}

void TestSimulator::parseOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("summary");
    QTest::newRow("defaults") << QStringList{} << QString()
                              << QStringLiteral("9600,n,8,1;1:1;5:1;17:1");
    QTest::newRow("models by name and number")
        << QStringList{"-s", "3:qelt60-15", "-s", "200:35", "--line", "19200,e,8,1"} << QString()
        << QStringLiteral("19200,e,8,1;3:9;200:35");
    QTest::newRow("faults for one supply")
        << QStringList{"-s", "1", "-s", "2", "--drop", "2=0.25", "--split", "2=5,40", "--load", "7.5"} << QString()
        << QStringLiteral("9600,n,8,1;1:1 load 7.5;2:1 load 7.5 drop 0.25 split 5/40");
    QTest::newRow("supply faults")
        << QStringList{"--cal-offset", "5=-12", "--sag", "1=0.5", "--no-trip", "17"} << QString()
        << QStringLiteral("9600,n,8,1;1:1 sag 0.5;5:1 cal -12;17:1 no trip");
    QTest::newRow("no-trip for a missing supply") << QStringList{"--no-trip", "9"}
                                                  << QStringLiteral("--no-trip '9': no supply at that address.") << QString();
    QTest::newRow("calibration offset not whole") << QStringList{"--cal-offset", "1.5"}
                                                  << QStringLiteral("--cal-offset '1.5': the value is not valid.") << QString();
    QTest::newRow("unknown model") << QStringList{"-s", "1:QELT99"} << QStringLiteral("Unknown model in '1:QELT99'.")
                                   << QString();
    QTest::newRow("address 0") << QStringList{"-s", "0"}
                               << QStringLiteral("Supply '0' is not address[:model] with an address from 1 to 247.")
                               << QString();
    QTest::newRow("fault for a missing supply")
        << QStringList{"--delay", "9=10"} << QStringLiteral("--delay '9=10': no supply at that address.") << QString();
    QTest::newRow("share above 1") << QStringList{"--corrupt", "1.5"}
                                   << QStringLiteral("--corrupt '1.5': the value is not valid.") << QString();
    QTest::newRow("bad line") << QStringList{"--line", "9600,x,8,1"}
                              << QStringLiteral("Line settings '9600,x,8,1' are not baud,parity,data,stop.") << QString();
    QTest::newRow("mark parity, not simulated") << QStringList{"--line", "9600,m,8,1"}
                                                << QStringLiteral("Line settings '9600,m,8,1' are not baud,parity,data,stop.")
                                                << QString();
    QTest::newRow("1.5 stop bits, 7 data") << QStringList{"--line", "4800,o,7,1.5", "-s", "2"} << QString()
                                           << QStringLiteral("4800,o,7,1.5;2:1");
}

void TestSimulator::parseOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QFETCH(QString, summary);
    SimBusOptions options;
    QCOMPARE(ParseSimOptions(arguments, &options), error);
    if (!error.isEmpty())
        return;
    QStringList parts{LineSettingsText(options.line)};
    for (const SimSupplySetup &setup : options.supplies) {
        QString part = QStringLiteral("%1:%2").arg(setup.address).arg(setup.modelItem);
        if (!std::isinf(setup.loadOhms))
            part += QStringLiteral(" load %1").arg(setup.loadOhms);
        if (setup.faults.dropShare > 0)
            part += QStringLiteral(" drop %1").arg(setup.faults.dropShare);
        if (setup.faults.splitAt > 0)
            part += QStringLiteral(" split %1/%2").arg(setup.faults.splitAt).arg(setup.faults.splitPauseMs);
        if (setup.faults.sagOhms > 0)
            part += QStringLiteral(" sag %1").arg(setup.faults.sagOhms);
        if (setup.faults.voltageOffsetCounts != 0)
            part += QStringLiteral(" cal %1").arg(setup.faults.voltageOffsetCounts);
        if (setup.faults.neverTrips)
            part += QStringLiteral(" no trip");
        parts << part;
    }
    QCOMPARE(parts.join(QLatin1Char(';')), summary);
}

// The demo as make run starts it without a display: its bus on COM2 and the
// scripted tour through every window.
void TestSimulator::demoTourSavesScreenshots()
{
    cleanup();
    CreateForms();
    m_bus = new SimBus(this);
    ApplySimOptions(DemoBusOptions(), *m_bus);
    MapCommPort(2, m_bus->openPty());
    m_bus->start(SimBus::Threading::OwnThread);
    MAIN->show();

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    DemoTour tour(folder.path(), this);
    tour.setStationFixture(DemoStationFixture(m_bus));
    QSignalSpy finished(&tour, &DemoTour::finished);
    // The tour reads and closes its boxes itself.
    m_fixture.closer().setPatienceMs(30000);
    tour.start();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 120000);
    QVERIFY2(finished.first().first().toBool(), qPrintable(tour.problems().join(QLatin1String("; "))));
    const QStringList names{"settings.png", "monitor.png", "trend.png",       "scan.png",   "overview.png",
                            "sequence.png", "calibration.png", "station.png", "main.png"};
    QCOMPARE(tour.screenshots().size(), names.size());
    for (const QString &name : names) {
        const QImage shot(folder.filePath(name));
        QVERIFY2(!shot.isNull() && shot.width() > 100 && shot.height() > 100, qPrintable(name));
    }
    // The tour talked to the supplies: status polls of address 1 were answered.
    int answeredPolls = 0;
    for (const SimFrameRecord &entry : m_bus->record()) {
        if (entry.direction == SimFrameRecord::Received && entry.bytes == hexBytes("01 03 10 00 00 05 81 09")
            && entry.note == QLatin1String("answered"))
            ++answeredPolls;
    }
    QVERIFY(answeredPolls >= 2);
    m_bus->stop();
    MAIN->MSComm1->SetPortOpen(false);
    DestroyForms();
    ClearCommPortMappings();
}

QTEST_MAIN(TestSimulator)
#include "tst_simulator.moc"
