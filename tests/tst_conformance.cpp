// The tool and the simulator held against an independent Modbus RTU
// implementation (libmodbus):
// - a libmodbus client writes, for each kind of request the tool sends, exactly
//   the bytes our frame builders produce;
// - a libmodbus server on the far end of a pseudo-terminal null-modem answers
//   the tool's frames, and the tool's receive path and windows show its values;
// - a libmodbus client accepts the simulated supplies' replies.

#include "app/forms.h"
#include "app/mainwindow.h"
#include "link/commports.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "link/replydispatcher.h"
#include "link/serialchannel.h"
#include "panels/calibration.h"
#include "panels/monitorpanel.h"
#include "panels/sequencerunner.h"
#include "sim/simbus.h"
#include "support_pty.h"
#include "support_state.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QMutex>
#include <QSpinBox>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <modbus.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// One pseudo-terminal: a device path for a serial port user, and the master
// side for the test.
struct Pty {
    int master = -1;
    int slave = -1;
    QString path;

    Pty()
    {
        char name[256] = {};
        struct termios raw;
        cfmakeraw(&raw);
        cfsetspeed(&raw, B9600);
        if (::openpty(&master, &slave, name, &raw, nullptr) == 0) {
            ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
            path = QString::fromLocal8Bit(name);
        }
    }
    ~Pty()
    {
        ::close(master);
        ::close(slave);
    }

    // What the slave side has written, waiting up to timeoutMs for the first
    // byte and stopping after 50 ms of silence.
    QByteArray drain(int timeoutMs)
    {
        QByteArray all;
        int wait = timeoutMs;
        for (;;) {
            struct pollfd pfd = {master, POLLIN, 0};
            if (::poll(&pfd, 1, wait) <= 0)
                break;
            char buffer[512];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            all.append(buffer, int(n));
            wait = 50;
        }
        return all;
    }
};

// A null-modem cable between two pseudo-terminals: whatever one side's user
// writes, the other side's user reads.
class NullModem
{
public:
    NullModem()
    {
        m_thread = std::thread([this] { relay(); });
    }
    ~NullModem()
    {
        m_stop = true;
        m_thread.join();
    }
    QString toolEnd() const { return m_tool.path; }
    QString deviceEnd() const { return m_device.path; }

private:
    void relay()
    {
        char buffer[512];
        while (!m_stop) {
            struct pollfd pfds[2] = {{m_tool.master, POLLIN, 0}, {m_device.master, POLLIN, 0}};
            if (::poll(pfds, 2, 20) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (!(pfds[i].revents & POLLIN))
                    continue;
                const ssize_t n = ::read(pfds[i].fd, buffer, sizeof buffer);
                if (n > 0)
                    writeAll(pfds[1 - i].fd, buffer, n);
            }
        }
    }
    static void writeAll(int fd, const char *data, ssize_t size)
    {
        ssize_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd, data + done, size_t(size - done));
            if (n > 0)
                done += n;
            else if (errno != EAGAIN)
                return;
        }
    }

    Pty m_tool;
    Pty m_device;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A libmodbus RTU server at address 1 with holding registers 0x1000..0x101A,
// serving from a thread of its own.
class LibmodbusServer
{
public:
    explicit LibmodbusServer(const QString &device)
    {
        m_ctx = modbus_new_rtu(device.toLocal8Bit().constData(), 9600, 'N', 8, 1);
        modbus_set_slave(m_ctx, 1);
        m_connected = modbus_connect(m_ctx) == 0;
        m_map = modbus_mapping_new_start_address(0, 0, 0, 0, 0x1000, 0x1B, 0, 0);
        m_thread = std::thread([this] { serve(); });
    }
    ~LibmodbusServer()
    {
        m_stop = true;
        m_thread.join();
        modbus_mapping_free(m_map);
        modbus_close(m_ctx);
        modbus_free(m_ctx);
    }
    bool connected() const { return m_connected && m_map; }

