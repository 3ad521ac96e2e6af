// psuctl serve, run in this process (RunPsuctl on a thread of its own) over
// simulated supplies on a pseudo-terminal, and reached as Modbus TCP clients
// reach it: sockets written here byte by byte, pymodbus's client and mbpoll.

#include "ctl/commands.h"
#include "ctl/ctlerror.h"
#include "ctl/serve.h"
#include "link/frames.h"
#include "sim/simbus.h"
#include "support_bytes.h"
#include "support_psuctl.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A Modbus TCP client on a plain socket.
class Client
{
public:
    // receiveBuffer, when given, is the socket's receive buffer: a small one
    // makes a client that does not read fill up soon.
    explicit Client(int port, int receiveBuffer = 0)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~Client() { close(); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool connected() const { return m_connected; }
    // "127.0.0.1:40112", as serve's log names this client.
    QString name() const
    {
        sockaddr_in address = {};
        socklen_t length = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length);
        return QStringLiteral("127.0.0.1:%1").arg(ntohs(address.sin_port));
    }
    // Whether the bytes could still be sent (false once serve has closed).
    bool trySend(const QByteArray &bytes)
    {
        return ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    void close()
    {
        if (m_fd != -1)
            ::close(m_fd);
        m_fd = -1;
    }
    void send(const QByteArray &bytes) { ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL); }
    void request(quint16 transaction, quint8 unit, const QByteArray &pdu) { send(MbapBytes(transaction, unit, pdu)); }
    // The next answer's PDU, after checking its header against what was asked;
    // empty when none comes within the time.
    QByteArray answer(quint16 transaction, quint8 unit, int timeoutMs = 5000)
    {
        while (m_in.size() < 6 || m_in.size() < 6 + (quint8(m_in.at(4)) << 8 | quint8(m_in.at(5)))) {
            if (!readSome(timeoutMs))
                return QByteArray();
        }
        const int length = quint8(m_in.at(4)) << 8 | quint8(m_in.at(5));
        const QByteArray frame = m_in.left(6 + length);
        m_in.remove(0, 6 + length);
        if (frame.left(4) != MbapBytes(transaction, unit, QByteArray()).left(4) || quint8(frame.at(6)) != unit)
            return QByteArray("wrong header: ") + frame.toHex(' ');
        return frame.mid(7);
    }
    QByteArray ask(quint8 unit, const QByteArray &pdu)
    {
        request(++m_transaction, unit, pdu);
        return answer(m_transaction, unit);
    }
    // Whether serve closed this connection within the time.
    bool closedByServer(int timeoutMs = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            if (!readSome(timeoutMs - int(clock.elapsed())))
                return m_closed;
        }
        return false;
    }

private:
    bool readSome(int timeoutMs)
    {
        pollfd fd{m_fd, POLLIN, 0};
        if (::poll(&fd, 1, qMax(0, timeoutMs)) != 1)
            return false;
        char chunk[4096];
        const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            m_closed = true;
            return false;
        }
        m_in.append(chunk, int(got));
        return true;
    }

    int m_fd = -1;
    bool m_connected = false;
    bool m_closed = false;
    QByteArray m_in;
    quint16 m_transaction = 0;
};

// The tries serve gives a request: a simulator thread held up on a loaded
// machine may spoil a reply or two.
constexpr int LineTries = 3;

QByteArray readPdu(quint16 start, quint16 count)
{
    return BuildReadRequest(1, start, count).mid(1, 5);
}

QByteArray writePdu(quint16 start, const QVector<quint16> &values)
{
    const QByteArray frame = BuildWriteRequest(1, start, values);
    return frame.mid(1, frame.size() - 3);
}

// A reply frame on the line as a PDU: without its address and CRC.
QByteArray linePdu(const QByteArray &frame)
{
    return frame.mid(1, frame.size() - 3);
}

} // namespace

class TestServe : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answersAsTheLineDoes_data();
    void answersAsTheLineDoes();
    void failureAnsweredByItsKindNotItsText_data();
    void failureAnsweredByItsKindNotItsText();
    void broadcastGoesOnceAndEverySupplyTakesIt();
    void clientsAtOnceGetTheirOwnAnswers();
    void misbehavingClientCutOffOthersGoOn_data();
    void misbehavingClientCutOffOthersGoOn();
    void vanishedClientCostsNothing();
    void allowList_data();
    void allowList();
    void maxClientsAtTheLimitAndOneBeyond();
    void refusedClientToldServerBusy();
    void idleClientsCutGoodClientServed();
    void clientThatNeverReadsIsCut();
    void writesRefusedUnlessAllowed_data();
    void writesRefusedUnlessAllowed();
    void statisticsOnSigusr1();
    void lostPortAnswered0x0BUntilBack();
    void badOptionsRefused_data();
    void badOptionsRefused();

