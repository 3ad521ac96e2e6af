// A port for one program at a time, and the line over the network: the lock
// file as psuctl, psusim and the tool's serial port see it; psuctl and the
// tool reaching simulated supplies through socat as a transparent serial
// server (rtu+tcp://) and through a small Modbus TCP server in this process
// (tcp://), whose faults must be retried; addresses that cannot be used.

#include "app/forms.h"
#include "app/mainwindow.h"
#include "app/portmaps.h"
#include "ctl/cli.h"
#include "ctl/commands.h"
#include "link/commports.h"
#include "link/frames.h"
#include "link/linkaddress.h"
#include "link/modbustcp.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "link/portlock.h"
#include "link/systemerror.h"
#include "link/buserror.h"
#include "link/tcplink.h"
#include "netlink/networktransport.h"
#include "panels/monitorpanel.h"
#include "panels/overview.h"
#include "sim/simbus.h"
#include "support_bytes.h"
#include "support_net.h"
#include "support_psuctl.h"
#include "support_pty.h"
#include "support_state.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QScopeGuard>
#include <QPushButton>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>

#include <atomic>
#include <memory>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// psuctl with a wait of a second for each reply, for runs that must read
// even when a loaded machine wakes the simulator late.
PsuctlRun patientPsuctl(const QStringList &arguments)
{
    return RunPsuctlHere(QStringList{QStringLiteral("-o"), QStringLiteral("1")} + arguments);
}

// A process that has ended: its id names no live process.
qint64 deadPid()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

// The read reply of the simulated QELT30-05 at address 1 after power-up.
const char *const kStatusReply = "01 03 0A 00 00 00 00 00 00 00 00 00 00";

// A socket listening on a free loopback port, which goes to *port.
int listenOnLoopback(quint16 *port)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::listen(listener, 4);
    socklen_t size = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size);
    *port = ntohs(address.sin_port);
    return listener;
}

// A Modbus TCP server on the loopback, in a thread of its own (psuctl in this
// process blocks while it waits for a reply). It answers every read of N
// registers at unit 1 with zeros, as kStatusReply; unit 3 with the exception of
// a gateway that has no path to it (0x0A), unit 4 with no answer at all, and
// every other unit with the exception of a gateway whose device is silent
// (0x0B); the first `faulty` replies carry the fault asked for instead.
class MbapServer
{
public:
    // Close: the first `faulty` connections are closed at once; Drop: the
    // first connection is closed after `faulty` requests.
    enum Fault { None, Transaction, Length, Unit, Protocol, Close, Drop };

    MbapServer(Fault fault, int faulty) : m_fault(fault), m_faulty(faulty)
    {
        m_listener = listenOnLoopback(&m_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~MbapServer()
    {
        m_stop = true;
        ::shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
    }
    quint16 port() const { return m_port; }
    int requests() const { return m_requests; }

private:
    void serve()
    {
        while (!m_stop) {
            const int client = ::accept(m_listener, nullptr, nullptr);
            if (client < 0)
                return;
            if (m_fault == Close && m_faulty-- > 0) {
                ::close(client);
                continue;
            }
            QByteArray buffer;
            char chunk[256];
            for (;;) {
                const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
                if (n <= 0)
                    break;
                buffer.append(chunk, n);
                if (m_fault == Drop && m_requests >= m_faulty && m_faulty > 0) {
                    m_faulty = 0;
                    break;
                }
                while (MbapFrameLength(buffer) > 0 && buffer.size() >= MbapFrameLength(buffer)) {
                    const QByteArray request = buffer.left(MbapFrameLength(buffer));
                    buffer.remove(0, request.size());
                    const QByteArray reply = answer(request);
                    if (!reply.isEmpty())
                            ::send(client, reply.constData(), size_t(reply.size()), MSG_NOSIGNAL);
                }
            }
            ::close(client);
        }
    }

    QByteArray answer(const QByteArray &request)
    {
        ++m_requests;
        // As a gateway answers for a device it cannot reach, or that is silent.
        if (quint8(request.at(6)) == 4)
            return QByteArray();
        if (quint8(request.at(6)) != 1)
            return request.left(4) + hex("00 03") + request.at(6) + char(request.at(7) | 0x80)
                   + hex(quint8(request.at(6)) == 3 ? "0A" : "0B");
        // A read of count registers, all 0 as a supply holds them after power-up.
        const int count = RegisterAt(request, 10);
        QByteArray pdu = hex("03") + char(2 * count) + QByteArray(2 * count, '\0');
        quint16 transaction = MbapTransaction(request);
        quint8 unit = quint8(request.at(6));
        quint16 protocol = 0;
        const bool spoil = m_fault != Drop && m_faulty > 0 ? (--m_faulty, true) : false;
        if (spoil && m_fault == Transaction)
            transaction = quint16(transaction + 1000);
        if (spoil && m_fault == Unit)
            unit = quint8(unit + 1);
        if (spoil && m_fault == Protocol)
            protocol = 1;
        if (spoil && m_fault == Length) {
            // A register short, the byte count telling the same.
            pdu.chop(2);
            pdu[1] = char(pdu.at(1) - 2);
        }
        QByteArray reply;
        reply.append(char(transaction >> 8)).append(char(transaction));
        reply.append(char(protocol >> 8)).append(char(protocol));
        const int following = int(pdu.size()) + 1;
        reply.append(char(following >> 8)).append(char(following));
        reply.append(char(unit)).append(pdu);
        return reply;
    }

    Fault m_fault;
    std::atomic<int> m_faulty;
    std::atomic<int> m_requests{0};
    std::atomic<bool> m_stop{false};
    int m_listener = -1;
    quint16 m_port = 0;
    std::thread m_thread;
};

// A peer on the loopback that takes one connection and plays a script to it:
// "ab|300|c|." sends "ab", pauses 300 ms, sends "c" and closes; without the
// final "." it holds the connection until the other end closes it.
class ScriptedPeer
{
public:
    explicit ScriptedPeer(const QString &script) : m_steps(script.split(QLatin1Char('|')))
    {
        m_listener = listenOnLoopback(&m_port);
        m_thread = std::thread([this] { play(); });
    }
    ~ScriptedPeer()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
    }
    QString address() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(m_port); }

private:
    void play()
    {
        const int client = ::accept(m_listener, nullptr, nullptr);
        if (client < 0)
            return;
        for (const QString &step : m_steps) {
            bool pause = false;
            const int ms = step.toInt(&pause);
            if (step == QLatin1String(".")) {
                ::close(client);
                return;
            }
            if (pause)
                std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            else
                ::send(client, step.toLatin1().constData(), size_t(step.size()), MSG_NOSIGNAL);
        }
        char byte;
        while (::recv(client, &byte, 1, 0) > 0) {
        }
        ::close(client);
    }

