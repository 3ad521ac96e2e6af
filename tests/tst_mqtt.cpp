// psuctl mqtt, the program itself, between simulated supplies on a
// pseudo-terminal and a real broker (mosquitto on a loopback port, with a
// password file and a TLS listener made here), watched and driven through
// mosquitto_sub and mosquitto_pub.

#include "ctl/ctlerror.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "sim/simbus.h"
#include "support_mqtt.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString User = QStringLiteral("bench");
const QString Password = QStringLiteral("s3cret");

// A loopback port nothing listens on now.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Runs a tool to its end; its exit code, or -1 when it did not end normally.
int runTool(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(60000);
    if (output)
        *output = process.readAll();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QJsonObject json(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

// A subscriber to every topic under psu/ and homeassistant/.
class Subscriber : public MqttSubscriber
{
public:
    explicit Subscriber(int port, const QString &clientId = QString())
        : MqttSubscriber(port, {"psu/#", "homeassistant/#"}, {"-u", User, "-P", Password}, clientId)
    {
    }
};

} // namespace

class TestMqtt : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void stateCarriesSimulatorValues();
    void hangupStopsCleanly();
    void commandsCheckedAsSetChecks_data();
    void commandsCheckedAsSetChecks();
    void idsKeptAsSent_data();
    void idsKeptAsSent();
    void passwordFromCredential();
    void loginRefused_data();
    void loginRefused();
    void tlsWithTheRightCaOnly_data();
    void tlsWithTheRightCaOnly();
    void brokerRestartLosesNoCommand();
    void serialLineLostAndBack();
    void failsafeSwitchesOutputsOff();
    void failsafeHoldsAndIsRetained();
    void liveStateIsRetained();
    void retainedCommandNeverRuns_data();
    void retainedCommandNeverRuns();
    void failsafeCountsFromLastSignOfLife();
    void brokerAwayAtStart();
    void linkAndSupplyEventsOneLineEach();
    void discoveryAsHomeAssistantReadsIt();
    void settingsErrorsSayWhatIsWrong_data();
    void settingsErrorsSayWhatIsWrong();

private:
    void startBroker();
    void stopBroker();
    void startBridge(const QStringList &extra = {});
    void publish(const QString &topic, const QByteArray &payload);
    int writesTo(quint16 reg) const;
    QVector<QByteArray> retained(const QString &topic, const std::function<bool(const QVector<QByteArray> &)> &done);
    QByteArray bridgeLog();
    QString path(const char *name) const { return m_dir.filePath(QLatin1String(name)); }

    QTemporaryDir m_dir;
    int m_port = 0;
    int m_tlsPort = 0;
    QProcess *m_broker = nullptr;
    QProcess *m_bridge = nullptr;
    QByteArray m_bridgeLog;
    SimBus *m_bus = nullptr;
};

void TestMqtt::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // A password file, and a CA with a server certificate for 127.0.0.1, and a
    // second CA that signed nothing.
    QCOMPARE(runTool(QStringLiteral("mosquitto_passwd"), {"-b", "-c", path("passwd"), User, Password}), 0);
    const QString openssl = QStringLiteral("openssl");
    for (const char *ca : {"ca", "otherca"}) {
        QCOMPARE(runTool(openssl, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                                   QStringLiteral("/CN=%1").arg(QLatin1String(ca)), "-keyout",
                                   path(ca) + QStringLiteral(".key"), "-out", path(ca) + QStringLiteral(".pem")}),
                 0);
    }
    QCOMPARE(runTool(openssl, {"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
                               path("server.key"), "-out", path("server.csr")}),
             0);
    QFile extensions(path("san.ext"));
    QVERIFY(extensions.open(QIODevice::WriteOnly));
    extensions.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    extensions.close();
    QCOMPARE(runTool(openssl, {"x509", "-req", "-in", path("server.csr"), "-CA", path("ca.pem"), "-CAkey", path("ca.key"),
                               "-CAcreateserial", "-days", "2", "-extfile", path("san.ext"), "-out", path("server.pem")}),
             0);
    QFile secret(path("password"));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write(Password.toUtf8() + '\n');
}

void TestMqtt::init()
{
    m_port = freePort();
    m_tlsPort = freePort();
    QDir(path("store")).removeRecursively();
    QDir().mkpath(path("store"));
    startBroker();

    m_bus = new SimBus(this);
    for (int address : {1, 5})
        m_bus->addSupply(address, 1); // QELT30-05: 0.01 V, 0.001 A
    QFile::remove(path("tty"));
    QVERIFY(QFile::link(m_bus->openPty(), path("tty")));
    m_bus->start(SimBus::Threading::OwnThread);
}

void TestMqtt::cleanup()
{
    if (m_broker)
        ::kill(pid_t(m_broker->processId()), SIGCONT);
    m_bridgeLog.clear();
    if (m_bridge) {
        m_bridge->terminate();
        m_bridge->waitForFinished(10000);
        delete m_bridge;
        m_bridge = nullptr;
    }
    stopBroker();
    if (m_bus)
        m_bus->stop();
    delete m_bus;
    m_bus = nullptr;
}

void TestMqtt::startBroker()
{
    const QString settings = QStringLiteral("per_listener_settings false\n"
                                            "allow_anonymous false\n"
                                            "password_file %1\n"
                                            "persistence true\n"
                                            "persistence_location %2/\n"
                                            "listener %3 127.0.0.1\n"
                                            "listener %4 127.0.0.1\n"
                                            "cafile %5\ncertfile %6\nkeyfile %7\n")
                                 .arg(path("passwd"), path("store"))
                                 .arg(m_port)
                                 .arg(m_tlsPort)
                                 .arg(path("ca.pem"), path("server.pem"), path("server.key"));
    m_broker = StartMosquitto(path("mosquitto.conf"), settings, {m_port, m_tlsPort}, path("broker.log"), this);
    QVERIFY2(m_broker, "mosquitto (Debian package mosquitto) must be installed");
}