private:
    void startServe(const QStringList &options = {});
    QString log() const { return m_serve.log(); }
    QVector<SimFrameRecord> onLine(SimFrameRecord::Direction direction) const;
    int answersTo(int address) const;
    void startBus();

    SimBus *m_bus = nullptr;
    QString m_device;
    QTemporaryDir m_dir;
    ServeThread m_serve{m_dir.filePath(QStringLiteral("serve.log"))};
    int m_port = 0;
};

void TestServe::startBus()
{
    m_bus = new SimBus(this);
    for (int address : {1, 5, 17})
        m_bus->addSupply(address, 1); // QELT30-05
    m_device = m_bus->openPty();
    m_bus->start(SimBus::Threading::OwnThread);
}

void TestServe::init()
{
    startBus();
}

void TestServe::cleanup()
{
    if (m_serve.running()) {
        QCOMPARE(m_serve.stop(), int(ExitSuccess));
        QVERIFY2(log().contains(QStringLiteral("serve ends after")), qPrintable(log()));
    }
    m_bus->stop();
    delete m_bus;
    m_bus = nullptr;
}

// serve on a port the system picks, with a timeout that a loaded machine
// keeps; returns once it listens.
void TestServe::startServe(const QStringList &options)
{
    const QStringList arguments =
        QStringList{"-p", m_device, "-o", "0.5", "--retries", QString::number(LineTries - 1), "serve", "--listen",
                    "127.0.0.1:0"}
        + options;
    QVERIFY2(m_serve.start(arguments), qPrintable(log()));
    m_port = m_serve.port();
}

QVector<SimFrameRecord> TestServe::onLine(SimFrameRecord::Direction direction) const
{
    QVector<SimFrameRecord> frames;
    for (const SimFrameRecord &entry : m_bus->record()) {
        if (entry.direction == direction && entry.note != QLatin1String("noise"))
            frames.append(entry);
    }
    return frames;
}

// The replies of the supply at address on the line.
int TestServe::answersTo(int address) const
{
    int replies = 0;
    for (const SimFrameRecord &entry : onLine(SimFrameRecord::Sent))
        replies += entry.address == address;
    return replies;
}

void TestServe::answersAsTheLineDoes_data()
{
    QTest::addColumn<int>("unit");
    QTest::addColumn<QByteArray>("pdu");
    QTest::addColumn<QByteArray>("lineRequest"); // the frame serve puts on the line, or empty
    QTest::addColumn<int>("tries");              // how often it goes there; -1: until answered
    QTest::addColumn<QByteArray>("answer");      // empty: the PDU of the supply's reply

    const QByteArray none;
    QTest::newRow("read, 5 registers") << 1 << readPdu(VoltageSetpoint, 5)
                                       << BuildReadRequest(1, VoltageSetpoint, 5) << -1 << none;
    QTest::newRow("read, 125 registers: on the line") << 5 << readPdu(VoltageSetpoint, 125)
                                                      << BuildReadRequest(5, VoltageSetpoint, 125) << -1 << none;
    QTest::newRow("read, 126 registers: refused here") << 5 << readPdu(VoltageSetpoint, 126) << none << 0
                                                       << hex("83 03");
    QTest::newRow("read past 0xFFFF") << 1 << readPdu(0xFFFF, 2) << none << 0 << hex("83 02");
    QTest::newRow("the supply's own exception") << 17 << readPdu(0x0000, 1) << BuildReadRequest(17, 0x0000, 1) << -1
                                                << hex("83 02");
    QTest::newRow("write of two registers") << 1 << writePdu(VoltageSetpoint, {1200, 1500})
                                            << BuildWriteRequest(1, VoltageSetpoint, {1200, 1500}) << -1 << none;
    QTest::newRow("write single register: a 0x10 of one on the line")
        << 5 << hex("06 10 00 04 B0") << BuildWriteRequest(5, VoltageSetpoint, {1200}) << -1 << hex("06 10 00 04 B0");
    QTest::newRow("write, byte count not twice the count") << 1 << hex("10 10 00 00 01 03 04 B0 00") << none << 0
                                                           << hex("90 03");
    QTest::newRow("silent address 247: 0x0B after every try") << 247 << readPdu(VoltageSetpoint, 1)
                                                              << BuildReadRequest(247, VoltageSetpoint, 1)
                                                              << LineTries << hex("83 0B");
    QTest::newRow("unit 248: no such bus address") << 248 << readPdu(VoltageSetpoint, 1) << none << 0 << hex("83 0A");
    QTest::newRow("read of unit 0") << 0 << readPdu(VoltageSetpoint, 1) << none << 0 << hex("83 0A");
    QTest::newRow("function 0x01") << 1 << hex("01 00 00 00 08") << none << 0 << hex("81 01");
    QTest::newRow("function 0x2B") << 1 << hex("2B 0E 01 00") << none << 0 << hex("AB 01");
}