    QStringList m_steps;
    int m_listener = -1;
    quint16 m_port = 0;
    std::thread m_thread;
};

} // namespace

class TestNetLinks : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void secondLockRefusedNamingHolder();
    void staleLockTakenOver_data();
    void staleLockTakenOver();
    void toolAndLockSeeEachOther();
    void psuctlAndPsusimRefusedWhileHeld();

    void addressesParsed_data();
    void addressesParsed();
    void badNetworkAddressExits2_data();
    void badNetworkAddressExits2();
    void portMapsRead_data();
    void portMapsRead();

    void psuctlThroughSerialServer();
    void toolThroughSerialServer();
    void documentedSerialServerKeepsEveryReply();
    void monitorReadsThroughSerialServer();
    void modbusTcpFaultRetried_data();
    void modbusTcpFaultRetried();
    void gatewaySilenceIsNoReply_data();
    void gatewaySilenceIsNoReply();
    void waitForEachLink_data();
    void waitForEachLink();
    void droppedConnectionExits2();
    void watchConnectsAgain();
    void toolThroughModbusTcp();
    void monitorRidesOutLinkDrop_data();
    void monitorRidesOutLinkDrop();
    void idleLinkEndedByServerIsMadeAgain();
    void tcpLinkReadDeadlines_data();
    void tcpLinkReadDeadlines();

private:
    void startSerialServer();

    SimBus *m_bus = nullptr;
    QString m_device;
    std::unique_ptr<SerialServer> m_socat;
};

void TestNetLinks::initTestCase()
{
    InstallNetworkTransports();
}

void TestNetLinks::init()
{
    m_bus = new SimBus(this);
    m_bus->addSupply(1, 1);
    m_device = m_bus->openPty();
    m_bus->start(SimBus::Threading::OwnThread);
}

void TestNetLinks::cleanup()
{
    m_socat.reset();
    ClearCommPortMappings();
    m_bus->stop();
    delete m_bus;
    m_bus = nullptr;
}

// socat between a TCP port and the simulator's pseudo-terminal.
void TestNetLinks::startSerialServer()
{
    m_socat = std::make_unique<SerialServer>(m_device);
    QVERIFY2(m_socat->start(), "socat (Debian's socat package) must be installed");
}

void TestNetLinks::secondLockRefusedNamingHolder()
{
    PortLock first;
    QString error;
    QVERIFY2(first.acquire(m_device, nullptr, &error), qPrintable(error));
    QFile file(first.path());
    QVERIFY(file.open(QIODevice::ReadOnly));
    // The shared convention: ten ASCII digits and a newline.
    QCOMPARE(file.readAll(), QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + '\n');

    PortLock second;
    PortHolder holder;
    QVERIFY(!second.acquire(m_device, &holder, &error));
    QCOMPARE(holder.pid, qint64(::getpid()));
    QCOMPARE(holder.program, QStringLiteral("tst_netlinks"));
    QCOMPARE(error, QStringLiteral("%1 is in use by tst_netlinks (pid %2)").arg(m_device).arg(::getpid()));
    QVERIFY(!second.isHeld());

    first.release();
    QVERIFY(!QFile::exists(file.fileName()));
    QVERIFY(second.acquire(m_device, &holder, &error));
}

void TestNetLinks::staleLockTakenOver_data()
{
    QTest::addColumn<QByteArray>("content");
    const QByteArray pid = QByteArray::number(deadPid());
    QTest::newRow("ten digits") << pid.rightJustified(10, ' ') + '\n';
    QTest::newRow("serial port layer's lines") << pid + "\nsomeprogram\nsomehost\n";
    QTest::newRow("no process id") << QByteArray("\n");
}

void TestNetLinks::staleLockTakenOver()
{
    QFETCH(QByteArray, content);
    const QString path = QStringLiteral("/var/lock/") + PortLockName(m_device);
    {
        QFile stale(path);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write(content);
    }
    QVERIFY(!FindPortHolder(m_device).isSet());
    PortLock lock;
    QString error;
    QVERIFY2(lock.acquire(m_device, nullptr, &error), qPrintable(error));
    QCOMPARE(lock.path(), path);
    QFile taken(path);
    QVERIFY(taken.open(QIODevice::ReadOnly));
    QCOMPARE(taken.readAll().trimmed(), QByteArray::number(qint64(::getpid())));
}

// The tool's serial port layer keeps a lock file of its own making: each side
// must see the other's, whichever came first.
void TestNetLinks::toolAndLockSeeEachOther()
{
    // Ours first: the tool's open fails, naming the holder. The tool opens
    // the device through a link to it, as psusim --link makes one: the lock
    // goes by the device's own name all the same.
    PortLock lock;
    QVERIFY(lock.acquire(m_device, nullptr, nullptr));
    QTemporaryDir folder;
    const QString link = folder.filePath(QStringLiteral("psubus"));
    QVERIFY(QFile::link(m_device, link));
    MapCommPort(3, link);
    TMSComm comm;
    comm.SetCommPort(3);
    try {
        comm.SetPortOpen(true);
        QFAIL("the port opened while another program held it");
    } catch (const SystemError &error) {
        QVERIFY2(error.text().contains(QStringLiteral("tst_netlinks（进程 %1）").arg(::getpid())), qPrintable(error.text()));
    }
    QVERIFY(!comm.PortOpen());
    lock.release();

    // The tool first: our lock is refused, naming it.
    comm.SetPortOpen(true);
    QVERIFY(comm.PortOpen());
    PortHolder holder;
    QString error;
    QVERIFY(!lock.acquire(m_device, &holder, &error));
    QCOMPARE(holder.pid, qint64(::getpid()));
    comm.SetPortOpen(false);
    QVERIFY(lock.acquire(m_device, &holder, &error));
}