// SIGTERM: the broker saves its sessions and stops.
void TestMqtt::stopBroker()
{
    if (!m_broker)
        return;
    m_broker->terminate();
    QVERIFY(m_broker->waitForFinished(20000));
    delete m_broker;
    m_broker = nullptr;
}

void TestMqtt::startBridge(const QStringList &extra)
{
    m_bridge = new QProcess(this);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PSUCTL_MQTT_USERNAME"), User);
    m_bridge->setProcessEnvironment(environment);
    // A second's timeout keeps the answering cases clear of a loaded machine.
    m_bridge->start(QStringLiteral(PSUCTL_PROGRAM),
                    QStringList{"-p", path("tty"), "-o", "1", "mqtt", "-a", "1,5", "-m", "QELT30-05", "--bench",
                                "b1", "--poll", "200", "--password-file", path("password")}
                        + (extra.join(QLatin1Char(' ')).contains(QLatin1String("--broker"))
                               ? QStringList()
                               : QStringList{"--broker", QStringLiteral("127.0.0.1:%1").arg(m_port)})
                        + extra);
    QVERIFY(m_bridge->waitForStarted());
}

void TestMqtt::publish(const QString &topic, const QByteArray &payload)
{
    QCOMPARE(runTool(QStringLiteral("mosquitto_pub"), {"-h", "127.0.0.1", "-p", QString::number(m_port), "-u", User,
                                                       "-P", Password, "-q", "1", "-t", topic, "-m",
                                                       QString::fromUtf8(payload)}),
             0);
}

// What the broker holds retained under topic (a filter): "topic payload"
// lines, asked again until done says they are what was awaited or 30 s passed.
QVector<QByteArray> TestMqtt::retained(const QString &topic, const std::function<bool(const QVector<QByteArray> &)> &done)
{
    QElapsedTimer waited;
    waited.start();
    QVector<QByteArray> lines;
    do {
        QProcess process;
        process.start(QStringLiteral("mosquitto_sub"), {"-h", "127.0.0.1", "-p", QString::number(m_port), "-u", User,
                                                        "-P", Password, "-t", topic, "-v", "--retained-only", "-W", "1"});
        process.waitForFinished(20000);
        lines.clear();
        for (const QByteArray &line : process.readAllStandardOutput().split('\n')) {
            if (!line.isEmpty())
                lines << line;
        }
    } while (!done(lines) && waited.elapsed() < 30000);
    return lines;
}

// The bridge's stderr so far.
QByteArray TestMqtt::bridgeLog()
{
    m_bridgeLog += m_bridge->readAllStandardError();
    return m_bridgeLog;
}

// Write requests (function 0x10) the simulator received for reg.
int TestMqtt::writesTo(quint16 reg) const
{
    int writes = 0;
    for (const SimFrameRecord &entry : m_bus->record()) {
        const QByteArray &b = entry.bytes;
        if (entry.direction == SimFrameRecord::Received && b.size() > 4 && quint8(b.at(1)) == FunctionWriteMultiple
            && ((quint8(b.at(2)) << 8) | quint8(b.at(3))) == reg)
            ++writes;
    }
    return writes;
}