    quint16 value(quint16 reg)
    {
        QMutexLocker lock(&m_mutex);
        return m_map->tab_registers[reg - 0x1000];
    }
    void setValue(quint16 reg, quint16 value)
    {
        QMutexLocker lock(&m_mutex);
        m_map->tab_registers[reg - 0x1000] = value;
    }
    // The requests it received, as libmodbus delimited them.
    QVector<QByteArray> requests()
    {
        QMutexLocker lock(&m_mutex);
        return m_requests;
    }

private:
    void serve()
    {
        uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        const int fd = modbus_get_socket(m_ctx);
        while (!m_stop) {
            struct pollfd pfd = {fd, POLLIN, 0};
            if (::poll(&pfd, 1, 20) <= 0)
                continue;
            const int length = modbus_receive(m_ctx, query);
            if (length <= 0)
                continue; // another address, or a broken frame
            QMutexLocker lock(&m_mutex);
            m_requests.append(QByteArray(reinterpret_cast<const char *>(query), length));
            modbus_reply(m_ctx, query, length, m_map);
        }
    }

    modbus_t *m_ctx = nullptr;
    modbus_mapping_t *m_map = nullptr;
    bool m_connected = false;
    QMutex m_mutex;
    QVector<QByteArray> m_requests;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A libmodbus RTU client on a device path.
struct LibmodbusClient {
    modbus_t *ctx;
    bool connected;

    LibmodbusClient(const QString &device, int slave, int responseTimeoutMs)
    {
        ctx = modbus_new_rtu(device.toLocal8Bit().constData(), 9600, 'N', 8, 1);
        modbus_set_slave(ctx, slave);
        connected = modbus_connect(ctx) == 0;
        modbus_set_response_timeout(ctx, 0, uint32_t(responseTimeoutMs) * 1000);
    }
    ~LibmodbusClient()
    {
        modbus_close(ctx);
        modbus_free(ctx);
    }
};

template <typename T>
T *control(QWidget *window, const char *name)
{
    T *found = window ? window->findChild<T *>(QLatin1String(name)) : nullptr;
    if (!found)
        qWarning("control %s not found", name);
    return found;
}

QString labelText(QWidget *window, const char *name)
{
    auto *label = control<QLabel>(window, name);
    return label ? label->text() : QStringLiteral("<missing>");
}

QString editText(QWidget *window, const char *name)
{
    auto *edit = control<QLineEdit>(window, name);
    return edit ? edit->text() : QStringLiteral("<missing>");
}

} // namespace

class TestConformance : public QObject
{
    Q_OBJECT

private slots:
    void clientWritesOurBytes_data();
    void clientWritesOurBytes();

    void init();
    void cleanup();
    void statusPollShowsServerValues();
    void powerReadShowsServerValue();
    void scanProbeIsAnswered();
    void singleRegisterWritesReachServer_data();
    void singleRegisterWritesReachServer();
    void setpointPairReachesServer();
    void panelCommandReachesServer();
    void calibrationAcknowledged();
    void sequenceFramesReachServer();

    void clientAcceptsSimulatorReplies();

private:
    ToolFixture m_fixture;
    NullModem *m_cable = nullptr;
    LibmodbusServer *m_server = nullptr;
};

void TestConformance::clientWritesOurBytes_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("reg");
    QTest::addColumn<QVector<quint16>>("values");
    for (int address : {1, 17, 247}) {
        const QByteArray a = QByteArray::number(address);
        QTest::newRow("status poll at " + a) << "read" << address << 0x1000 << QVector<quint16>(5);
        QTest::newRow("power read at " + a) << "read" << address << 0x1008 << QVector<quint16>(1);
        QTest::newRow("scan probe at " + a) << "read" << address << 0x1000 << QVector<quint16>(1);
        QTest::newRow("voltage setpoint 1234 at " + a) << "write" << address << 0x1000 << QVector<quint16>{1234};
        QTest::newRow("setpoint pair at " + a) << "write" << address << 0x1000 << QVector<quint16>{500, 1000};
    }
    QTest::newRow("output on") << "write" << 1 << 0x1004 << QVector<quint16>{1};
    QTest::newRow("bus address 5") << "write" << 1 << 0x1005 << QVector<quint16>{5};
    QTest::newRow("power setpoint 65000") << "write" << 1 << 0x1007 << QVector<quint16>{65000};
    QTest::newRow("PID stop") << "write" << 1 << 0x1008 << QVector<quint16>{1};
    QTest::newRow("over-voltage 9999") << "write" << 1 << 0x100A << QVector<quint16>{9999};
    QTest::newRow("over-current 0") << "write" << 1 << 0x100B << QVector<quint16>{0};
    QTest::newRow("current correction 200") << "write" << 1 << 0x1019 << QVector<quint16>{200};
    QTest::newRow("voltage correction 13") << "write" << 1 << 0x101A << QVector<quint16>{13};
    QTest::newRow("pair of all ones") << "write" << 9 << 0x1000 << QVector<quint16>{0xFFFF, 0xFFFF};
}