void TestNetLinks::psuctlAndPsusimRefusedWhileHeld()
{
    PortLock lock;
    QVERIFY(lock.acquire(m_device, nullptr, nullptr));
    const QString holder = QStringLiteral("is in use by tst_netlinks (pid %1)").arg(::getpid());

    const PsuctlRun run = RunPsuctlHere({QStringLiteral("-p"), m_device, QStringLiteral("status"), QStringLiteral("-a"),
                            QStringLiteral("1"), QStringLiteral("-m"), QStringLiteral("1")});
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.err, QStringLiteral("psuctl: %1 %2\n").arg(m_device, holder));
    QVERIFY(run.out.isEmpty());
    QVERIFY(m_bus->record().isEmpty());

    QProcess psusim;
    psusim.start(QStringLiteral(PSUSIM_PROGRAM), {QStringLiteral("-d"), m_device});
    QVERIFY(psusim.waitForFinished(20000));
    QCOMPARE(psusim.exitCode(), 2);
    QCOMPARE(QString::fromUtf8(psusim.readAllStandardError()), QStringLiteral("psusim: %1 %2\n").arg(m_device, holder));

    // Released, psuctl takes the port, and gives it back when done.
    lock.release();
    QCOMPARE(patientPsuctl({QStringLiteral("-p"), m_device, QStringLiteral("status"), QStringLiteral("-a"),
                     QStringLiteral("1"), QStringLiteral("-m"), QStringLiteral("1")})
                 .exitCode,
             0);
    QVERIFY(!FindPortHolder(m_device).isSet());
}

void TestNetLinks::addressesParsed_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("why");
    QTest::newRow("modbus tcp") << "tcp://bench-7.lab:502" << int(LinkAddress::ModbusTcp) << "bench-7.lab" << 502 << "";
    QTest::newRow("rtu over tcp, upper case") << "RTU+TCP://10.0.0.5:4001" << int(LinkAddress::RtuOverTcp) << "10.0.0.5"
                                              << 4001 << "";
    QTest::newRow("ipv6") << "tcp://[::1]:1502" << int(LinkAddress::ModbusTcp) << "::1" << 1502 << "";
    QTest::newRow("port 1") << "tcp://h:1" << int(LinkAddress::ModbusTcp) << "h" << 1 << "";
    QTest::newRow("port 65535") << "tcp://h:65535" << int(LinkAddress::ModbusTcp) << "h" << 65535 << "";
    QTest::newRow("port 0") << "tcp://h:0" << -1 << "" << 0 << "port 0 is not from 1 to 65535";
    QTest::newRow("port 65536") << "tcp://h:65536" << -1 << "" << 0 << "port 65536 is not from 1 to 65535";
    QTest::newRow("no port") << "rtu+tcp://h" << -1 << "" << 0 << "the port is missing (HOST:PORT)";
    QTest::newRow("empty port") << "rtu+tcp://h:" << -1 << "" << 0 << "the port is missing (HOST:PORT)";
    QTest::newRow("no host") << "tcp://" << -1 << "" << 0 << "the host is missing";
    QTest::newRow("a path") << "tcp://h:502/x" << -1 << "" << 0 << "'h:502/x' is not HOST:PORT";
    QTest::newRow("open bracket") << "tcp://[::1:502" << -1 << "" << 0 << "'[::1:502' is not HOST:PORT";
    QTest::newRow("other scheme") << "udp://h:502" << -1 << "" << 0 << "not tcp://HOST:PORT or rtu+tcp://HOST:PORT";
}

void TestNetLinks::addressesParsed()
{
    QFETCH(QString, text);
    QFETCH(int, kind);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, why);
    LinkAddress address;
    QString reason;
    QCOMPARE(ParseLinkAddress(text, &address, &reason), kind >= 0);
    QCOMPARE(reason, why);
    if (kind < 0)
        return;
    QCOMPARE(int(address.kind), kind);
    QCOMPARE(address.host, host);
    QCOMPARE(int(address.port), port);
    QCOMPARE(address.text(), text.startsWith(QLatin1String("RTU")) ? text.toLower() : text);
}

void TestNetLinks::badNetworkAddressExits2_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("error");
    QTest::newRow("no port") << "tcp://localhost" << "tcp://localhost: the port is missing (HOST:PORT)";
    QTest::newRow("port 0") << "rtu+tcp://localhost:0" << "rtu+tcp://localhost:0: port 0 is not from 1 to 65535";
    QTest::newRow("no such host") << "tcp://no-such-host.invalid:502"
                                  << "tcp://no-such-host.invalid:502: cannot find the host no-such-host.invalid (";
    const QString refused = QStringLiteral("rtu+tcp://127.0.0.1:%1").arg(FreeLoopbackPort());
    QTest::newRow("refused") << refused << QStringLiteral("cannot connect to %1: Connection refused").arg(refused);
}

void TestNetLinks::badNetworkAddressExits2()
{
    QFETCH(QString, port);
    QFETCH(QString, error);
    const PsuctlRun run = RunPsuctlHere({QStringLiteral("-p"), port, QStringLiteral("status"), QStringLiteral("-a"),
                            QStringLiteral("1"), QStringLiteral("-m"), QStringLiteral("1")});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.startsWith(QStringLiteral("psuctl: ") + error), qPrintable(run.err));
    QCOMPARE(run.err.count(QLatin1Char('\n')), 1);
}