void TestServe::answersAsTheLineDoes()
{
    QFETCH(int, unit);
    QFETCH(QByteArray, pdu);
    QFETCH(QByteArray, lineRequest);
    QFETCH(int, tries);
    QFETCH(QByteArray, answer);

    startServe();
    Client client(m_port);
    QVERIFY(client.connected());
    const QByteArray got = client.ask(quint8(unit), pdu);
    const QVector<SimFrameRecord> requests = onLine(SimFrameRecord::Received);
    if (tries >= 0)
        QCOMPARE(requests.size(), tries);
    else
        QVERIFY(requests.size() >= 1 && requests.size() <= LineTries);
    for (const SimFrameRecord &request : requests)
        QCOMPARE(request.bytes, lineRequest);
    if (answer.isEmpty()) {
        // The simulator records its reply once the last byte is out, a moment
        // after serve may have passed it on.
        QTRY_COMPARE(onLine(SimFrameRecord::Sent).size(), requests.size());
        QCOMPARE(got, linePdu(onLine(SimFrameRecord::Sent).last().bytes));
    } else {
        QCOMPARE(got, answer);
    }
}

// What serve answers for a failure on the bus comes from the failure's kind
// and code; its text may say anything (here numbers that are not the code).
void TestServe::failureAnsweredByItsKindNotItsText_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("answer");

    const int read = FunctionReadHolding;
    QTest::newRow("exception 02, its text naming none") << int(BusError::Kind::Exception) << read << 0x02
                                                        << "address 17: the read was turned down" << hex("83 02");
    QTest::newRow("exception 02, its text naming 07") << int(BusError::Kind::Exception) << read << 0x02
                                                      << "address 17: refused with exception 07" << hex("83 02");
    QTest::newRow("serve's own busy, to a write") << int(BusError::Kind::Exception) << 0x10 << 0x06
                                                  << "serve refused: exception 04" << hex("90 06");
    QTest::newRow("silent supply, its text naming 02") << int(BusError::Kind::Timeout) << read << 0
                                                       << "the gateway answered exception 02" << hex("83 0B");
    QTest::newRow("spoilt reply") << int(BusError::Kind::SpoiltReply) << read << 0 << "exception 03" << hex("83 0B");
    QTest::newRow("port lost") << int(BusError::Kind::PortLost) << 0x10 << 0 << "port lost" << hex("90 0B");
}

void TestServe::failureAnsweredByItsKindNotItsText()
{
    QFETCH(int, kind);
    QFETCH(int, function);
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(QByteArray, answer);

    QCOMPARE(FailureAnswer(quint8(function), BusError(BusError::Kind(kind), text, 17, function, code)), answer);
}

void TestServe::broadcastGoesOnceAndEverySupplyTakesIt()
{
    startServe({"--allow-broadcast"});
    Client client(m_port);
    QCOMPARE(client.ask(0, writePdu(VoltageSetpoint, {777})), writePdu(VoltageSetpoint, {777}).left(5));
    QTRY_COMPARE(onLine(SimFrameRecord::Received).size(), 1);
    QCOMPARE(onLine(SimFrameRecord::Received).first().bytes, BuildWriteRequest(0, VoltageSetpoint, {777}));
    for (int index = 0; index < m_bus->supplyCount(); ++index)
        QTRY_COMPARE(m_bus->supply(index).voltageSetpoint(), quint16(777));
    // The next request waits for the broadcast's silence and is answered.
    QCOMPARE(client.ask(5, readPdu(VoltageSetpoint, 1)), hex("03 02 03 09"));
    QTRY_VERIFY(!onLine(SimFrameRecord::Sent).isEmpty());
}