void TestConformance::clientWritesOurBytes()
{
    QFETCH(QString, kind);
    QFETCH(int, address);
    QFETCH(int, reg);
    QFETCH(QVector<quint16>, values);

    Pty line;
    QVERIFY(!line.path.isEmpty());
    LibmodbusClient client(line.path, address, 20);
    QVERIFY(client.connected);
    // Nobody answers: the call gives up after its response timeout, and the
    // request it wrote waits on the master side.
    if (kind == QLatin1String("read")) {
        QVector<uint16_t> into(values.size());
        QCOMPARE(modbus_read_registers(client.ctx, reg, int(values.size()), into.data()), -1);
        QCOMPARE(line.drain(1000).toHex(' '), BuildReadRequest(address, quint16(reg), quint16(values.size())).toHex(' '));
    } else {
        QCOMPARE(modbus_write_registers(client.ctx, reg, int(values.size()), values.constData()), -1);
        const QByteArray ours = values.size() == 1 ? BuildWriteSingle(address, quint16(reg), values.first())
                                                   : BuildWriteRequest(address, quint16(reg), values);
        QCOMPARE(line.drain(1000).toHex(' '), ours.toHex(' '));
    }
}

void TestConformance::init()
{
    if (QByteArray(QTest::currentTestFunction()).startsWith("client"))
        return;
    m_cable = new NullModem;
    m_server = new LibmodbusServer(m_cable->deviceEnd());
    QVERIFY(m_server->connected());
    CreateForms();
    // The process-wide state outlives the windows: start every test from rest.
    m_fixture.reset();
    MAIN->show();
    SelectModel(1); // QELT30-05: 0.01 V and 0.001 A
    auto *panelAddress = control<QSpinBox>(POWER_TEST, "SpinEdit1");
    QVERIFY(panelAddress);
    panelAddress->setValue(1);
    QVERIFY_THROWS_NO_EXCEPTION(OpenToolPort(m_cable->toolEnd()));
}

void TestConformance::cleanup()
{
    if (!m_cable)
        return;
    MAIN->MSComm1->SetPortOpen(false);
    DestroyForms();
    ClearCommPortMappings();
    delete m_server;
    m_server = nullptr;
    delete m_cable;
    m_cable = nullptr;
}

void TestConformance::statusPollShowsServerValues()
{
    const quint16 values[] = {1234, 2500, 1230, 2498, 1};
    for (int i = 0; i < 5; ++i)
        m_server->setValue(quint16(0x1000 + i), values[i]);
    // The panel's own poll, as its timer sends it.
    MonitorRunning = true;
    POWER_TEST->Timer1Timer();
    QTRY_COMPARE(labelText(POWER_TEST, "StaticText9"), QStringLiteral("ON"));
    QCOMPARE(labelText(POWER_TEST, "StaticText7"), QStringLiteral("12.34"));
    QCOMPARE(labelText(POWER_TEST, "StaticText8"), QStringLiteral("2.500"));
    QCOMPARE(labelText(POWER_TEST, "StaticText5"), QStringLiteral("12.30"));
    QCOMPARE(labelText(POWER_TEST, "StaticText6"), QStringLiteral("2.498"));
    QCOMPARE(m_server->requests().value(0), QByteArray::fromHex("01 03 10 00 00 05 81 09"));
    MonitorRunning = false;
}

void TestConformance::powerReadShowsServerValue()
{
    m_server->setValue(OutputPower, 12345);
    auto *button = control<QAbstractButton>(POWER_TEST, "Button5");
    QVERIFY(button);
    button->click();
    QTRY_COMPARE(editText(POWER_TEST, "Edit1"), QStringLiteral("123.45"));
    QCOMPARE(m_server->requests().value(0), QByteArray::fromHex("01 03 10 08 00 01 01 08"));
}

void TestConformance::scanProbeIsAnswered()
{
    ModalCloser &closer = m_fixture.closer();
    QWidget *scan = reinterpret_cast<QWidget *>(RSADDERS);
    auto *first = control<QSpinBox>(scan, "SpinEdit1");
    auto *last = control<QSpinBox>(scan, "SpinEdit2");
    auto *start = control<QAbstractButton>(scan, "BitBtn1");
    auto *stop = control<QAbstractButton>(scan, "BitBtn2");
    QVERIFY(first && last && start && stop);
    first->setValue(1);
    last->setValue(3);
    start->click(); // probes address 1 at once
    QTRY_COMPARE(editText(scan, "Edit3"), QStringLiteral("1,"));
    stop->click();
    QCOMPARE(m_server->requests().value(0), QByteArray::fromHex("01 03 10 00 00 01 80 CA"));
}