void TestNetLinks::portMapsRead_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("environment");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("com2");
    QTest::addColumn<QString>("com3");
    const QStringList none;
    QTest::newRow("option") << QStringList{"--map", "COM2=rtu+tcp://bench-7.lab:4001"} << "" << ""
                            << "rtu+tcp://bench-7.lab:4001" << "";
    QTest::newRow("option with =") << QStringList{"--map=com3=tcp://gw:502"} << "" << "" << "" << "tcp://gw:502";
    QTest::newRow("environment, two") << none << "COM2=tcp://gw:502; COM3=/dev/ttyUSB1" << "" << "tcp://gw:502"
                                      << "/dev/ttyUSB1";
    QTest::newRow("option over environment") << QStringList{"--map", "COM2=tcp://a:1"} << "COM2=tcp://b:2" << ""
                                             << "tcp://a:1" << "";
    QTest::newRow("COM255") << QStringList{"--map", "COM255=tcp://a:1"} << "" << "" << "" << "";
    QTest::newRow("COM256") << QStringList{"--map", "COM256=tcp://a:1"} << ""
                            << "--map 'COM256=tcp://a:1': COM256 is not COM1 to COM255" << "" << "";
    QTest::newRow("bad address") << QStringList{"--map", "COM2=tcp://a"} << ""
                                 << "--map 'COM2=tcp://a': the port is missing (HOST:PORT)" << "" << "";
    QTest::newRow("no target") << none << "COM2" << "PSUTOOL_MAP 'COM2': not COMn=ADDRESS" << "" << "";
    QTest::newRow("relative path") << QStringList{"--map", "COM2=ttyUSB0"} << ""
                                   << "--map 'COM2=ttyUSB0': the target is neither tcp://HOST:PORT, "
                                      "rtu+tcp://HOST:PORT nor a device path"
                                   << "" << "";
    QTest::newRow("missing value") << QStringList{"--map"} << "" << "--map needs COMn=ADDRESS" << "" << "";
}

void TestNetLinks::portMapsRead()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, environment);
    QFETCH(QString, error);
    QFETCH(QString, com2);
    QFETCH(QString, com3);
    ClearCommPortMappings();
    MapCommPort(2, QStringLiteral("/dev/before"));
    QCOMPARE(ApplyPortMaps(QStringList{QStringLiteral("psutool")} + arguments, environment), error);
    // A refused map changes nothing.
    QCOMPARE(CommPortDevice(2), com2.isEmpty() ? QStringLiteral("/dev/before") : com2);
    if (!com3.isEmpty())
        QCOMPARE(CommPortDevice(3), com3);
}

void TestNetLinks::psuctlThroughSerialServer()
{
    startSerialServer();
    const PsuctlRun set = patientPsuctl({QStringLiteral("-p"), m_socat->address(), QStringLiteral("set"), QStringLiteral("-a"), QStringLiteral("1"),
                            QStringLiteral("-m"), QStringLiteral("1"), QStringLiteral("--voltage"),
                            QStringLiteral("12.34")});
    QCOMPARE(set.exitCode, 0);
    // It served its one connection; another takes its place.
    startSerialServer();
    const PsuctlRun status = patientPsuctl({QStringLiteral("-p"), m_socat->address(), QStringLiteral("status"), QStringLiteral("-a"),
                               QStringLiteral("1"), QStringLiteral("-m"), QStringLiteral("1"),
                               QStringLiteral("--format"), QStringLiteral("csv")});
    QCOMPARE(status.exitCode, 0);
    QVERIFY2(status.out.section(QLatin1Char('\n'), 1, 1).contains(QStringLiteral(",1,QELT30-05,12.34,")),
             qPrintable(status.out));
    QCOMPARE(m_bus->supply(0).voltageSetpoint(), quint16(1234));
}

// The windows over the network: the monitor panel's poll, as its timer sends
// it, reaches the supply through the serial server and fills the readouts.
void TestNetLinks::monitorReadsThroughSerialServer()
{
    startSerialServer();
    const PsuctlRun set = patientPsuctl({QStringLiteral("-p"), m_device, QStringLiteral("set"), QStringLiteral("-a"),
                                   QStringLiteral("1"), QStringLiteral("-m"), QStringLiteral("1"),
                                   QStringLiteral("--voltage"), QStringLiteral("12.34"), QStringLiteral("--current"),
                                   QStringLiteral("2.5")});
    QVERIFY2(set.exitCode == 0, qPrintable(set.err));
    ToolFixture fixture;
    CreateForms();
    fixture.reset();
    MAIN->show();
    SelectModel(1);
    OpenToolPort(m_socat->address(), 2);
    QVERIFY(MAIN->MSComm1->PortOpen());
    MonitorRunning = true;
    POWER_TEST->Timer1Timer();
    auto *voltage = POWER_TEST->findChild<QLabel *>(QStringLiteral("StaticText7"));
    auto *current = POWER_TEST->findChild<QLabel *>(QStringLiteral("StaticText8"));
    QVERIFY(voltage && current);
    QTRY_COMPARE(voltage->text(), QStringLiteral("12.34"));
    QCOMPARE(current->text(), QStringLiteral("2.500"));
    MonitorRunning = false;
    MAIN->MSComm1->SetPortOpen(false);
    DestroyForms();
}