// Two pymodbus clients and mbpoll at once, each on its own supply, and a
// client here that sends to all three without waiting: every answer is the
// asker's own.
void TestServe::clientsAtOnceGetTheirOwnAnswers()
{
    startServe();
    const QVector<quint16> setpoints{1111, 555, 1717};
    const QVector<quint8> units{1, 5, 17};
    Client writer(m_port);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(writer.ask(units[i], writePdu(VoltageSetpoint, {setpoints[i]})).toHex(),
                 writePdu(VoltageSetpoint, {setpoints[i]}).left(5).toHex());

    const QString script = QStringLiteral(
        "import sys\n"
        "from pymodbus.client import ModbusTcpClient\n"
        "port, unit, value, n = map(int, sys.argv[1:])\n"
        "client = ModbusTcpClient('127.0.0.1', port=port, timeout=10)\n"
        "assert client.connect()\n"
        "good = 0\n"
        "for _ in range(n):\n"
        "    r = client.read_holding_registers(0x1000, 1, slave=unit)\n"
        "    good += (not r.isError()) and r.registers == [value]\n"
        "print('good', good)\n");
    const int reads = 25;
    QProcess first;
    QProcess second;
    QProcess poller;
    first.start(QStringLiteral("/usr/bin/python3"),
                {"-c", script, QString::number(m_port), "1", QString::number(setpoints[0]), QString::number(reads)});
    second.start(QStringLiteral("/usr/bin/python3"),
                 {"-c", script, QString::number(m_port), "5", QString::number(setpoints[1]), QString::number(reads)});
    poller.start(QStringLiteral("mbpoll"), {"-m", "tcp", "-p", QString::number(m_port), "-a", "17", "-r", "4096",
                                            "-0", "-c", "1", "-1", "-o", "10", "127.0.0.1"});
    Client pipelined(m_port);
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 3; ++i)
            pipelined.request(quint16(100 * round + i), units[i], readPdu(VoltageSetpoint, 1));
        for (int i = 0; i < 3; ++i) {
            QByteArray expected = hex("03 02");
            expected.append(char(setpoints[i] >> 8)).append(char(setpoints[i] & 0xFF));
            QCOMPARE(pipelined.answer(quint16(100 * round + i), units[i]).toHex(), expected.toHex());
        }
    }
    for (QProcess *process : {&first, &second, &poller})
        QVERIFY(process->waitForFinished(60000));
    QCOMPARE(first.readAllStandardOutput().trimmed(), QByteArray("good ") + QByteArray::number(reads));
    QCOMPARE(second.readAllStandardOutput().trimmed(), QByteArray("good ") + QByteArray::number(reads));
    QVERIFY2(poller.readAllStandardOutput().contains("[4096]: \t1717"), qPrintable(poller.readAllStandardError()));
    QCOMPARE(poller.exitCode(), 0);
}

void TestServe::misbehavingClientCutOffOthersGoOn_data()
{
    QTest::addColumn<QByteArray>("bytes");   // what the client sends, at once
    QTest::addColumn<QByteArray>("rest");    // sent 300 ms later, or empty
    QTest::addColumn<int>("answers");        // answers it gets before serve closes it, or -1: never closed
    QTest::addColumn<QString>("why");        // the log's reason

    const QByteArray silentRead = MbapBytes(1, 200, readPdu(VoltageSetpoint, 1));
    QTest::newRow("junk") << QByteArray("GET / HTTP/1.1\r\n\r\n") << QByteArray() << 0 << "not Modbus TCP";
    QTest::newRow("length 255") << hex("00 01 00 00 00 FF 01 03") << QByteArray() << 0 << "not Modbus TCP";
    QTest::newRow("half a frame") << silentRead.left(9) << QByteArray() << 0 << "bytes of a request and no more";
    QTest::newRow("a frame in two pieces") << silentRead.left(9) << silentRead.mid(9) << -1 << QString();
    QTest::newRow("8 requests at once") << silentRead.repeated(8) << QByteArray() << -1 << QString();
    QTest::newRow("9 requests at once") << silentRead.repeated(9) << QByteArray() << 0
                                        << "more than 8 requests waiting";
}