void TestConformance::singleRegisterWritesReachServer_data()
{
    QTest::addColumn<int>("reg");
    QTest::addColumn<int>("value");
    QTest::newRow("voltage setpoint") << int(VoltageSetpoint) << 3100;
    QTest::newRow("current setpoint") << int(CurrentSetpoint) << 5100;
    QTest::newRow("output switch") << int(OutputSwitch) << 1;
    QTest::newRow("bus address") << int(BusAddress) << 5;
    QTest::newRow("key lock") << int(KeyLock) << 1;
    QTest::newRow("power setpoint") << int(PowerSetpoint) << 65000;
    QTest::newRow("PID start") << int(OutputPower) << 0;
    QTest::newRow("over-voltage limit") << int(OverVoltageLimit) << 9999;
    QTest::newRow("over-current limit") << int(OverCurrentLimit) << 1234;
    QTest::newRow("current correction") << int(CurrentCorrection) << 101;
    QTest::newRow("voltage correction") << int(VoltageCorrection) << 20;
}

void TestConformance::singleRegisterWritesReachServer()
{
    QFETCH(int, reg);
    QFETCH(int, value);
    m_server->setValue(quint16(reg), 0xAAAA);
    SendFrame(BuildWriteSingle(1, quint16(reg), quint16(value)));
    QTRY_COMPARE(labelText(POWER_TEST, "StaticText4"), QStringLiteral("数据设定OK!"));
    QCOMPARE(int(m_server->value(quint16(reg))), value);
}

void TestConformance::setpointPairReachesServer()
{
    SendFrame(BuildWriteRequest(1, VoltageSetpoint, {1500, 2000}));
    QTRY_COMPARE(labelText(POWER_TEST, "StaticText4"), QStringLiteral("数据设定OK!"));
    QCOMPARE(int(m_server->value(VoltageSetpoint)), 1500);
    QCOMPARE(int(m_server->value(CurrentSetpoint)), 2000);
    QCOMPARE(m_server->requests().value(0), QByteArray::fromHex("01 10 10 00 00 02 04 05 DC 07 D0 FC F5"));
}

void TestConformance::panelCommandReachesServer()
{
    // Digits 3 2 0 0 on the voltage row, capped at the model's 3100.
    const char *digits[] = {"SpinEdit3", "SpinEdit4", "SpinEdit5", "SpinEdit6"};
    const int values[] = {3, 2, 0, 0};
    for (int i = 0; i < 4; ++i) {
        auto *box = control<QSpinBox>(POWER_TEST, digits[i]);
        QVERIFY(box);
        box->setValue(values[i]);
    }
    auto *setVoltage = control<QAbstractButton>(POWER_TEST, "BitBtn1");
    QVERIFY(setVoltage);
    setVoltage->click();
    QTRY_COMPARE(labelText(POWER_TEST, "StaticText4"), QStringLiteral("数据设定OK!"));
    QCOMPARE(int(m_server->value(VoltageSetpoint)), 3100);
}

void TestConformance::calibrationAcknowledged()
{
    ModalCloser &closer = m_fixture.closer();
    QWidget *window = reinterpret_cast<QWidget *>(ERR);
    window->show();
    QVERIFY(CalibrationMode);
    auto *voltage = control<QAbstractButton>(window, "RadioButton1");
    auto *correction = control<QSpinBox>(window, "SpinEdit1");
    auto *address = control<QSpinBox>(window, "SpinEdit2");
    auto *calibrate = control<QAbstractButton>(window, "BitBtn1");
    QVERIFY(voltage && correction && address && calibrate);
    voltage->setChecked(true);
    correction->setValue(-3);
    address->setValue(1);
    calibrate->click();
    QTRY_VERIFY(closer.texts().contains(QStringLiteral("误差修正成功！")));
    QCOMPARE(int(m_server->value(VoltageCorrection)), 13);
    QCOMPARE(m_server->requests().value(0), QByteArray::fromHex("01 10 10 1A 00 01 02 00 0D 74 6E"));
    window->close();
    QVERIFY(!CalibrationMode);
}