// socat as the lab notes start it for a serial server, taken as it is (on the
// loopback, with the simulator's line for the adapter): connection after
// connection, each at once after the one before, gets every reply whole at the
// first try.
void TestNetLinks::documentedSerialServerKeepsEveryReply()
{
    QFile notes(QFileInfo(QStringLiteral(PSUCTL_MANUAL)).absolutePath() + QStringLiteral("/../../docs/lab.md"));
    QVERIFY(notes.open(QIODevice::ReadOnly | QIODevice::Text));
    QString command;
    for (const QString &line : QString::fromUtf8(notes.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QStringLiteral("socat ")) && line.contains(QStringLiteral("TCP-LISTEN:")))
            command = line;
    }
    QVERIFY2(!command.isEmpty(), "docs/lab.md shows no serial server");
    const quint16 port = FreeLoopbackPort();
    command.replace(QRegularExpression(QStringLiteral("TCP-LISTEN:\\d+")),
                    QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1").arg(port));
    command.replace(QStringLiteral("/dev/ttyUSB0"), m_device);
    QStringList arguments = command.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QProcess socat;
    socat.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    socat.start(arguments.takeFirst(), arguments);
    QVERIFY(socat.waitForStarted());
    QVERIFY(QTest::qWaitFor([port] { return LoopbackListening(port); }, 10000));
    const QString link = QStringLiteral("rtu+tcp://127.0.0.1:%1").arg(port);
    for (int connection = 1; connection <= 10; ++connection) {
        const PsuctlRun run = RunPsuctlHere({QStringLiteral("-p"), link, QStringLiteral("--retries"), QStringLiteral("0"),
                                             QStringLiteral("-v"), QStringLiteral("status"), QStringLiteral("-a"),
                                             QStringLiteral("1"), QStringLiteral("-m"), QStringLiteral("1")});
        const QString what = QStringLiteral("connection %1 through %2\n%3").arg(connection).arg(command, run.err);
        QVERIFY2(run.exitCode == 0, qPrintable(what));
        // The status and the power reading, each asked once.
        QVERIFY2(run.err.count(QStringLiteral(" -> ")) == 2, qPrintable(what));
    }
    socat.terminate();
    QVERIFY(socat.waitForFinished(5000));
}

// The tool's serial control on a port number mapped to the serial server: the
// same frame goes out, the same reply comes back as on the pseudo-terminal.
void TestNetLinks::toolThroughSerialServer()
{
    startSerialServer();
    MapCommPort(2, m_socat->address());
    TMSComm comm;
    comm.SetCommPort(2);
    comm.SetPortOpen(true);
    QVERIFY(comm.PortOpen());
    QCOMPARE(comm.OpenDevice(), m_socat->address());
    int events = 0;
    comm.SetRThreshold(1);
    connect(&comm, &TMSComm::OnComm, this, [&events] { ++events; });
    const QByteArray request = BuildReadRequest(1, VoltageSetpoint, 5);
    comm.Output(request);
    const QByteArray reply = withCrc(hex(kStatusReply));
    // The event first: a count taken meanwhile takes the bytes in silently,
    // as a reception does that is already collecting them.
    QTRY_VERIFY(events > 0);
    QTRY_COMPARE(int(comm.InBufferCount()), int(reply.size()));
    QCOMPARE(comm.Input(), reply);
    QCOMPARE(m_bus->record().first().bytes, request);

    // The server gone: the port stays open, sends are refused naming why, and
    // the link is back by itself once the server is.
    QString lost;
    int restored = 0;
    connect(&comm, &TMSComm::LinkInterrupted, this, [&lost](const QString &reason) { lost = reason; });
    connect(&comm, &TMSComm::LinkRestored, this, [&restored] { ++restored; });
    const quint16 port = m_socat->port();
    m_socat->kill();
    QTRY_VERIFY(!lost.isEmpty());
    QVERIFY(comm.PortOpen());
    QVERIFY2(lost.contains(QStringLiteral("COM2")), qPrintable(lost));
    QVERIFY2(comm.LinkInterruption().contains(m_socat->address().mid(9)), qPrintable(comm.LinkInterruption()));
    QVERIFY_THROWS_EXCEPTION(SystemError, comm.Output(request));
    // (It may be taken by the link's next attempt before it is seen listening.)
    m_socat->start(port);
    QTRY_COMPARE_WITH_TIMEOUT(restored, 1, 20000);
    QVERIFY(comm.LinkInterruption().isEmpty());
    comm.Output(request);
    QTRY_COMPARE(int(comm.InBufferCount()), int(reply.size()));
    QCOMPARE(comm.Input(), reply);
    comm.SetPortOpen(false);
}

void TestNetLinks::modbusTcpFaultRetried_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("why");
    QTest::newRow("transaction id") << int(MbapServer::Transaction) << "carried transaction id";
    QTest::newRow("length") << int(MbapServer::Length) << "carried 8 bytes of data, not 10";
    QTest::newRow("unit") << int(MbapServer::Unit) << "came from unit 2, not 1";
    QTest::newRow("protocol") << int(MbapServer::Protocol) << "had a header that is not Modbus TCP (protocol 1";
}

// One spoilt reply is asked again and the reading comes; with no retry the
// command fails naming what was wrong.
void TestNetLinks::modbusTcpFaultRetried()
{
    QFETCH(int, fault);
    QFETCH(QString, why);
    const QStringList status = {QStringLiteral("status"), QStringLiteral("-a"), QStringLiteral("1"),
                                QStringLiteral("-m"), QStringLiteral("1"), QStringLiteral("--format"),
                                QStringLiteral("csv")};
    {
        MbapServer server(MbapServer::Fault(fault), 1);
        const PsuctlRun run = patientPsuctl(QStringList{QStringLiteral("-p"), QStringLiteral("tcp://127.0.0.1:%1").arg(server.port())}
                               + status);
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        // The status and the power reading, and the one asked again.
        QCOMPARE(server.requests(), 3);
        QVERIFY2(run.out.section(QLatin1Char('\n'), 1, 1).contains(QStringLiteral(",1,QELT30-05,0.00,0.000,")),
                 qPrintable(run.out));
    }
    {
        MbapServer server(MbapServer::Fault(fault), 1);
        const PsuctlRun run = patientPsuctl(QStringList{QStringLiteral("--retries"), QStringLiteral("0"), QStringLiteral("-p"),
                                           QStringLiteral("tcp://127.0.0.1:%1").arg(server.port())}
                               + status);
        QCOMPARE(run.exitCode, 3);
        QVERIFY2(run.err.contains(QStringLiteral("in 1 try (the last reply ") + why), qPrintable(run.err));
    }
}