void TestServe::misbehavingClientCutOffOthersGoOn()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, rest);
    QFETCH(int, answers);
    QFETCH(QString, why);

    startServe();
    Client bad(m_port); // first, so that turns by arrival would favour it
    Client good(m_port);
    QCOMPARE(good.ask(1, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    bad.send(bytes);
    if (!rest.isEmpty()) {
        QTest::qWait(300);
        bad.send(rest);
    }
    // The well-behaved client is served throughout, in turns with the other.
    for (int i = 0; i < 3; ++i)
        QCOMPARE(good.ask(5, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    if (answers >= 0) {
        QVERIFY(bad.closedByServer());
        QTRY_VERIFY2(log().contains(QStringLiteral("after %1 answers").arg(answers)), qPrintable(log()));
        QVERIFY2(log().contains(why), qPrintable(log()));
    } else {
        // In turns: by the good client's third answer the other has had at
        // most four requests on the line.
        int silentTries = 0;
        for (const SimFrameRecord &request : onLine(SimFrameRecord::Received))
            silentTries += request.address == 200;
        QVERIFY2(silentTries <= 4 * LineTries, qPrintable(QString::number(silentTries)));
        // Its requests are carried out in turn (the first is enough to see).
        QCOMPARE(bad.answer(1, 200, 10000), hex("83 0B"));
    }
    QCOMPARE(log().count(QStringLiteral("cut off")), answers >= 0 ? 1 : 0);
}

// A client that goes while its request is on the line: its answer is dropped,
// the next client's comes, and serve goes on.
void TestServe::vanishedClientCostsNothing()
{
    startServe();
    auto gone = std::make_unique<Client>(m_port);
    Client other(m_port);
    gone->request(1, 1, readPdu(VoltageSetpoint, 5));
    QTRY_COMPARE(onLine(SimFrameRecord::Received).size(), 1);
    gone.reset();
    QCOMPARE(other.ask(5, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    QTRY_VERIFY2(log().count(QStringLiteral(" left after ")) + log().count(QStringLiteral(" gone ")) == 1,
                 qPrintable(log()));
    QCOMPARE(other.ask(17, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    QVERIFY(!log().contains(QStringLiteral("cut off")));
}

void TestServe::allowList_data()
{
    QTest::addColumn<QString>("allow");
    QTest::addColumn<bool>("served");

    QTest::newRow("the host") << "127.0.0.1" << true;
    QTest::newRow("its /8") << "10.0.0.0/8,127.0.0.0/8" << true;
    QTest::newRow("/31 around it") << "127.0.0.0/31" << true;
    QTest::newRow("the next host") << "127.0.0.2/32" << false;
    QTest::newRow("another network") << "10.0.0.0/8" << false;
    QTest::newRow("IPv6 loopback only") << "::1" << false;
    QTest::newRow("IPv4-mapped /104") << "::ffff:127.0.0.0/104" << true;
}

void TestServe::allowList()
{
    QFETCH(QString, allow);
    QFETCH(bool, served);

    startServe({"--allow", allow});
    Client client(m_port);
    if (served) {
        QCOMPARE(client.ask(1, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    } else {
        QVERIFY(client.closedByServer());
        QTRY_VERIFY2(log().contains(QStringLiteral("refused: not in --allow")), qPrintable(log()));
        QVERIFY(onLine(SimFrameRecord::Received).isEmpty());
    }
}

void TestServe::maxClientsAtTheLimitAndOneBeyond()
{
    startServe({"--max-clients", "2"});
    auto first = std::make_unique<Client>(m_port);
    Client second(m_port);
    QCOMPARE(first->ask(1, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    QCOMPARE(second.ask(5, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    Client third(m_port);
    QVERIFY(third.closedByServer());
    QVERIFY2(log().contains(QStringLiteral("refused: 2 clients already (--max-clients)")), qPrintable(log()));
    first.reset();
    QTRY_VERIFY(log().contains(QStringLiteral(" left after 1 answers")));
    Client fourth(m_port);
    QCOMPARE(fourth.ask(17, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    QCOMPARE(log().count(QStringLiteral(" connected (")), 3);
}

// A client beyond --max-clients that asks is told the server is busy, in
// Modbus, before the close; psuctl says so.
void TestServe::refusedClientToldServerBusy()
{
    startServe({"--max-clients", "1"});
    Client first(m_port);
    QCOMPARE(first.ask(1, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    Client second(m_port);
    QCOMPARE(second.ask(5, readPdu(VoltageSetpoint, 2)), hex("83 06"));
    QVERIFY(second.closedByServer());
    const PsuctlRun run = RunPsuctlHere({"-p", QStringLiteral("tcp://127.0.0.1:%1").arg(m_port), "status", "-a", "1",
                                         "-m", "1"});
    QVERIFY2(run.err.contains(QStringLiteral("serve refused: its clients already fill every place")), qPrintable(run.err));
    QVERIFY2(run.err.contains(QStringLiteral("exception 06")), qPrintable(run.err));
    QCOMPARE(log().count(QStringLiteral("refused: 1 clients already (--max-clients)")), 2);
    // Neither went on the line; the first client is served on.
    QCOMPARE(onLine(SimFrameRecord::Received).size(), 1);
    QCOMPARE(first.ask(1, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
}

// 20 sockets that connect and say nothing: 16 take every place, 4 are
// refused; once --idle has passed the 16 are cut and a client is served.
void TestServe::idleClientsCutGoodClientServed()
{
    startServe({"--idle", "2"});
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 20; ++i)
        idle.push_back(std::make_unique<Client>(m_port));
    QTRY_COMPARE(log().count(QStringLiteral(" connected (")), 16);
    QTRY_COMPARE(log().count(QStringLiteral("refused: 16 clients already")), 4);
    QTRY_COMPARE_WITH_TIMEOUT(log().count(QStringLiteral("cut off: idle for 2 s (--idle) after 0 answers")), 16, 20000);
    for (const auto &client : idle)
        QVERIFY(client->closedByServer());
    Client good(m_port);
    for (quint8 unit : {1, 5, 17})
        QCOMPARE(good.ask(unit, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    QCOMPARE(log().count(QStringLiteral("cut off")), 16);
}

// A client that sends requests and never reads their answers (a small
// receive buffer of its own, so that it is full soon) is cut off; another is
// served throughout.
void TestServe::clientThatNeverReadsIsCut()
{
    startServe();
    Client deaf(m_port, 2048);
    Client good(m_port);
    // All 27 registers: 63-byte answers.
    const QByteArray request = MbapBytes(7, 1, readPdu(VoltageSetpoint, 27));
    int sent = 0;
    // Each request once the one before is off the line: never more than one
    // waiting, so only its not reading can end it.
    while (sent < 600 && !log().contains(QStringLiteral("does not read its answers"))) {
        if (!deaf.trySend(request))
            break;
        ++sent;
        QTRY_VERIFY2(answersTo(1) >= sent || log().contains(QStringLiteral("does not read")), qPrintable(log()));
        if (sent % 20 == 0)
            QCOMPARE(good.ask(17, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    }
    QTRY_VERIFY2(log().contains(QStringLiteral("cut off: does not read its answers")), qPrintable(log()));
    QVERIFY(deaf.closedByServer());
    // 16 KiB are 260 answers of 63 bytes, beyond the few the client's own
    // buffer took.
    QVERIFY2(sent > 260 && sent < 400, qPrintable(QString::number(sent) + log()));
    QCOMPARE(good.ask(5, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
}

void TestServe::writesRefusedUnlessAllowed_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("unit");
    QTest::addColumn<QByteArray>("pdu");
    QTest::addColumn<QByteArray>("answer");  // serve's exception, or empty: the acknowledgement, and on the line
    QTest::addColumn<QString>("why");        // the log's reason

    const QByteArray readdress = hex("06 10 05 00 07"); // BusAddress = 7
    const QByteArray voltage = writePdu(VoltageSetpoint, {1200});
    const QByteArray ok;
    const QStringList none;
    QTest::newRow("broadcast of an address") << none << 0 << readdress << hex("86 01") << "a broadcast";
    QTest::newRow("broadcast of a voltage") << none << 0 << voltage << hex("90 01") << "a broadcast";
    QTest::newRow("broadcast allowed, of a voltage") << QStringList{"--allow-broadcast"} << 0 << voltage << ok << "";
    QTest::newRow("broadcast allowed, of an address") << QStringList{"--allow-broadcast"} << 0 << readdress
                                                      << hex("86 02") << "an address change";
    QTest::newRow("address of one supply") << none << 5 << readdress << hex("86 02") << "an address change";
    QTest::newRow("0x10 from OutputSwitch over BusAddress") << none << 1 << writePdu(OutputSwitch, {0, 7})
                                                            << hex("90 02") << "an address change";
    QTest::newRow("0x10 of OutputSwitch, below BusAddress") << none << 1 << writePdu(OutputSwitch, {0}) << ok << "";
    QTest::newRow("0x10 of KeyLock, above BusAddress") << none << 1 << writePdu(KeyLock, {0}) << ok << "";
    QTest::newRow("address change allowed") << QStringList{"--allow-address-change"} << 17
                                            << hex("06 10 05 00 11") << ok << "";
    QTest::newRow("read-only: a write") << QStringList{"--read-only"} << 1 << voltage << hex("90 01")
                                        << "serve is read-only (--read-only)";
    QTest::newRow("read-only: a read") << QStringList{"--read-only"} << 1 << readPdu(VoltageSetpoint, 2) << ok << "";
    QTest::newRow("writer: this host") << QStringList{"--allow-write", "127.0.0.1/32"} << 1 << voltage << ok << "";
    QTest::newRow("writer: another network") << QStringList{"--allow-write", "10.0.0.0/8"} << 1 << voltage
                                             << hex("90 01") << "not in --allow-write";
    QTest::newRow("writer: the second of two") << QStringList{"--allow-write", "10.0.0.0/8", "--allow-write",
                                                              "127.0.0.0/8"}
                                               << 5 << hex("06 10 00 04 B0") << ok << "";
    QTest::newRow("writer elsewhere, a read") << QStringList{"--allow-write", "10.0.0.0/8"} << 5
                                              << readPdu(VoltageSetpoint, 2) << ok << "";
}

void TestServe::writesRefusedUnlessAllowed()
{
    QFETCH(QStringList, options);
    QFETCH(int, unit);
    QFETCH(QByteArray, pdu);
    QFETCH(QByteArray, answer);
    QFETCH(QString, why);

    startServe(options);
    Client client(m_port);
    const QByteArray got = client.ask(quint8(unit), pdu);
    // A read after it: the line shows what went there before.
    QCOMPARE(client.ask(5, readPdu(VoltageSetpoint, 1)).left(2), hex("03 02"));
    const QVector<SimFrameRecord> requests = onLine(SimFrameRecord::Received);
    QVERIFY(!requests.isEmpty());
    QCOMPARE(requests.last().bytes, BuildReadRequest(5, VoltageSetpoint, 1));
    if (answer.isEmpty()) {
        QVERIFY(requests.size() >= 2);
        QCOMPARE(quint8(requests.first().bytes.at(0)), quint8(unit));
        if (quint8(pdu.at(0)) == FunctionReadHolding) {
            QCOMPARE(got.left(2), hex("03 04"));
        } else {
            QCOMPARE(got, pdu.left(5));
            QCOMPARE(quint8(requests.first().bytes.at(1)), FunctionWriteMultiple);
        }
        QVERIFY2(!log().contains(QStringLiteral(" refused")), qPrintable(log()));
    } else {
        QCOMPARE(got, answer);
        QCOMPARE(requests.size(), 1);
        QVERIFY2(log().contains(QStringLiteral("refused, %1").arg(why)), qPrintable(log()));
        QVERIFY2(log().contains(QStringLiteral("answered exception %1").arg(QString::fromLatin1(answer.mid(1).toHex()))),
                 qPrintable(log()));
        for (int index = 0; index < m_bus->supplyCount(); ++index) {
            QCOMPARE(m_bus->supply(index).voltageSetpoint(), quint16(0));
            QCOMPARE(m_bus->supply(index).address(), QVector<int>({1, 5, 17}).at(index));
        }
    }
}

// SIGUSR1 logs what each client and each unit id had so far, and serve goes on.
void TestServe::statisticsOnSigusr1()
{
    startServe({"--read-only"});
    Client reader(m_port);
    Client writer(m_port);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(reader.ask(1, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    QCOMPARE(writer.ask(5, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    QCOMPARE(writer.ask(5, writePdu(VoltageSetpoint, {1})), hex("90 01"));
    QCOMPARE(writer.ask(17, hex("01 00 00 00 08")), hex("81 01"));
    QVERIFY(!log().contains(QStringLiteral("statistics")));
    ::kill(::getpid(), SIGUSR1);
    QTRY_VERIFY2(log().contains(QStringLiteral("statistics: unit 17")), qPrintable(log()));
    const QString text = log();
    QVERIFY2(text.contains(QStringLiteral(": 4 transactions, the line busy ")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("statistics: client %1: 3 requests, 0 exceptions, the line busy for it ")
                               .arg(reader.name())),
             qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("statistics: client %1: 3 requests, 2 exceptions, the line busy for it ")
                               .arg(writer.name())),
             qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("statistics: unit 1: 3 requests, 0 exceptions")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("statistics: unit 5: 2 requests, 1 exceptions")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("statistics: unit 17: 1 requests, 1 exceptions, the line busy for it 0.0 %")),
             qPrintable(text));
    // A share of the line for the reader, none for a client that only had refusals.
    static const QRegularExpression share(QStringLiteral("client [^ ]+: 3 requests, 0 exceptions, the line busy for "
                                                         "it (\\d+\\.\\d) % of its"));
    QVERIFY(share.match(text).captured(1).toDouble() > 0);
    QCOMPARE(reader.ask(1, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    QCOMPARE(text.count(QStringLiteral("statistics after")), 1);
}

// serve's port is a link to the simulator's pseudo-terminal; the simulator
// goes, and a new one takes the link's place.
void TestServe::lostPortAnswered0x0BUntilBack()
{
    const QString link = m_dir.filePath(QStringLiteral("bench-line"));
    QFile::remove(link);
    QVERIFY(QFile::link(m_device, link));
    m_device = link;
    startServe();
    Client client(m_port);
    QCOMPARE(client.ask(1, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    m_bus->stop();
    delete m_bus;
    QCOMPARE(client.ask(1, readPdu(VoltageSetpoint, 1)), hex("83 0B"));
    QTRY_VERIFY2(log().contains(QStringLiteral("opening it again every second")), qPrintable(log()));
    QCOMPARE(client.ask(1, readPdu(VoltageSetpoint, 1)), hex("83 0B"));

    startBus();
    QFile::remove(link);
    QVERIFY(QFile::link(m_device, link));
    QTRY_VERIFY_WITH_TIMEOUT(log().contains(QStringLiteral(": port back")), 10000);
    QCOMPARE(client.ask(1, readPdu(VoltageSetpoint, 1)), hex("03 02 00 00"));
    // The loss and the return are one line each, however many tries lay between.
    QCOMPARE(log().count(QStringLiteral("opening it again every second, answering 0x0B meanwhile")), 1);
    QCOMPARE(log().count(QStringLiteral(": port back")), 1);
    QCOMPARE(log().count(QStringLiteral(" left after")), 0);
}

void TestServe::badOptionsRefused_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("error");

    QTest::newRow("max-clients 0") << QStringList{"--max-clients", "0"} << "--max-clients '0'";
    QTest::newRow("max-clients 1001") << QStringList{"--max-clients", "1001"} << "--max-clients '1001'";
    QTest::newRow("port 65536") << QStringList{"--listen", "127.0.0.1:65536"} << "--listen '127.0.0.1:65536'";
    QTest::newRow("IPv6 without brackets") << QStringList{"--listen", "::1:1502"} << "--listen '::1:1502'";
    QTest::newRow("IPv4 /33") << QStringList{"--allow", "10.0.0.0/33"}
                              << "--allow '10.0.0.0/33': the prefix length is 0 to 32";
    QTest::newRow("IPv6 /129") << QStringList{"--allow", "::1/129"}
                               << "--allow '::1/129': the prefix length is 0 to 128";
    QTest::newRow("a name") << QStringList{"--allow", "127.0.0.1,lab-pc"} << "--allow 'lab-pc': not an IPv4 or IPv6";
    QTest::newRow("an empty piece") << QStringList{"--allow", "127.0.0.1,"} << "--allow '': not an IPv4 or IPv6";
    QTest::newRow("a length alone") << QStringList{"--allow", "10.0.0.0/"} << "--allow '10.0.0.0/': the prefix";
    QTest::newRow("idle 86401") << QStringList{"--idle", "86401"} << "--idle '86401'";
    QTest::newRow("stats-every 1441") << QStringList{"--stats-every", "1441"} << "--stats-every '1441'";
    QTest::newRow("a writer's name") << QStringList{"--allow-write", "lab-pc"}
                                     << "--allow-write 'lab-pc': not an IPv4 or IPv6";
    QTest::newRow("read-only and writers") << QStringList{"--read-only", "--allow-write", "10.0.0.0/8"}
                                           << "--read-only and --allow-write: one or the other";
    QTest::newRow("a port taken") << QStringList{"--listen", "127.0.0.1:TAKEN"} << "cannot listen on 127.0.0.1:TAKEN";
}

void TestServe::badOptionsRefused()
{
    QFETCH(QStringList, options);
    QFETCH(QString, error);

    // A port another socket listens on.
    const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(taken, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::listen(taken, 1);
    ::getsockname(taken, reinterpret_cast<sockaddr *>(&address), &length);
    const QString port = QString::number(ntohs(address.sin_port));
    options.replaceInStrings(QStringLiteral("TAKEN"), port);
    error.replace(QStringLiteral("TAKEN"), port);

    const QString path = m_dir.filePath(QStringLiteral("errors.txt"));
    std::FILE *err = std::fopen(path.toLocal8Bit().constData(), "w");
    const int exit = RunPsuctl(QStringList{"-p", m_device, "serve"} + options, stdout, err);
    std::fclose(err);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    QVERIFY2(text.contains(error), qPrintable(text));
    ::close(taken);
    QCOMPARE(exit, error.startsWith(QLatin1String("cannot")) ? int(ExitPort) : int(ExitUsage));
    QVERIFY(onLine(SimFrameRecord::Received).isEmpty());
}

QTEST_GUILESS_MAIN(TestServe)
#include "tst_serve.moc"