void TestMqtt::stateCarriesSimulatorValues()
{
    // 12 V into 10 ohm: 1.2 A, 14.40 W.
    m_bus->updateSupply(0, [](SimSupply &s) {
        s.setLoadOhms(10);
        s.writeRegisters(VoltageSetpoint, {1200, 1500});
        s.writeRegisters(OutputSwitch, {1});
    });
    Subscriber sub(m_port);
    startBridge({"--homeassistant"});
    QTRY_VERIFY_WITH_TIMEOUT(sub.on("psu/b1/1/state").size() >= 2 && !sub.on("psu/b1/5/state").isEmpty(), 30000);
    // The output switch as a dashboard finds it: its topics and the payloads it sends.
    const QJsonObject output = json(sub.on("homeassistant/switch/psuctl-psu-b1/5-output/config").value(0));
    QCOMPARE(output.value(QStringLiteral("command_topic")).toString(), QStringLiteral("psu/b1/5/set"));
    QCOMPARE(output.value(QStringLiteral("state_topic")).toString(), QStringLiteral("psu/b1/5/state"));
    QCOMPARE(json(output.value(QStringLiteral("payload_on")).toString().toUtf8()), json(R"({"output":"on"})"));
    QCOMPARE(sub.on("psu/b1/status").value(0), QByteArray("online"));
    QJsonObject state = json(sub.on("psu/b1/1/state").last());
    QVERIFY(state.contains(QStringLiteral("time")));
    state.remove(QStringLiteral("time"));
    QCOMPARE(QJsonDocument(state).toJson(QJsonDocument::Compact),
             QByteArray(R"({"address":1,"current":1.2,"current_set":1.5,"model":"QELT30-05","output":"on","power":14.4,"voltage":12,"voltage_set":12})"));
    // A clean stop: offline, and the will was not needed for it.
    m_bridge->terminate();
    QVERIFY(m_bridge->waitForFinished(20000));
    QCOMPARE(m_bridge->exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(sub.on("psu/b1/status").value(1), QByteArray("offline"), 20000);
}

// The SIGHUP of a dropped session stops the bridge as SIGTERM does: offline,
// status 0.
void TestMqtt::hangupStopsCleanly()
{
    Subscriber sub(m_port);
    startBridge();
    QTRY_VERIFY_WITH_TIMEOUT(!sub.on("psu/b1/1/state").isEmpty(), 30000);
    ::kill(pid_t(m_bridge->processId()), SIGHUP);
    QVERIFY(m_bridge->waitForFinished(20000));
    QCOMPARE(m_bridge->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_bridge->exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(sub.on("psu/b1/status").endsWith(QByteArray("offline")), 20000);
}

void TestMqtt::commandsCheckedAsSetChecks_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("error");      // empty: the command is carried out
    QTest::addColumn<quint16>("reg");        // written once when carried out
    QTest::addColumn<quint16>("held");

    const quint16 limit = FindModel(1)->voltageLimit;
    QTest::newRow("set") << "1" << QByteArray(R"({"voltage":12.5,"id":"c1"})") << "" << VoltageSetpoint << quint16(1250);
    QTest::newRow("at the model's limit") << "1" << QByteArray(R"({"voltage":31,"id":2})") << "" << VoltageSetpoint << limit;
    QTest::newRow("one step beyond the model's limit")
        << "1" << QByteArray(R"({"voltage":31.01,"id":3})")
        << "voltage '31.01': 31.01 V is outside 0.00 to 31.00 V, the voltage range of QELT30-05; nothing was sent"
        << VoltageSetpoint << quint16(0);
    QTest::newRow("switch") << "5" << QByteArray(R"({"output":"on"})") << "" << OutputSwitch << quint16(1);
    QTest::newRow("not JSON") << "1" << QByteArray("voltage=12") << "not JSON" << VoltageSetpoint << quint16(0);
    QTest::newRow("not an object") << "1" << QByteArray("[12]") << "not a JSON object" << VoltageSetpoint << quint16(0);
    QTest::newRow("unknown field") << "1" << QByteArray(R"({"voltage":3,"volume":11})") << "unknown field 'volume'"
                                   << VoltageSetpoint << quint16(0);
    QTest::newRow("out of range") << "1" << QByteArray(R"({"voltage":3,"current":70000})")
                                  << "current '70000': 70000 A is outside 0.000 to 5.100 A, the current range of QELT30-05"
                                  << VoltageSetpoint << quint16(0);
    QTest::newRow("text for a number") << "1" << QByteArray(R"({"voltage":"12 V"})") << "voltage '12 V': not a number"
                                       << VoltageSetpoint << quint16(0);
    QTest::newRow("switch word") << "1" << QByteArray(R"({"output":"yes"})") << "output 'yes': on or off"
                                 << OutputSwitch << quint16(0);
    QTest::newRow("ovp as power control") << "1" << QByteArray(R"({"ovp":0.01})") << "ovp '0.01': 0.01 V is outside 0.02 to 31.00 V, the ovp range of QELT30-05 (below two steps"
                                          << OverVoltageLimit << quint16(0);
    QTest::newRow("nothing") << "1" << QByteArray(R"({"id":"x"})") << "nothing to write" << VoltageSetpoint << quint16(0);
    QTest::newRow("address not listed") << "9" << QByteArray(R"({"voltage":3})") << "not on this bench's list (1, 5)"
                                        << VoltageSetpoint << quint16(0);
    QTest::newRow("silent supply") << "5" << QByteArray(R"({"voltage":3})") << "address 5 does not answer"
                                   << VoltageSetpoint << quint16(0);
}

void TestMqtt::commandsCheckedAsSetChecks()
{
    QFETCH(QString, address);
    QFETCH(QByteArray, payload);
    QFETCH(QString, error);
    QFETCH(quint16, reg);
    QFETCH(quint16, held);
    const bool silent = QByteArray(QTest::currentDataTag()) == "silent supply";
    if (silent)
        m_bus->updateSupply(1, [](SimSupply &s) { s.faults().dropShare = 1; });
    Subscriber sub(m_port);
    startBridge();
    QTRY_VERIFY_WITH_TIMEOUT(sub.on("psu/b1/1/state").size() >= 2, 30000);
    publish(QStringLiteral("psu/b1/%1/set").arg(address), payload);
    const QString resultTopic = QStringLiteral("psu/b1/%1/result").arg(address);
    QTRY_COMPARE_WITH_TIMEOUT(sub.on(resultTopic).size(), 1, 30000);
    const QJsonObject result = json(sub.on(resultTopic).first());
    const int index = m_bus->indexOfAddress(address.toInt());
    if (error.isEmpty()) {
        QVERIFY2(result.value(QStringLiteral("ok")).toBool(), sub.on(resultTopic).first());
        QCOMPARE(result.value(QStringLiteral("id")), json(payload).value(QStringLiteral("id")));
        QCOMPARE(writesTo(reg), 1);
        const SimSupply supply = m_bus->supply(index);
        QCOMPARE(reg == OutputSwitch ? quint16(supply.outputOn()) : supply.voltageSetpoint(), held);
    } else {
        QCOMPARE(result.value(QStringLiteral("ok")), QJsonValue(false));
        QVERIFY2(result.value(QStringLiteral("error")).toString().contains(error), sub.on(resultTopic).first());
        for (quint16 r : {VoltageSetpoint, CurrentSetpoint, OutputSwitch, OverVoltageLimit})
            QCOMPARE(writesTo(r), 0);
    }
}

void TestMqtt::idsKeptAsSent_data()
{
    QTest::addColumn<QByteArray>("first");  // the id of a command for 7.50 V
    QTest::addColumn<QByteArray>("second"); // the id of one for 8.00 V, sent after it
    QTest::addColumn<QString>("error");     // why both are refused, or empty
    QTest::addColumn<bool>("repeat");       // whether the second is the first again

    const QByteArray digits128 = QByteArray("9").repeated(128);
    QTest::newRow("20 digits, last one apart") << QByteArray("12345678901234567890")
                                               << QByteArray("12345678901234567891") << "" << false;
    QTest::newRow("the same 20 digits") << QByteArray("12345678901234567890") << QByteArray("12345678901234567890")
                                        << "" << true;
    QTest::newRow("a number and its digits as text") << QByteArray("17") << QByteArray("\"17\"") << "" << false;
    QTest::newRow("128 digits, last one apart") << digits128 << digits128.chopped(1) + '8' << "" << false;
    QTest::newRow("129 digits") << digits128 + '9' << digits128 + '8' << "id: 129 bytes, longer than 128" << false;
    QTest::newRow("200 digits") << QByteArray("1").repeated(200) << QByteArray("2").repeated(200)
                                << "id: 200 bytes, longer than 128" << false;
    QTest::newRow("a string of 129 bytes") << '"' + digits128 + "9\"" << QByteArray("1")
                                           << "id: 129 bytes, longer than 128" << false;
}

void TestMqtt::idsKeptAsSent()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QString, error);
    QFETCH(bool, repeat);

    Subscriber sub(m_port);
    startBridge();
    QTRY_VERIFY_WITH_TIMEOUT(!sub.on("psu/b1/1/state").isEmpty(), 30000);
    publish(QStringLiteral("psu/b1/1/set"), R"({"voltage":7.5,"id":)" + first + "}");
    QTRY_COMPARE_WITH_TIMEOUT(sub.on("psu/b1/1/result").size(), 1, 30000);
    publish(QStringLiteral("psu/b1/1/set"), R"({"id":)" + second + R"(,"voltage":8})");
    QTRY_COMPARE_WITH_TIMEOUT(sub.on("psu/b1/1/result").size(), 2, 30000);
    const QVector<QByteArray> results = sub.on("psu/b1/1/result");
    if (!error.isEmpty()) {
        QVERIFY2(json(results.first()).value(QStringLiteral("error")).toString().contains(error), results.first());
        QVERIFY2(!results.first().contains(first), results.first());
        QCOMPARE(writesTo(VoltageSetpoint), second.size() > 128 ? 0 : 1);
        return;
    }
    // Each id goes back as the client wrote it, digit for digit.
    QVERIFY2(results.first().startsWith(R"({"id":)" + first + ","), results.first());
    QVERIFY2(results.last().startsWith(R"({"id":)" + second + ","), results.last());
    QVERIFY(json(results.first()).value(QStringLiteral("ok")).toBool());
    QCOMPARE(json(results.last()).value(QStringLiteral("repeat")).toBool(), repeat);
    QCOMPARE(writesTo(VoltageSetpoint), repeat ? 1 : 2);
    QCOMPARE(m_bus->supply(0).voltageSetpoint(), quint16(repeat ? 750 : 800));
}