void TestNetLinks::gatewaySilenceIsNoReply_data()
{
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("cause");
    QTest::newRow("target failed to respond")
        << "2" << "in 2 tries (the gateway answered exception 11, target device failed to respond)";
    QTest::newRow("path unavailable") << "3" << "in 2 tries (the gateway answered exception 10, gateway path unavailable)";
    // The line's wait alone: 8 bytes at 9600 baud and 30 ms.
    QTest::newRow("nothing at all") << "4" << "in 2 tries (no reply within 38.333 ms)";
}

// Behind a gateway, a silent address is an exception from the gateway: a scan
// finds only the supply that answers, and a read of a silent one is no reply,
// the gateway's exception named as it came; the wait only when nothing came.
void TestNetLinks::gatewaySilenceIsNoReply()
{
    QFETCH(QString, unit);
    QFETCH(QString, cause);
    MbapServer server(MbapServer::None, 0);
    const QString link = QStringLiteral("tcp://127.0.0.1:%1").arg(server.port());
    const PsuctlRun scan = patientPsuctl({QStringLiteral("-p"), link, QStringLiteral("scan"), QStringLiteral("--from"),
                             QStringLiteral("1"), QStringLiteral("--to"), unit});
    QCOMPARE(scan.exitCode, 0);
    QCOMPARE(scan.out, QStringLiteral("1\n"));
    const PsuctlRun status = RunPsuctlHere({QStringLiteral("-p"), link, QStringLiteral("--gateway-delay"), QStringLiteral("0"),
                               QStringLiteral("status"), QStringLiteral("-a"), unit, QStringLiteral("-m"), QStringLiteral("1")});
    QCOMPARE(status.exitCode, 3);
    QVERIFY2(status.err.contains(cause), qPrintable(status.err));
}

// The wait for a status read's reply on each kind of link, as psuctl's
// options give it: a Modbus TCP server may queue the request behind other
// clients' (1 s), a serial server adds only the network (100 ms), a serial
// port nothing; --gateway-delay, 0 included, replaces the link's default.
void TestNetLinks::waitForEachLink_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("waitUs");
    QTest::addColumn<int>("byteGapUs");
    // 8 bytes at 9600 baud (8333 us) and 30 ms; a gap of 20 ms and two characters.
    QTest::newRow("serial") << QStringList{"-p", "/dev/ttyS0"} << 38333 << 22083;
    QTest::newRow("tcp") << QStringList{"-p", "tcp://127.0.0.1:1502"} << 1038333 << 1022083;
    QTest::newRow("rtu+tcp") << QStringList{"-p", "rtu+tcp://127.0.0.1:4001"} << 138333 << 122083;
    QTest::newRow("tcp, delay 0") << QStringList{"-p", "tcp://127.0.0.1:1502", "--gateway-delay", "0"} << 38333
                                  << 22083;
    QTest::newRow("rtu+tcp, delay 250") << QStringList{"-p", "rtu+tcp://h:1", "--gateway-delay", "250"} << 288333
                                        << 272083;
    QTest::newRow("tcp, -o 0.2") << QStringList{"-p", "tcp://h:1", "-o", "0.2"} << 1200000 << 1022083;
    QTest::newRow("serial, delay 250") << QStringList{"-p", "COM1", "--gateway-delay", "250"} << 38333 << 22083;
}

void TestNetLinks::waitForEachLink()
{
    QFETCH(QStringList, options);
    QFETCH(int, waitUs);
    QFETCH(int, byteGapUs);
    LineOptions line;
    try {
        line = ParseArguments(options + QStringList{"status", "-a", "1", "-m", "1"}).line;
    } catch (const SystemError &error) {
        QFAIL(qPrintable(error.text()));
    }
    QCOMPARE(line.timeoutFor(8), waitUs);
    QCOMPARE(line.byteGapUs(), byteGapUs);
}

// A server that takes the connection and drops it at once.
void TestNetLinks::droppedConnectionExits2()
{
    MbapServer dropping(MbapServer::Close, 1);
    const PsuctlRun run = RunPsuctlHere({QStringLiteral("-p"), QStringLiteral("tcp://127.0.0.1:%1").arg(dropping.port()),
                            QStringLiteral("status"), QStringLiteral("-a"), QStringLiteral("1"), QStringLiteral("-m"),
                            QStringLiteral("1")});
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.err, QStringLiteral("psuctl: tcp://127.0.0.1:%1: the server closed the connection\n").arg(dropping.port()));
}

// A watch whose server drops the connection says so, connects again a second
// later and reads on; the exit status tells that readings were missed.
void TestNetLinks::watchConnectsAgain()
{
    MbapServer server(MbapServer::Drop, 4); // two rounds of status and power
    const PsuctlRun run = patientPsuctl({QStringLiteral("-p"), QStringLiteral("tcp://127.0.0.1:%1").arg(server.port()),
                            QStringLiteral("status"), QStringLiteral("-a"), QStringLiteral("1"), QStringLiteral("-m"),
                            QStringLiteral("1"), QStringLiteral("--format"), QStringLiteral("csv"),
                            QStringLiteral("--watch"), QStringLiteral("50"), QStringLiteral("--count"),
                            QStringLiteral("4")});
    QCOMPARE(run.exitCode, 3);
    // (A loaded machine may add a note that a round ran late.)
    QVERIFY2(run.err.contains(QStringLiteral(": tcp://127.0.0.1:%1: the server closed the connection; opening it again "
                                             "every second\n").arg(server.port())),
             qPrintable(run.err));
    QVERIFY2(run.err.contains(QStringLiteral(": tcp://127.0.0.1:%1: port back\n").arg(server.port())), qPrintable(run.err));
    // The header and a row for each round read: two before the drop, at least one after.
    QVERIFY2(run.out.count(QLatin1Char('\n')) >= 4, qPrintable(run.out));
}