// One step of 12.5 V / 1.2 A for one second, one cycle: the setpoint pair,
// output on after the start pause, output off when the dwell has passed.
void TestConformance::sequenceFramesReachServer()
{
    QWidget *window = reinterpret_cast<QWidget *>(TYP);
    auto *enable = control<QAbstractButton>(window, "CheckBox1");
    auto *volts = control<QLineEdit>(window, "Edit1");
    auto *amps = control<QLineEdit>(window, "Edit17");
    auto *seconds = control<QLineEdit>(window, "Edit33");
    auto *address = control<QSpinBox>(window, "SpinEdit2");
    auto *cycles = control<QLineEdit>(window, "Edit61");
    auto *start = control<QAbstractButton>(window, "Button1");
    QVERIFY(enable && volts && amps && seconds && address && cycles && start);
    enable->setChecked(true);
    volts->setText(QStringLiteral("12.5"));
    amps->setText(QStringLiteral("1.2"));
    seconds->setText(QStringLiteral("1"));
    address->setValue(1);
    cycles->setText(QStringLiteral("1"));
    m_server->setValue(OutputSwitch, 7);
    start->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), 3, 10000);
    const QVector<QByteArray> requests = m_server->requests();
    QCOMPARE(requests.at(0), BuildWriteRequest(1, VoltageSetpoint, {1250, 1200}));
    QCOMPARE(requests.at(1), QByteArray::fromHex("01 10 10 04 00 01 02 00 01 77 D5"));
    QCOMPARE(requests.at(2), QByteArray::fromHex("01 10 10 04 00 01 02 00 00 B6 15"));
    QCOMPARE(int(m_server->value(VoltageSetpoint)), 1250);
    QCOMPARE(int(m_server->value(CurrentSetpoint)), 1200);
    QCOMPARE(int(m_server->value(OutputSwitch)), 0);
    QTRY_VERIFY(!SequenceRunning);
}

// libmodbus as the master checks the simulated supplies' framing, CRCs and
// exception replies with its own decoder.
void TestConformance::clientAcceptsSimulatorReplies()
{
    SimBus bus;
    const int index = bus.addSupply(1, 1);
    bus.updateSupply(index, [](SimSupply &supply) {
        supply.writeRegisters(VoltageSetpoint, {1200, 1500});
        supply.writeRegisters(OutputSwitch, {1});
        supply.setLoadOhms(10.0);
    });
    const QString path = bus.openPty();
    bus.start(SimBus::Threading::OwnThread);
    LibmodbusClient client(path, 1, 500);
    QVERIFY(client.connected);

    uint16_t status[5] = {};
    QCOMPARE(modbus_read_registers(client.ctx, 0x1000, 5, status), 5);
    QCOMPARE(QVector<uint16_t>(status, status + 5), (QVector<uint16_t>{1200, 1500, 1200, 1200, 1}));
    uint16_t power = 0;
    QCOMPARE(modbus_read_registers(client.ctx, 0x1008, 1, &power), 1);
    QCOMPARE(int(power), 1440);

    const uint16_t pair[2] = {500, 1000};
    QCOMPARE(modbus_write_registers(client.ctx, 0x1000, 2, pair), 2);
    QCOMPARE(int(bus.supply(index).voltageSetpoint()), 500);
    QCOMPARE(int(bus.supply(index).currentSetpoint()), 1000);
    uint16_t setpoints[2] = {};
    QCOMPARE(modbus_read_registers(client.ctx, 0x1000, 2, setpoints), 2);
    QCOMPARE(int(setpoints[0]), 500);

    uint16_t outside = 0;
    QCOMPARE(modbus_read_registers(client.ctx, 0x2000, 1, &outside), -1);
    QCOMPARE(errno, int(EMBXILADD));
    const uint16_t measured = 7;
    QCOMPARE(modbus_write_registers(client.ctx, 0x1002, 1, &measured), -1);
    QCOMPARE(errno, int(EMBXILADD));

    // A new bus address holds from the next request on.
    const uint16_t newAddress = 33;
    QCOMPARE(modbus_write_registers(client.ctx, 0x1005, 1, &newAddress), 1);
    modbus_set_slave(client.ctx, 33);
    QCOMPARE(modbus_read_registers(client.ctx, 0x1000, 1, setpoints), 1);
    QCOMPARE(int(setpoints[0]), 500);
    bus.stop();
}

QTEST_MAIN(TestConformance)
#include "tst_conformance.moc"