void TestMqtt::loginRefused_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("none") << QString();
    QTest::newRow("wrong") << QStringLiteral("guess");
}

void TestMqtt::loginRefused()
{
    QFETCH(QString, password);
    QFile file(path("wrong"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(password.toUtf8());
    file.close();
    QByteArray output;
    QStringList sub{"-h", "127.0.0.1", "-p", QString::number(m_port), "-t", "psu/#", "-C", "1", "-W", "20"};
    if (!password.isEmpty())
        sub << "-u" << User << "-P" << password;
    QVERIFY(runTool(QStringLiteral("mosquitto_sub"), sub, &output) != 0);
    QVERIFY2(output.contains("not authorised"), output);

    startBridge({"--password-file", path("wrong")});
    QVERIFY(m_bridge->waitForFinished(30000));
    QCOMPARE(m_bridge->exitCode(), int(ExitRefused));
    const QByteArray log = m_bridge->readAllStandardError();
    QVERIFY2(log.contains("refused the login"), log);
}

// Under systemd the password comes as the credential mqtt-password.
void TestMqtt::passwordFromCredential()
{
    QDir().mkpath(path("credentials"));
    QVERIFY(QFile::copy(path("password"), path("credentials/mqtt-password")));
    m_bridge = new QProcess(this);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PSUCTL_MQTT_USERNAME"), User);
    environment.insert(QStringLiteral("CREDENTIALS_DIRECTORY"), path("credentials"));
    environment.remove(QStringLiteral("PSUCTL_MQTT_PASSWORD"));
    m_bridge->setProcessEnvironment(environment);
    Subscriber sub(m_port);
    m_bridge->start(QStringLiteral(PSUCTL_PROGRAM),
                    {"-p", path("tty"), "-o", "1", "mqtt", "-a", "1", "-m", "QELT30-05", "--bench", "b1", "--broker",
                     QStringLiteral("127.0.0.1:%1").arg(m_port)});
    QVERIFY(m_bridge->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(!sub.on("psu/b1/1/state").isEmpty(), 30000);
    QDir(path("credentials")).removeRecursively();
}

void TestMqtt::tlsWithTheRightCaOnly_data()
{
    QTest::addColumn<QString>("ca");
    QTest::addColumn<bool>("works");
    QTest::newRow("its CA") << "ca.pem" << true;
    QTest::newRow("another CA") << "otherca.pem" << false;
}

void TestMqtt::tlsWithTheRightCaOnly()
{
    QFETCH(QString, ca);
    QFETCH(bool, works);
    Subscriber sub(m_port);
    startBridge({"--broker", QStringLiteral("127.0.0.1:%1").arg(m_tlsPort), "--cafile", m_dir.filePath(ca)});
    if (works) {
        QTRY_VERIFY_WITH_TIMEOUT(!sub.on("psu/b1/1/state").isEmpty(), 30000);
        return;
    }
    QVERIFY(m_bridge->waitForFinished(30000));
    QCOMPARE(m_bridge->exitCode(), int(ExitRefused));
    QVERIFY(m_bridge->readAllStandardError().contains("TLS handshake"));
    QVERIFY(sub.on("psu/b1/1/state").isEmpty());
}

void TestMqtt::brokerRestartLosesNoCommand()
{
    startBridge();
    {
        Subscriber sub(m_port);
        QTRY_VERIFY_WITH_TIMEOUT(!sub.on("psu/b1/1/state").isEmpty(), 30000);
    }
    stopBroker();
    startBroker();
    // Sent while the bridge is still away: the broker keeps it in the bridge's session.
    Subscriber sub(m_port);
    publish(QStringLiteral("psu/b1/1/set"), R"({"voltage":7.5,"id":"r1"})");
    QTRY_VERIFY_WITH_TIMEOUT(!sub.on("psu/b1/1/result").isEmpty(), 30000);
    QVERIFY(json(sub.on("psu/b1/1/result").first()).value(QStringLiteral("ok")).toBool());
    QCOMPARE(m_bus->supply(0).voltageSetpoint(), quint16(750));
    // State goes out again (the retained copy and at least one live reading).
    QTRY_VERIFY_WITH_TIMEOUT(sub.on("psu/b1/1/state").size() >= 2, 30000);
    QCOMPARE(sub.on("psu/b1/status").last(), QByteArray("online"));
    // The same command delivered again is answered, not run again.
    publish(QStringLiteral("psu/b1/1/set"), R"({"voltage":7.5,"id":"r1"})");
    QTRY_COMPARE_WITH_TIMEOUT(sub.on("psu/b1/1/result").size(), 2, 30000);
    QVERIFY(json(sub.on("psu/b1/1/result").last()).value(QStringLiteral("repeat")).toBool());
    QCOMPARE(writesTo(VoltageSetpoint), 1);
}

void TestMqtt::serialLineLostAndBack()
{
    Subscriber sub(m_port);
    startBridge();
    QTRY_VERIFY_WITH_TIMEOUT(!sub.on("psu/b1/1/state").isEmpty(), 30000);
    // The simulator's end closes; a new one appears under the same name.
    m_bus->stop();
    const QString device = m_bus->openPty();
    QFile::remove(path("tty"));
    QVERIFY(QFile::link(device, path("tty")));
    QTRY_VERIFY_WITH_TIMEOUT(sub.on("psu/b1/1/availability").contains("offline"), 30000);
    m_bus->clearRecord();
    m_bus->start(SimBus::Threading::OwnThread);
    QTRY_COMPARE_WITH_TIMEOUT(sub.on("psu/b1/1/availability").last(), QByteArray("online"), 30000);
    const int before = int(sub.on("psu/b1/1/state").size());
    QTRY_VERIFY_WITH_TIMEOUT(sub.on("psu/b1/1/state").size() > before, 30000);
    QVERIFY(!m_bus->record().isEmpty());
    const QByteArray log = m_bridge->readAllStandardError();
    QVERIFY2(log.contains("port lost") && log.contains("port back"), log);
}

void TestMqtt::failsafeSwitchesOutputsOff()
{
    m_bus->updateSupply(0, [](SimSupply &s) { s.writeRegisters(OutputSwitch, {1}); });
    m_bus->updateSupply(1, [](SimSupply &s) { s.writeRegisters(OutputSwitch, {1}); });
    startBridge({"--failsafe-off", "1"});
    {
        Subscriber sub(m_port, QStringLiteral("watcher"));
        QTRY_VERIFY_WITH_TIMEOUT(!sub.on("psu/b1/5/state").isEmpty(), 30000);
    }
    stopBroker();
    QTRY_VERIFY_WITH_TIMEOUT(!m_bus->supply(0).outputOn() && !m_bus->supply(1).outputOn(), 30000);
    startBroker();
    Subscriber sub(m_port, QStringLiteral("watcher"));
    QTRY_VERIFY_WITH_TIMEOUT(!sub.on("psu/b1/5/result").isEmpty(), 30000);
    const QJsonObject result = json(sub.on("psu/b1/5/result").first());
    QVERIFY(result.value(QStringLiteral("failsafe")).toBool());
    QVERIFY(result.value(QStringLiteral("text")).toString().contains(QLatin1String("output switched off")));
}

// The failsafe holds for the whole outage: an output switched on again
// meanwhile (another client on the line) goes off again. Its notice stays
// retained, with its time and reason, for a dashboard that connects only
// later, until a command carried out after the outage clears it.
void TestMqtt::failsafeHoldsAndIsRetained()
{
    m_bus->updateSupply(0, [](SimSupply &s) { s.writeRegisters(OutputSwitch, {1}); });
    m_bus->updateSupply(1, [](SimSupply &s) { s.writeRegisters(OutputSwitch, {1}); });
    startBridge({"--failsafe-off", "1"});
    {
        Subscriber sub(m_port);
        QTRY_VERIFY_WITH_TIMEOUT(!sub.on("psu/b1/5/state").isEmpty(), 30000);
    }
    stopBroker();
    // Both outputs off and read back as off.
    QTRY_VERIFY_WITH_TIMEOUT(bridgeLog().contains("address 1: failsafe: no sign of life")
                                 && bridgeLog().contains("address 5: failsafe: no sign of life"),
                             30000);
    QVERIFY(!m_bus->supply(0).outputOn() && !m_bus->supply(1).outputOn());
    m_bus->updateSupply(1, [](SimSupply &s) { s.writeRegisters(OutputSwitch, {1}); });
    QTRY_VERIFY_WITH_TIMEOUT(!m_bus->supply(1).outputOn(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(bridgeLog().contains("address 5: failsafe: the output was on during the broker's outage; "
                                                  "switched off again"),
                             10000);
    QVERIFY(!m_bus->supply(0).outputOn());
    startBroker();
    // Once the broker is back the notices say so.
    const auto both = [](const QVector<QByteArray> &lines) {
        return lines.size() == 2 && lines.first().contains(R"("active":false)") && lines.last().contains(R"("active":false)");
    };
    const QVector<QByteArray> notices = retained(QStringLiteral("psu/b1/+/failsafe"), both);
    QVERIFY2(both(notices), notices.join('\n'));
    for (const QByteArray &line : notices) {
        const QJsonObject notice = json(line.mid(line.indexOf(' ') + 1));
        QVERIFY2(notice.value(QStringLiteral("reason")).toString().startsWith(QLatin1String("no sign of life from the broker for ")), line);
        QVERIFY2(notice.value(QStringLiteral("outcome")).toString() == QLatin1String("output switched off"), line);
        QVERIFY2(!notice.value(QStringLiteral("time")).toString().isEmpty(), line);
        QCOMPARE(notice.value(QStringLiteral("found_on")).toInt(), line.startsWith("psu/b1/5/") ? 1 : 0);
    }
    // Back from the outage, the output may be switched on again and stays on.
    publish(QStringLiteral("psu/b1/5/set"), R"({"output":"on","id":"after"})");
    QTRY_VERIFY_WITH_TIMEOUT(m_bus->supply(1).outputOn(), 30000);
    const auto one = [](const QVector<QByteArray> &lines) { return lines.size() == 1; };
    const QVector<QByteArray> left = retained(QStringLiteral("psu/b1/+/failsafe"), one);
    QVERIFY2(one(left) && left.first().startsWith("psu/b1/1/failsafe "), left.join('\n'));
    QVERIFY(m_bus->supply(1).outputOn());
}

// A dashboard that connects late sees the last reading, not the first.
void TestMqtt::liveStateIsRetained()
{
    Subscriber sub(m_port);
    startBridge();
    QTRY_VERIFY_WITH_TIMEOUT(sub.on("psu/b1/1/state").size() >= 2, 30000);
    m_bus->updateSupply(0, [](SimSupply &s) { s.writeRegisters(VoltageSetpoint, {1234}); });
    QTRY_VERIFY_WITH_TIMEOUT(json(sub.on("psu/b1/1/state").last()).value(QStringLiteral("voltage_set")).toDouble() == 12.34,
                             30000);
    const auto newest = [](const QVector<QByteArray> &lines) {
        return json(lines.value(0).mid(lines.value(0).indexOf(' ') + 1)).value(QStringLiteral("voltage_set")) == QJsonValue(12.34);
    };
    QVERIFY(newest(retained(QStringLiteral("psu/b1/1/state"), newest)));
}

void TestMqtt::retainedCommandNeverRuns_data()
{
    QTest::addColumn<bool>("beforeStart");
    QTest::newRow("held by the broker at start") << true;
    QTest::newRow("published retained while running") << false;
}

// A retained command would run again at every start and every return of the
// broker: it is answered, cleared and never run.
void TestMqtt::retainedCommandNeverRuns()
{
    QFETCH(bool, beforeStart);
    const auto publishRetained = [this] {
        QCOMPARE(runTool(QStringLiteral("mosquitto_pub"),
                         {"-h", "127.0.0.1", "-p", QString::number(m_port), "-u", User, "-P", Password, "-q", "1", "-r",
                          "-t", "psu/b1/1/set", "-m", R"({"output":"on","id":"stale"})"}),
                 0);
    };
    if (beforeStart)
        publishRetained();
    Subscriber sub(m_port);
    startBridge();
    QTRY_VERIFY_WITH_TIMEOUT(!sub.on("psu/b1/1/state").isEmpty(), 30000);
    if (!beforeStart)
        publishRetained();
    QTRY_VERIFY_WITH_TIMEOUT(!sub.on("psu/b1/1/result").isEmpty(), 30000);
    const QJsonObject result = json(sub.on("psu/b1/1/result").first());
    QCOMPARE(result.value(QStringLiteral("ok")), QJsonValue(false));
    QCOMPARE(result.value(QStringLiteral("id")), QJsonValue(QStringLiteral("stale")));
    QVERIFY2(result.value(QStringLiteral("error")).toString().contains(QLatin1String("retained command is never run")),
             sub.on("psu/b1/1/result").first());
    const auto none = [](const QVector<QByteArray> &lines) { return lines.isEmpty(); };
    QVERIFY(none(retained(QStringLiteral("psu/b1/1/set"), none)));
    // A reconnection does not bring it back, and the output was never written.
    stopBroker();
    startBroker();
    Subscriber again(m_port);
    QTRY_VERIFY_WITH_TIMEOUT(again.on("psu/b1/1/state").size() >= 2, 30000);
    QCOMPARE(writesTo(OutputSwitch), 0);
    QVERIFY(!m_bus->supply(0).outputOn());
    QCOMPARE(sub.on("psu/b1/1/result").size() + again.on("psu/b1/1/result").size(), 1);
}

// A broker that stops answering without closing the connection (stopped by
// SIGSTOP): the failsafe counts from its last sign of life, not from when the
// keep-alive gives up on it, and says how long the silence was.
void TestMqtt::failsafeCountsFromLastSignOfLife()
{
    m_bus->updateSupply(0, [](SimSupply &s) { s.writeRegisters(OutputSwitch, {1}); });
    startBridge({"--failsafe-off", "2"});
    // Its session kept, it gets the failsafe's result once the broker goes on.
    Subscriber watcher(m_port, QStringLiteral("watcher"));
    QTRY_VERIFY_WITH_TIMEOUT(watcher.on("psu/b1/1/state").size() >= 3, 30000);
    QElapsedTimer silent;
    silent.start();
    QCOMPARE(::kill(pid_t(m_broker->processId()), SIGSTOP), 0);
    // The keep-alive alone would notice after 7.5 s at the earliest.
    QTRY_VERIFY_WITH_TIMEOUT(!m_bus->supply(0).outputOn(), 30000);
    const qint64 tookMs = silent.elapsed();
    QVERIFY2(tookMs >= 1500 && tookMs < 7000, QByteArray::number(tookMs) + " ms\n" + bridgeLog());
    QTRY_VERIFY_WITH_TIMEOUT(bridgeLog().contains("failsafe"), 10000);
    static const QRegularExpression stated(QStringLiteral("no sign of life from the broker for ([0-9.]+) s"));
    const QRegularExpressionMatch match = stated.match(QString::fromUtf8(bridgeLog()));
    QVERIFY2(match.hasMatch(), bridgeLog());
    const double seconds = match.captured(1).toDouble();
    QVERIFY2(seconds >= 2 && seconds < 7, bridgeLog());
    QCOMPARE(::kill(pid_t(m_broker->processId()), SIGCONT), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.on("psu/b1/1/result").isEmpty(), 60000);
    QVERIFY(json(watcher.on("psu/b1/1/result").first()).value(QStringLiteral("failsafe")).toBool());
}

// A broker away at start-up: the bridge keeps reading and trying, the
// failsafe is armed from the start, and the bridge joins the broker later.
void TestMqtt::brokerAwayAtStart()
{
    m_bus->updateSupply(0, [](SimSupply &s) { s.writeRegisters(OutputSwitch, {1}); });
    stopBroker();
    startBridge({"--failsafe-off", "1"});
    QTRY_VERIFY_WITH_TIMEOUT(!m_bus->supply(0).outputOn(), 30000);
    QVERIFY(m_bridge->state() == QProcess::Running);
    QTRY_VERIFY_WITH_TIMEOUT(bridgeLog().contains("cannot reach the broker"), 10000);
    startBroker();
    Subscriber sub(m_port);
    QTRY_VERIFY_WITH_TIMEOUT(!sub.on("psu/b1/1/state").isEmpty(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!sub.on("psu/b1/1/result").isEmpty(), 30000);
    QVERIFY(json(sub.on("psu/b1/1/result").first()).value(QStringLiteral("failsafe")).toBool());
    QCOMPARE(bridgeLog().count("cannot reach the broker"), 1);
    QCOMPARE(bridgeLog().count("connected to the broker"), 1);
}

// The broker lost and back, a supply silent and back: one line each.
void TestMqtt::linkAndSupplyEventsOneLineEach()
{
    startBridge();
    {
        Subscriber sub(m_port);
        QTRY_VERIFY_WITH_TIMEOUT(sub.on("psu/b1/5/state").size() >= 2, 30000);
    }
    stopBroker();
    QTRY_VERIFY_WITH_TIMEOUT(bridgeLog().contains("is lost"), 30000);
    startBroker();
    QTRY_VERIFY_WITH_TIMEOUT(bridgeLog().contains("is back"), 30000);
    m_bus->updateSupply(1, [](SimSupply &s) { s.faults().dropShare = 1; });
    QTRY_VERIFY_WITH_TIMEOUT(bridgeLog().contains("address 5"), 30000);
    m_bus->updateSupply(1, [](SimSupply &s) { s.faults().dropShare = 0; });
    QTRY_VERIFY_WITH_TIMEOUT(bridgeLog().contains("address 5 answers again"), 30000);
    // A few rounds more: nothing is said twice.
    Subscriber sub(m_port);
    QTRY_VERIFY_WITH_TIMEOUT(sub.on("psu/b1/5/state").size() >= 3, 30000);
    // Connected, lost, back; address 5 silent, and back.
    const QByteArray log = bridgeLog();
    QVERIFY2(log.count("the broker at") == 3 && log.count("is lost") == 1 && log.count("is back") == 1, log);
    QVERIFY2(log.count("address 5") == 2, log);
}

// Home Assistant's discovery as it reads it today, and a supply dropped from
// the list leaves no config behind.
void TestMqtt::discoveryAsHomeAssistantReadsIt()
{
    Subscriber sub(m_port);
    startBridge({"--homeassistant"});
    const QString voltageTopic = QStringLiteral("homeassistant/sensor/psuctl-psu-b1/5-voltage/config");
    QTRY_VERIFY_WITH_TIMEOUT(!sub.on(voltageTopic).isEmpty(), 30000);
    const QJsonObject voltage = json(sub.on(voltageTopic).first());
    QCOMPARE(voltage.value(QStringLiteral("default_entity_id")).toString(), QStringLiteral("sensor.psuctl_psu_b1_5_voltage"));
    QVERIFY(!voltage.contains(QStringLiteral("object_id")));
    QCOMPARE(voltage.value(QStringLiteral("unique_id")).toString(), QStringLiteral("psuctl-psu-b1-5-voltage"));
    QCOMPARE(voltage.value(QStringLiteral("origin")).toObject().value(QStringLiteral("name")).toString(), QStringLiteral("psuctl"));
    QVERIFY(!voltage.value(QStringLiteral("origin")).toObject().value(QStringLiteral("sw_version")).toString().isEmpty());
    const QJsonObject device = voltage.value(QStringLiteral("device")).toObject();
    QVERIFY(!device.value(QStringLiteral("manufacturer")).toString().isEmpty());
    QVERIFY(!device.value(QStringLiteral("sw_version")).toString().isEmpty());
    QCOMPARE(device.value(QStringLiteral("model")).toString(), QStringLiteral("QELT30-05"));
    // QELT30-05: 0.01 V and 0.001 A steps.
    QCOMPARE(voltage.value(QStringLiteral("device_class")).toString(), QStringLiteral("voltage"));
    QCOMPARE(voltage.value(QStringLiteral("unit_of_measurement")).toString(), QStringLiteral("V"));
    QCOMPARE(voltage.value(QStringLiteral("suggested_display_precision")).toInt(), 2);
    const QJsonObject current = json(sub.on(QStringLiteral("homeassistant/sensor/psuctl-psu-b1/5-current/config")).value(0));
    QCOMPARE(current.value(QStringLiteral("device_class")).toString(), QStringLiteral("current"));
    QCOMPARE(current.value(QStringLiteral("suggested_display_precision")).toInt(), 3);
    const QJsonObject power = json(sub.on(QStringLiteral("homeassistant/sensor/psuctl-psu-b1/5-power/config")).value(0));
    QCOMPARE(power.value(QStringLiteral("device_class")).toString(), QStringLiteral("power"));
    QCOMPARE(power.value(QStringLiteral("unit_of_measurement")).toString(), QStringLiteral("W"));
    const QString filter = QStringLiteral("homeassistant/+/psuctl-psu-b1/+/config");
    const auto configs = [](int count) { return [count](const QVector<QByteArray> &lines) { return lines.size() == count; }; };
    QCOMPARE(retained(filter, configs(12)).size(), 12);

    // The next run lists supply 1 only: supply 5's six configs are cleared.
    m_bridge->terminate();
    QVERIFY(m_bridge->waitForFinished(20000));
    delete m_bridge;
    m_bridge = nullptr;
    m_bridge = new QProcess(this);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PSUCTL_MQTT_USERNAME"), User);
    m_bridge->setProcessEnvironment(environment);
    m_bridge->start(QStringLiteral(PSUCTL_PROGRAM),
                    {"-p", path("tty"), "-o", "1", "mqtt", "-a", "1", "-m", "QELT30-05", "--bench", "b1", "--poll",
                     "200", "--password-file", path("password"), "--broker", QStringLiteral("127.0.0.1:%1").arg(m_port),
                     "--homeassistant"});
    QVERIFY(m_bridge->waitForStarted());
    const QVector<QByteArray> kept = retained(filter, configs(6));
    QCOMPARE(kept.size(), 6);
    for (const QByteArray &line : kept)
        QVERIFY2(line.startsWith("homeassistant/") && line.contains("/1-"), line);
}

void TestMqtt::settingsErrorsSayWhatIsWrong_data()
{
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<int>("exitCode"); // -1: the bridge goes on trying
    QTest::addColumn<QString>("text");
    QTest::newRow("missing CA file") << QStringList{"--cafile", "/nonexistent/ca.pem"} << int(ExitUsage)
                                     << "cannot read the CA file /nonexistent/ca.pem: No such file";
    QTest::newRow("missing password file") << QStringList{"--password-file", "/nonexistent/pw"} << int(ExitUsage)
                                           << "cannot read the password file /nonexistent/pw: No such file";
    // Three closed connections in a row and no more: said once while trying, once when giving up.
    QTest::newRow("plain client on the TLS port") << QStringList{"--broker", "TLS"} << int(ExitRefused)
                                                  << "closed the connection 3 times in a row before answering the login "
                                                     "(The connection was lost.): is it a TLS port? Then give --cafile";
    QTest::newRow("plain client on the TLS port, while trying")
        << QStringList{"--broker", "TLS"} << int(ExitRefused)
        << "closed the connection before answering the login (The connection was lost.): is it a TLS port? Then "
           "give --cafile with the CA that signed its certificate; trying again";
    QTest::newRow("TLS client on the plain port") << QStringList{"--cafile", "ca.pem"} << int(ExitRefused)
                                                  << "TLS handshake";
    // 127.1 reaches 127.0.0.1, but is no name in the broker's certificate.
    QTest::newRow("TLS host name not in the certificate") << QStringList{"--broker", "127.1:TLS", "--cafile", "ca.pem"}
                                                          << int(ExitRefused) << "TLS handshake";
}

void TestMqtt::settingsErrorsSayWhatIsWrong()
{
    QFETCH(QStringList, extra);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    for (QString &argument : extra) {
        if (argument == QLatin1String("TLS"))
            argument = QStringLiteral("127.0.0.1:TLS");
        if (argument.endsWith(QLatin1String(":TLS")))
            argument = argument.section(QLatin1Char(':'), 0, 0) + QStringLiteral(":%1").arg(m_tlsPort);
        else if (argument == QLatin1String("ca.pem"))
            argument = path("ca.pem");
    }
    if (extra.contains(QStringLiteral("--cafile")) && !extra.contains(QStringLiteral("--broker")))
        extra << "--broker" << QStringLiteral("127.0.0.1:%1").arg(m_port);
    startBridge(extra);
    if (exitCode < 0) {
        QTRY_VERIFY_WITH_TIMEOUT(bridgeLog().contains(text.toUtf8()), 30000);
        QCOMPARE(m_bridge->state(), QProcess::Running);
        m_bridge->terminate();
        exitCode = ExitSuccess;
    }
    QVERIFY(m_bridge->waitForFinished(30000));
    QCOMPARE(m_bridge->exitCode(), exitCode);
    const QByteArray log = bridgeLog();
    QVERIFY2(log.contains(text.toUtf8()), log);
    QCOMPARE(log.count(text.toUtf8()), 1);
}

QTEST_GUILESS_MAIN(TestMqtt)
#include "tst_mqtt.moc"