// tcp:// in the tool: the frame goes out as Modbus TCP, the reply comes back
// as the RTU frame a supply sends, with its CRC.
void TestNetLinks::toolThroughModbusTcp()
{
    MbapServer server(MbapServer::None, 0);
    MapCommPort(4, QStringLiteral("tcp://127.0.0.1:%1").arg(server.port()));
    TMSComm comm;
    comm.SetCommPort(4);
    comm.SetPortOpen(true);
    comm.Output(BuildReadRequest(1, VoltageSetpoint, 5));
    const QByteArray reply = withCrc(hex(kStatusReply));
    QTRY_COMPARE(int(comm.InBufferCount()), int(reply.size()));
    comm.SetInputLen(4);
    QCOMPARE(comm.Input(), reply.left(4));
    comm.SetInputLen(0);
    QCOMPARE(comm.Input(), reply.mid(4));
    // A frame too short to be a request never reaches the wire.
    QVERIFY_THROWS_EXCEPTION(SystemError, comm.Output(hex("01 03")));
    QCOMPARE(server.requests(), 1);
    comm.SetPortOpen(false);
    QVERIFY(!comm.PortOpen());
}

void TestNetLinks::monitorRidesOutLinkDrop_data()
{
    QTest::addColumn<bool>("throughServe");
    QTest::addColumn<bool>("overview");
    QTest::newRow("tcp:// to psuctl serve") << true << false;
    QTest::newRow("rtu+tcp:// to a serial server") << false << false;
    // The overview has the polls: its status line says why they wait.
    QTest::newRow("tcp://, the overview polling") << true << true;
}

// The monitor on a network link whose server goes away and comes back: one
// message, the readouts grey with the cause at once, no poll and no error
// while it is down, and the readings back by themselves, the monitor on.
void TestNetLinks::monitorRidesOutLinkDrop()
{
    QFETCH(bool, throughServe);
    QFETCH(bool, overview);
    const auto set = [this](const QString &volts) {
        const PsuctlRun run = patientPsuctl({QStringLiteral("-p"), m_device, QStringLiteral("set"), QStringLiteral("-a"),
                                             QStringLiteral("1"), QStringLiteral("-m"), QStringLiteral("1"),
                                             QStringLiteral("--voltage"), volts, QStringLiteral("--current"),
                                             QStringLiteral("1.001"), QStringLiteral("--output"), QStringLiteral("on")});
        return run.exitCode == 0 ? QString() : run.err;
    };
    QString failure = set(QStringLiteral("10.00"));
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    // The server: psuctl serve on the simulator's line, or socat.
    QProcess serve;
    serve.setProcessChannelMode(QProcess::ForwardedChannels);
    const quint16 port = throughServe ? FreeLoopbackPort() : 0;
    const auto startServer = [&]() -> bool {
        if (!throughServe) {
            if (!m_socat)
                m_socat = std::make_unique<SerialServer>(m_device);
            return m_socat->start(m_socat->port());
        }
        serve.start(QStringLiteral(PSUCTL_PROGRAM), {QStringLiteral("-p"), m_device, QStringLiteral("serve"),
                                                     QStringLiteral("--listen"),
                                                     QStringLiteral("127.0.0.1:%1").arg(port)});
        return serve.waitForStarted() && QTest::qWaitFor([port] { return LoopbackListening(port); }, 10000);
    };
    const auto stopServer = [&] {
        if (!throughServe) {
            m_socat->stop();
            return;
        }
        serve.terminate();
        QVERIFY(serve.waitForFinished(10000));
    };
    QVERIFY(startServer());
    const QString link = throughServe ? QStringLiteral("tcp://127.0.0.1:%1").arg(port) : m_socat->address();

    ToolFixture fixture;
    CreateForms();
    // The windows go however the test ends, the line and the monitor first.
    const auto tidy = qScopeGuard([] {
        MonitorRunning = false;
        MAIN->MSComm1->SetPortOpen(false);
        DestroyForms();
    });
    fixture.reset();
    MAIN->show();
    SelectModel(1);
    OpenToolPort(link, 2);
    QVERIFY(MAIN->MSComm1->PortOpen());
    POWER_TEST->Button11->click();
    QVERIFY(MonitorRunning);
    if (overview) {
        MAIN->BitBtn9->click();
        QVERIFY(OVERVIEW && OVERVIEW->isVisible());
        OVERVIEW->Edit1->setText(QStringLiteral("1"));
        OVERVIEW->Button1->click();
        QVERIFY(POWER_TEST->PollsLent());
    }
    const QList<QLabel *> readouts{POWER_TEST->StaticText5, POWER_TEST->StaticText6, POWER_TEST->StaticText7,
                                   POWER_TEST->StaticText8, POWER_TEST->StaticText9};
    QTRY_COMPARE_WITH_TIMEOUT(POWER_TEST->StaticText7->text(), QStringLiteral("10.00"), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(POWER_TEST->StaticText9->text(), QStringLiteral("ON"), 20000);
    QCOMPARE(fixture.closer().texts(), QStringList());

    stopServer();
    QTRY_VERIFY_WITH_TIMEOUT(POWER_TEST->Image2->property("noReply").toBool(), 20000);
    const QString cause = MAIN->MSComm1->LinkInterruption();
    QVERIFY2(cause.contains(QStringLiteral("127.0.0.1:")), qPrintable(cause));
    for (QLabel *readout : readouts)
        QVERIFY2(readout->toolTip().contains(cause), qPrintable(readout->toolTip()));
    // Four polls' time down, and still the one message.
    int ticks = 0;
    connect(POWER_TEST->Timer1, &QTimer::timeout, this, [&ticks] { ++ticks; });
    QTRY_VERIFY_WITH_TIMEOUT(ticks >= 4, 20000);
    QTRY_COMPARE(fixture.closer().texts().size(), 1);
    const QString message = fixture.closer().texts().first();
    QVERIFY2(message.contains(QStringLiteral("COM2")) && message.contains(cause), qPrintable(message));
    QCOMPARE(POWER_TEST->Button11->text(), QStringLiteral("输出监测停止"));
    if (overview)
        QVERIFY2(OVERVIEW->StaticText2->text().contains(cause), qPrintable(OVERVIEW->StaticText2->text()));

    // Changed while the server is away: what shows afterwards is a new reading.
    failure = set(QStringLiteral("12.34"));
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    // socat takes one connection and stops listening: the tool's next attempt
    // may take it before it is seen listening. The readings tell.
    const bool listening = startServer();
    QVERIFY(listening || !throughServe);
    QTRY_COMPARE_WITH_TIMEOUT(POWER_TEST->StaticText7->text(), QStringLiteral("12.34"), 20000);
    QVERIFY(!POWER_TEST->Image2->property("noReply").toBool());
    for (QLabel *readout : readouts)
        QCOMPARE(readout->toolTip(), QString());
    QVERIFY(MAIN->MSComm1->LinkInterruption().isEmpty());
    QCOMPARE(fixture.closer().texts().size(), 1);
    if (overview) {
        QTRY_COMPARE_WITH_TIMEOUT(OVERVIEW->Tile(1)->LabelSet->text(), QStringLiteral("设定 12.34 V / 1.001 A"), 20000);
        QVERIFY2(!OVERVIEW->StaticText2->text().contains(cause), qPrintable(OVERVIEW->StaticText2->text()));
    }

    POWER_TEST->Button11->click();
    QVERIFY(!MonitorRunning);
    if (throughServe)
        stopServer();
}

// psuctl serve ends a connection that has been idle for --idle seconds. A
// window whose monitor is off owes nothing on it: the link is made again
// without a message, and the monitor, started later, reads at once.
void TestNetLinks::idleLinkEndedByServerIsMadeAgain()
{
    QProcess serve;
    serve.setProcessChannelMode(QProcess::MergedChannels);
    const quint16 port = FreeLoopbackPort();
    serve.start(QStringLiteral(PSUCTL_PROGRAM), {QStringLiteral("-p"), m_device, QStringLiteral("serve"),
                                                 QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port),
                                                 QStringLiteral("--idle"), QStringLiteral("1")});
    QVERIFY(serve.waitForStarted());
    QVERIFY(QTest::qWaitFor([port] { return LoopbackListening(port); }, 10000));
    QString log;
    const auto logged = [&](const QString &text) {
        log += QString::fromUtf8(serve.readAll());
        return log.count(text);
    };

    ToolFixture fixture;
    CreateForms();
    const auto tidy = qScopeGuard([&serve] {
        MonitorRunning = false;
        MAIN->MSComm1->SetPortOpen(false);
        DestroyForms();
        serve.terminate();
        serve.waitForFinished(10000);
    });
    fixture.reset();
    MAIN->show();
    SelectModel(1);
    OpenToolPort(QStringLiteral("tcp://127.0.0.1:%1").arg(port), 2);
    QVERIFY(MAIN->MSComm1->PortOpen());
    // Cut twice and connected again each time.
    QTRY_VERIFY2_WITH_TIMEOUT(logged(QStringLiteral("cut off: idle")) >= 2, qPrintable(log), 20000);
    QTRY_VERIFY2_WITH_TIMEOUT(logged(QStringLiteral(" connected (")) >= 3, qPrintable(log), 20000);
    QCOMPARE(fixture.closer().texts(), QStringList());
    QVERIFY(MAIN->MSComm1->LinkInterruption().isEmpty());

    POWER_TEST->Button11->click();
    QVERIFY(MonitorRunning);
    QTRY_COMPARE_WITH_TIMEOUT(POWER_TEST->StaticText9->text(), QStringLiteral("OFF"), 20000);
    QVERIFY(!POWER_TEST->Image2->property("noReply").toBool());
    QCOMPARE(fixture.closer().texts(), QStringList());
}

void TestNetLinks::tcpLinkReadDeadlines_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("firstMs");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<QString>("outcome"); // read, short, lost
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("whole at once") << "abc" << 3 << 5000 << 100 << "read" << QByteArray("abc");
    QTest::newRow("no more than asked") << "abcd" << 2 << 5000 << 100 << "read" << QByteArray("ab");
    QTest::newRow("first byte late, in time") << "300|a" << 1 << 5000 << 100 << "read" << QByteArray("a");
    QTest::newRow("nothing by the first deadline") << "2000|a" << 1 << 100 << 5000 << "short" << QByteArray();
    QTest::newRow("pause within the gap") << "ab|300|c" << 3 << 5000 << 5000 << "read" << QByteArray("abc");
    QTest::newRow("pause beyond the gap") << "ab|2000|c" << 3 << 5000 << 100 << "short" << QByteArray("ab");
    QTest::newRow("closed under way") << "ab|." << 3 << 5000 << 5000 << "lost" << QByteArray("ab");
}

// The connection the master reads its replies from: the first byte by its
// deadline, each further one within the gap, and a server that closes says so.
void TestNetLinks::tcpLinkReadDeadlines()
{
    QFETCH(QString, script);
    QFETCH(int, count);
    QFETCH(int, firstMs);
    QFETCH(int, gapMs);
    QFETCH(QString, outcome);
    QFETCH(QByteArray, bytes);

    ScriptedPeer peer(script);
    LinkAddress address;
    QVERIFY(ParseLinkAddress(peer.address(), &address, nullptr));
    TcpLink link;
    link.connect(address);
    QByteArray read;
    QString got;
    try {
        const auto first = TcpLink::Clock::now() + std::chrono::milliseconds(firstMs);
        got = link.read(&read, count, first, std::chrono::milliseconds(gapMs)) ? QStringLiteral("read")
                                                                                : QStringLiteral("short");
    } catch (const BusError &error) {
        got = QStringLiteral("lost");
        QCOMPARE(error.kind(), BusError::Kind::PortLost);
        QCOMPARE(error.text(), peer.address() + QStringLiteral(": the server closed the connection"));
        QVERIFY(!link.isOpen());
    }
    QCOMPARE(got, outcome);
    QCOMPARE(read, bytes);
}

QTEST_MAIN(TestNetLinks)
#include "tst_netlinks.moc"
