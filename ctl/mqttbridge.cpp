#include "ctl/mqttbridge.h"

#include "master/ctlerror.h"
#include "ctl/optiontable.h"
#include "ctl/supplyio.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <unistd.h>

#include <mosquitto.h>

namespace {

using Clock = std::chrono::steady_clock;

// The names a command may carry: set's options of these names, and an id.
const char *const CommandFields[] = {"voltage", "current", "ovp", "ocp", "output", "lock", "power", "id"};

// SIGINT and SIGTERM set the flag and wake the loop through the pipe; so does
// a message from the broker's thread.
volatile std::sig_atomic_t g_stop = 0;
int g_wake[2] = {-1, -1};

void wake()
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_wake[1], &byte, 1);
}

void onStopSignal(int)
{
    g_stop = 1;
    wake();
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// One JSON value as compact text: "\"a1\"", 17, true.
QByteArray jsonText(const QJsonValue &value)
{
    return QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
}

// Up to this many command ids per bridge are remembered, so a command the
// broker delivers again (QoS 1 after a lost acknowledgement) is answered from
// memory instead of being run a second time.
constexpr std::size_t RememberedIds = 1000;

struct Received {
    QString addressText; // the topic level, as it came
    QByteArray payload;
};

struct SupplyState {
    SupplyRef supply;
    const ModelEntry *model = nullptr;
    QByteArray lastState;      // the last state payload, published again on reconnect
    bool answering = false;    // the last poll got its replies
    bool everPolled = false;
    QString cause;             // why the last poll failed
    QString failsafeNote;      // what the failsafe did, to publish when the link returns
};

class Bridge
{
public:
    Bridge(const LineOptions &line, const BridgeOptions &options, std::FILE *err);
    ~Bridge();
    int run();

    // Called in libmosquitto's thread.
    void onConnect(int rc);
    void onDisconnect(int rc);
    void onMessage(const mosquitto_message *message);
    void onPublish(int mid);

private:
    QString topic(int address, const char *leaf) const;
    QString benchTopic(const char *leaf) const;
    void connectAtStart();
    void publish(const QString &topic, const QByteArray &payload, int qos, bool retain, int *mid = nullptr);
    void announceOnline();
    void announceDiscovery();
    void pollAll();
    void pollOne(SupplyState &state);
    void portLost(const QString &cause);
    bool portReady();
    void handleReceived(const Received &received);
    void runCommand(SupplyState &state, const QByteArray &payload);
    void result(const QString &addressText, QJsonObject answer);
    void checkFailsafe();
    // After a (re)connection: online, discovery, the last states and what the
    // failsafe did. Returns whether the link is up.
    bool takeConnection();
    qint64 commandEstimateUs(const Received &received) const;
    void waitUntil(Clock::time_point when);
    void stopCleanly();

    LineOptions m_line;
    BridgeOptions m_options;
    std::FILE *m_err;
    QString m_bench;
    std::vector<SupplyState> m_states;
    std::unique_ptr<RtuMaster> m_master;
    bool m_portLost = false;
    Clock::time_point m_nextReopen;
    qint64 m_exchangeUs = 0; // the time one request and its reply took, from the last poll
    mosquitto *m_mosq = nullptr;

    // Shared with libmosquitto's thread.
    std::mutex m_mutex;
    std::deque<Received> m_received;
    bool m_connected = false;
    bool m_justConnected = false;
    int m_connack = -1;              // the broker's answer to the first CONNECT
    Clock::time_point m_lostAt;      // when the link went, while it is gone
    std::atomic<int> m_lastAcked{0};

    bool m_failsafeDone = false;
    std::deque<QByteArray> m_idOrder;
    std::map<QByteArray, QJsonObject> m_answered; // address/id -> the result given
};

extern "C" {
void bridgeConnect(mosquitto *, void *obj, int rc)
{
    static_cast<Bridge *>(obj)->onConnect(rc);
}
void bridgeDisconnect(mosquitto *, void *obj, int rc)
{
    static_cast<Bridge *>(obj)->onDisconnect(rc);
}
void bridgeMessage(mosquitto *, void *obj, const mosquitto_message *message)
{
    static_cast<Bridge *>(obj)->onMessage(message);
}
void bridgePublish(mosquitto *, void *obj, int mid)
{
    static_cast<Bridge *>(obj)->onPublish(mid);
}
}

QString readPassword(const BridgeOptions &options)
{
    if (!options.passwordFile.isEmpty()) {
        QFile file(options.passwordFile);
        if (!file.open(QIODevice::ReadOnly))
            Fail(ExitUsage, QStringLiteral("cannot read the password file %1: %2").arg(options.passwordFile, file.errorString()));
        QByteArray text = file.readLine();
        while (text.endsWith('\n') || text.endsWith('\r'))
            text.chop(1);
        return QString::fromUtf8(text);
    }
    return qEnvironmentVariable("PSUCTL_MQTT_PASSWORD");
}

// A topic level and a discovery object id may hold letters, digits, _ and -.
QString idPart(const QString &text)
{
    QString part = text;
    static const QRegularExpression other(QStringLiteral("[^A-Za-z0-9_-]"));
    return part.replace(other, QStringLiteral("_"));
}

Bridge::Bridge(const LineOptions &line, const BridgeOptions &options, std::FILE *err)
    : m_line(line), m_options(options), m_err(err)
{
    m_bench = options.bench;
    if (m_bench.isEmpty()) {
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        m_bench = idPart(QString::fromLocal8Bit(host).section(QLatin1Char('.'), 0, 0));
    }
    for (const SupplyRef &supply : options.supplies) {
        SupplyState state;
        state.supply = supply;
        state.model = FindModel(supply.modelItem);
        m_states.push_back(state);
    }
}

Bridge::~Bridge()
{
    if (m_mosq) {
        mosquitto_loop_stop(m_mosq, true);
        mosquitto_destroy(m_mosq);
    }
    mosquitto_lib_cleanup();
}

QString Bridge::topic(int address, const char *leaf) const
{
    return QStringLiteral("%1/%2/%3/%4").arg(m_options.prefix, m_bench).arg(address).arg(QLatin1String(leaf));
}

QString Bridge::benchTopic(const char *leaf) const
{
    return QStringLiteral("%1/%2/%3").arg(m_options.prefix, m_bench, QLatin1String(leaf));
}

void Bridge::publish(const QString &topic, const QByteArray &payload, int qos, bool retain, int *mid)
{
    const QByteArray name = topic.toUtf8();
    const int rc = mosquitto_publish(m_mosq, mid, name.constData(), int(payload.size()), payload.constData(), qos, retain);
    if (m_line.verbose) {
        const qint64 wallUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
        std::fprintf(m_err, "mqtt publish %s at %lld.%06lld%s\n", name.constData(), wallUs / 1000000,
                     wallUs % 1000000, rc == MOSQ_ERR_SUCCESS ? "" : "  (not connected)");
        std::fflush(m_err);
    }
}

void Bridge::connectAtStart()
{
    mosquitto_lib_init();
    const QString clientId =
        m_options.clientId.isEmpty() ? QStringLiteral("psuctl-%1-%2").arg(m_options.prefix, m_bench) : m_options.clientId;
    // A session the broker keeps: commands sent with QoS 1 while the bridge
    // is away wait for it.
    m_mosq = mosquitto_new(clientId.toUtf8().constData(), false, this);
    if (!m_mosq)
        Fail(ExitPort, QStringLiteral("cannot make an MQTT client: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    mosquitto_connect_callback_set(m_mosq, bridgeConnect);
    mosquitto_disconnect_callback_set(m_mosq, bridgeDisconnect);
    mosquitto_message_callback_set(m_mosq, bridgeMessage);
    mosquitto_publish_callback_set(m_mosq, bridgePublish);
    mosquitto_reconnect_delay_set(m_mosq, 1, 4, true);
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);

    QString username = m_options.username.isEmpty() ? qEnvironmentVariable("PSUCTL_MQTT_USERNAME") : m_options.username;
    const QString password = readPassword(m_options);
    if (!password.isEmpty() && username.isEmpty())
        Fail(ExitUsage, QStringLiteral("a password needs a user name (--username or PSUCTL_MQTT_USERNAME)"));
    if (!username.isEmpty())
        mosquitto_username_pw_set(m_mosq, username.toUtf8().constData(),
                                  password.isEmpty() ? nullptr : password.toUtf8().constData());
    if (!m_options.caFile.isEmpty()) {
        const int rc = mosquitto_tls_set(m_mosq, m_options.caFile.toLocal8Bit().constData(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            Fail(ExitUsage, QStringLiteral("cannot use the CA file %1: %2")
                                .arg(m_options.caFile, QString::fromLocal8Bit(mosquitto_strerror(rc))));
    }
    const QByteArray will = benchTopic("status").toUtf8();
    mosquitto_will_set(m_mosq, will.constData(), 7, "offline", 1, true);

    const int port = m_options.port ? m_options.port : (m_options.caFile.isEmpty() ? 1883 : 8883);
    const QString where = QStringLiteral("%1:%2").arg(m_options.host).arg(port);
    const int keepAlive = 10;
    int rc = mosquitto_connect(m_mosq, m_options.host.toUtf8().constData(), port, keepAlive);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (rc == MOSQ_ERR_SUCCESS && Clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_connack >= 0)
                break;
        }
        rc = mosquitto_loop(m_mosq, 100, 1);
    }
    int connack;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        connack = m_connack;
    }
    if (connack > 0)
        Fail(ExitPort, QStringLiteral("the broker at %1 refused the connection: %2%3")
                           .arg(where, QString::fromLatin1(mosquitto_connack_string(connack)),
                                connack == 4 || connack == 5
                                    ? QStringLiteral(" (check --username and the password file or PSUCTL_MQTT_PASSWORD)")
                                    : QString()));
    if (rc == MOSQ_ERR_TLS)
        Fail(ExitPort, QStringLiteral("the TLS handshake with the broker at %1 failed (is %2 the CA that signed its "
                                      "certificate, and is the host name the one in it?)")
                           .arg(where, m_options.caFile));
    if (rc == MOSQ_ERR_ERRNO)
        Fail(ExitPort, QStringLiteral("cannot reach the broker at %1: %2").arg(where, QString::fromLocal8Bit(std::strerror(errno))));
    if (rc != MOSQ_ERR_SUCCESS)
        Fail(ExitPort, QStringLiteral("cannot reach the broker at %1: %2").arg(where, QString::fromLocal8Bit(mosquitto_strerror(rc))));
    if (connack < 0)
        Fail(ExitPort, QStringLiteral("the broker at %1 did not answer the connection within 10 s").arg(where));
    PrintLine(m_err, QStringLiteral("psuctl: connected to the broker at %1 as %2").arg(where, clientId));
    rc = mosquitto_loop_start(m_mosq);
    if (rc != MOSQ_ERR_SUCCESS)
        Fail(ExitPort, QStringLiteral("cannot start the MQTT thread: %1").arg(QString::fromLocal8Bit(mosquitto_strerror(rc))));
}

void Bridge::onConnect(int rc)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_connack < 0)
            m_connack = rc;
        if (rc != 0)
            return;
        m_connected = true;
        m_justConnected = true;
    }
    const QByteArray commands = QStringLiteral("%1/%2/+/set").arg(m_options.prefix, m_bench).toUtf8();
    mosquitto_subscribe(m_mosq, nullptr, commands.constData(), 1);
    wake();
}

void Bridge::onDisconnect(int)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_connected)
            m_lostAt = Clock::now();
        m_connected = false;
    }
    wake();
}

void Bridge::onMessage(const mosquitto_message *message)
{
    const QStringList levels = QString::fromUtf8(message->topic).split(QLatin1Char('/'));
    if (levels.size() < 2 || levels.last() != QLatin1String("set"))
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.push_back({levels.at(levels.size() - 2),
                              QByteArray(static_cast<const char *>(message->payload), message->payloadlen)});
    }
    wake();
}

void Bridge::onPublish(int mid)
{
    m_lastAcked = mid;
    wake();
}

void Bridge::announceOnline()
{
    publish(benchTopic("status"), "online", 1, true);
    if (m_options.homeAssistant)
        announceDiscovery();
    for (const SupplyState &state : m_states) {
        if (!state.lastState.isEmpty())
            publish(topic(state.supply.address, "state"), state.lastState, 0, true);
        if (state.everPolled)
            publish(topic(state.supply.address, "availability"), state.answering ? "online" : "offline", 1, true);
    }
}

void Bridge::announceDiscovery()
{
    const QString node = idPart(QStringLiteral("psuctl_%1_%2").arg(m_options.prefix, m_bench));
    for (const SupplyState &state : m_states) {
        const int address = state.supply.address;
        const ModelEntry &model = *state.model;
        const QString object = QStringLiteral("%1_%2").arg(node).arg(address);
        const QJsonObject device{
            {QStringLiteral("identifiers"), QJsonArray{object}},
            {QStringLiteral("name"), QStringLiteral("%1 %2").arg(m_bench).arg(address)},
            {QStringLiteral("model"), QLatin1String(model.caption)},
        };
        const QJsonArray availability{
            QJsonObject{{QStringLiteral("topic"), benchTopic("status")}},
            QJsonObject{{QStringLiteral("topic"), topic(address, "availability")}},
        };
        const auto base = [&](const QString &key, const QString &name) {
            return QJsonObject{
                {QStringLiteral("name"), name},
                {QStringLiteral("unique_id"), object + QLatin1Char('_') + key},
                {QStringLiteral("object_id"), object + QLatin1Char('_') + key},
                {QStringLiteral("state_topic"), topic(address, "state")},
                {QStringLiteral("availability"), availability},
                {QStringLiteral("availability_mode"), QStringLiteral("all")},
                {QStringLiteral("device"), device},
            };
        };
        const auto announce = [&](const char *component, const QString &key, const QJsonObject &config) {
            publish(QStringLiteral("%1/%2/%3/%4/config")
                        .arg(m_options.discoveryPrefix, QLatin1String(component), object, key),
                    compact(config), 1, true);
        };
        struct Sensor {
            const char *key, *name, *unit, *deviceClass;
        };
        for (const Sensor &sensor : {Sensor{"voltage", "Voltage", "V", "voltage"}, Sensor{"current", "Current", "A", "current"},
                                     Sensor{"power", "Power", "W", "power"}}) {
            QJsonObject config = base(QLatin1String(sensor.key), QLatin1String(sensor.name));
            config[QStringLiteral("value_template")] = QStringLiteral("{{ value_json.%1 }}").arg(QLatin1String(sensor.key));
            config[QStringLiteral("unit_of_measurement")] = QLatin1String(sensor.unit);
            config[QStringLiteral("device_class")] = QLatin1String(sensor.deviceClass);
            config[QStringLiteral("state_class")] = QStringLiteral("measurement");
            announce("sensor", QLatin1String(sensor.key), config);
        }
        QJsonObject output = base(QStringLiteral("output"), QStringLiteral("Output"));
        output[QStringLiteral("command_topic")] = topic(address, "set");
        output[QStringLiteral("payload_on")] = QStringLiteral("{\"output\":\"on\"}");
        output[QStringLiteral("payload_off")] = QStringLiteral("{\"output\":\"off\"}");
        output[QStringLiteral("value_template")] = QStringLiteral("{{ value_json.output }}");
        output[QStringLiteral("state_on")] = QStringLiteral("on");
        output[QStringLiteral("state_off")] = QStringLiteral("off");
        output[QStringLiteral("qos")] = 1;
        announce("switch", QStringLiteral("output"), output);
        struct Number {
            const char *key, *name, *field, *unit;
            quint16 limit, scale;
            int decimals;
        };
        for (const Number &number :
             {Number{"voltage_set", "Voltage setpoint", "voltage", "V", model.voltageLimit, model.voltageScale, model.voltageDecimals},
              Number{"current_set", "Current setpoint", "current", "A", model.currentLimit, model.currentScale,
                     model.currentDecimals}}) {
            QJsonObject config = base(QLatin1String(number.key), QLatin1String(number.name));
            config[QStringLiteral("command_topic")] = topic(address, "set");
            config[QStringLiteral("command_template")] =
                QStringLiteral("{\"%1\": {{ value }} }").arg(QLatin1String(number.field));
            config[QStringLiteral("value_template")] = QStringLiteral("{{ value_json.%1 }}").arg(QLatin1String(number.key));
            config[QStringLiteral("min")] = 0;
            config[QStringLiteral("max")] = FormatScaled(number.limit, number.scale, number.decimals).toDouble();
            config[QStringLiteral("step")] = FormatScaled(1, number.scale, number.decimals).toDouble();
            config[QStringLiteral("unit_of_measurement")] = QLatin1String(number.unit);
            config[QStringLiteral("mode")] = QStringLiteral("box");
            config[QStringLiteral("qos")] = 1;
            announce("number", QLatin1String(number.key), config);
        }
    }
}

bool Bridge::portReady()
{
    if (!m_portLost)
        return true;
    if (Clock::now() < m_nextReopen)
        return false;
    m_nextReopen = Clock::now() + std::chrono::seconds(1);
    auto master = std::make_unique<RtuMaster>(m_line, m_err);
    try {
        master->open();
    } catch (const CtlError &) {
        return false;
    }
    m_master = std::move(master);
    m_portLost = false;
    PrintLine(m_err, QStringLiteral("psuctl: %1: %2 is back").arg(TimeNow(), m_master->device()));
    return true;
}

void Bridge::portLost(const QString &cause)
{
    PrintLine(m_err, QStringLiteral("psuctl: %1: the port is lost (%2); opening it again every second").arg(TimeNow(), cause));
    m_master.reset();
    m_portLost = true;
    m_nextReopen = Clock::now() + std::chrono::seconds(1);
}

void Bridge::pollOne(SupplyState &state)
{
    const int address = state.supply.address;
    const bool wasAnswering = state.answering || !state.everPolled;
    try {
        const StatusSample reading = ReadStatusSample(*m_master, address, *state.model);
        state.lastState = FormatReading(reading, ReadingFormat::Json).toUtf8();
        publish(topic(address, "state"), state.lastState, 0, true);
        if (!state.answering || !state.everPolled)
            publish(topic(address, "availability"), "online", 1, true);
        if (!wasAnswering)
            PrintLine(m_err, QStringLiteral("psuctl: %1: address %2 answers again").arg(TimeNow()).arg(address));
        state.answering = true;
        state.cause.clear();
    } catch (const CtlError &error) {
        if (error.exitCode() == ExitPort) {
            state.everPolled = true;
            throw;
        }
        if (wasAnswering) {
            PrintLine(m_err, QStringLiteral("psuctl: %1: %2").arg(TimeNow(), error.text()));
            publish(topic(address, "availability"), "offline", 1, true);
        }
        state.answering = false;
        state.cause = error.text();
    }
    state.everPolled = true;
}

void Bridge::pollAll()
{
    if (!portReady())
        return;
    const Clock::time_point start = Clock::now();
    int exchanges = 0;
    try {
        for (SupplyState &state : m_states) {
            pollOne(state);
            exchanges += state.answering ? 2 : 0;
        }
    } catch (const CtlError &error) {
        for (SupplyState &state : m_states) {
            if (state.answering)
                publish(topic(state.supply.address, "availability"), "offline", 1, true);
            state.answering = false;
            state.cause = error.text();
        }
        portLost(error.text());
        return;
    }
    if (exchanges)
        m_exchangeUs = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count() / exchanges;
}

qint64 Bridge::commandEstimateUs(const Received &received) const
{
    // A write and its read-back for each value in the command.
    int values = 0;
    const QJsonObject object = QJsonDocument::fromJson(received.payload).object();
    for (const QString &key : object.keys())
        values += key != QLatin1String("id");
    return qint64(values) * 2 * m_exchangeUs;
}

void Bridge::result(const QString &addressText, QJsonObject answer)
{
    answer[QStringLiteral("time")] = TimeNow();
    publish(QStringLiteral("%1/%2/%3/result").arg(m_options.prefix, m_bench, addressText), compact(answer), 1, false);
}

void Bridge::handleReceived(const Received &received)
{
    bool isNumber = false;
    const int address = received.addressText.toInt(&isNumber);
    SupplyState *state = nullptr;
    for (SupplyState &candidate : m_states) {
        if (isNumber && candidate.supply.address == address)
            state = &candidate;
    }
    if (!state) {
        QStringList listed;
        for (const SupplyState &candidate : m_states)
            listed << QString::number(candidate.supply.address);
        QJsonObject answer{{QStringLiteral("ok"), false},
                           {QStringLiteral("error"), QStringLiteral("address %1 is not on this bench's list (%2)")
                                                         .arg(received.addressText, listed.join(QStringLiteral(", ")))}};
        const QJsonDocument document = QJsonDocument::fromJson(received.payload);
        if (document.isObject() && document.object().contains(QStringLiteral("id")))
            answer[QStringLiteral("id")] = document.object().value(QStringLiteral("id"));
        result(received.addressText, answer);
        return;
    }
    runCommand(*state, received.payload);
}

void Bridge::runCommand(SupplyState &state, const QByteArray &payload)
{
    const int address = state.supply.address;
    const QString addressText = QString::number(address);
    SetValues values;
    const BridgeCommand command = ParseBridgeCommand(payload, *state.model, values);
    QJsonObject answer;
    if (command.id)
        answer[QStringLiteral("id")] = QJsonDocument::fromJson("[" + *command.id + "]").array().first();
    if (!command.error.isEmpty()) {
        answer[QStringLiteral("ok")] = false;
        answer[QStringLiteral("error")] = command.error;
        result(addressText, answer);
        return;
    }
    const QByteArray idKey = command.id ? addressText.toUtf8() + '/' + *command.id : QByteArray();
    if (command.id) {
        const auto done = m_answered.find(idKey);
        if (done != m_answered.end()) {
            QJsonObject again = done->second;
            again[QStringLiteral("repeat")] = true;
            result(addressText, again);
            return;
        }
    }
    const SetPlan plan = PlanSet(values, state.model);
    QJsonArray written;
    if (!portReady()) {
        answer[QStringLiteral("ok")] = false;
        answer[QStringLiteral("error")] = QStringLiteral("the serial port is lost (%1); nothing was sent").arg(state.cause);
    } else if (!state.answering) {
        answer[QStringLiteral("ok")] = false;
        answer[QStringLiteral("error")] = QStringLiteral("address %1 does not answer (%2); nothing was sent").arg(address).arg(state.cause);
    } else {
        try {
            for (const SetWrite &write : plan.writes) {
                WriteAndCheck(*m_master, address, write);
                written.append(QStringLiteral("%1 %2").arg(RegisterText(write.reg), write.shown));
            }
            answer[QStringLiteral("ok")] = true;
        } catch (const CtlError &error) {
            answer[QStringLiteral("ok")] = false;
            answer[QStringLiteral("error")] = error.text();
            if (error.exitCode() == ExitPort)
                portLost(error.text());
        }
        answer[QStringLiteral("written")] = written;
    }
    if (!plan.notes.isEmpty())
        answer[QStringLiteral("notes")] = QJsonArray::fromStringList(plan.notes);
    result(addressText, answer);
    if (command.id && !written.isEmpty()) {
        m_answered[idKey] = answer;
        m_idOrder.push_back(idKey);
        if (m_idOrder.size() > RememberedIds) {
            m_answered.erase(m_idOrder.front());
            m_idOrder.pop_front();
        }
    }
}

void Bridge::checkFailsafe()
{
    if (!m_options.failsafeOffSeconds || m_failsafeDone)
        return;
    Clock::time_point lostAt;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_connected)
            return;
        lostAt = m_lostAt;
    }
    if (Clock::now() - lostAt < std::chrono::seconds(m_options.failsafeOffSeconds))
        return;
    m_failsafeDone = true;
    const QString when = TimeNow();
    for (SupplyState &state : m_states) {
        QString outcome;
        try {
            if (!portReady())
                Fail(ExitPort, QStringLiteral("the serial port is lost"));
            WriteAndCheck(*m_master, state.supply.address, {OutputSwitch, 0, QStringLiteral("off"), true});
            outcome = QStringLiteral("output switched off");
        } catch (const CtlError &error) {
            outcome = QStringLiteral("the output could not be switched off: ") + error.text();
            if (error.exitCode() == ExitPort && !m_portLost)
                portLost(error.text());
        }
        state.failsafeNote = QStringLiteral("failsafe: the broker link was lost for %1 s; at %2 %3")
                                 .arg(m_options.failsafeOffSeconds)
                                 .arg(when, outcome);
        PrintLine(m_err, QStringLiteral("psuctl: address %1: %2").arg(state.supply.address).arg(state.failsafeNote));
    }
}

bool Bridge::takeConnection()
{
    bool connected;
    bool justConnected;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        connected = m_connected;
        justConnected = m_justConnected;
        m_justConnected = false;
    }
    if (!justConnected)
        return connected;
    announceOnline();
    for (SupplyState &state : m_states) {
        if (state.failsafeNote.isEmpty())
            continue;
        result(QString::number(state.supply.address),
               QJsonObject{{QStringLiteral("ok"), true}, {QStringLiteral("failsafe"), true},
                           {QStringLiteral("text"), state.failsafeNote}});
        state.failsafeNote.clear();
    }
    m_failsafeDone = false;
    return connected;
}

void Bridge::waitUntil(Clock::time_point when)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    pollfd wakeFd = {g_wake[0], POLLIN, 0};
    if (::poll(&wakeFd, 1, int(std::clamp<qint64>(left + 1, 0, 1000))) > 0) {
        char drain[64];
        while (::read(g_wake[0], drain, sizeof drain) > 0) {
        }
    }
}

void Bridge::stopCleanly()
{
    if (m_master) {
        try {
            for (SupplyState &state : m_states)
                pollOne(state);
        } catch (const CtlError &) {
        }
    }
    int mid = 0;
    publish(benchTopic("status"), "offline", 1, true, &mid);
    // The offline message is acknowledged after everything published before it.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
    while (m_lastAcked != mid && Clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_connected)
                break;
        }
        waitUntil(std::min(deadline, Clock::now() + std::chrono::milliseconds(50)));
    }
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_stop(m_mosq, false);
}

int Bridge::run()
{
    m_master = std::make_unique<RtuMaster>(m_line, m_err);
    m_master->open();
    connectAtStart();

    const auto interval = std::chrono::milliseconds(m_options.pollMs);
    const Clock::time_point start = Clock::now();
    qint64 slot = 0;
    while (!g_stop) {
        takeConnection();
        pollAll();
        ++slot;
        // Readings keep their rhythm: slots that passed during a slow poll are skipped.
        const qint64 now = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        if (slot * m_options.pollMs < now)
            slot = now / m_options.pollMs + 1;
        const Clock::time_point next = start + slot * interval;
        bool freshGap = true;
        while (!g_stop) {
            const bool connected = takeConnection();
            if (!connected)
                checkFailsafe();
            std::optional<Received> received;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                // A command goes in the gap between polls when it fits there;
                // one that fits in no gap goes right after a poll.
                if (!m_received.empty()
                    && (freshGap
                        || Clock::now() + std::chrono::microseconds(commandEstimateUs(m_received.front())) <= next)) {
                    received = m_received.front();
                    m_received.pop_front();
                }
            }
            if (received) {
                handleReceived(*received);
                freshGap = false;
                continue;
            }
            if (Clock::now() >= next)
                break;
            waitUntil(next);
        }
    }
    stopCleanly();
    return ExitSuccess;
}

} // namespace

BridgeCommand ParseBridgeCommand(const QByteArray &payload, const ModelEntry &model, SetValues &values)
{
    BridgeCommand command;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(payload, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        command.error = QStringLiteral("not JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset);
        return command;
    }
    if (!document.isObject()) {
        command.error = QStringLiteral("not a JSON object");
        return command;
    }
    const QJsonObject object = document.object();
    if (object.contains(QStringLiteral("id"))) {
        const QJsonValue id = object.value(QStringLiteral("id"));
        if (id.isString() || id.isDouble())
            command.id = jsonText(id);
        else {
            command.error = QStringLiteral("id: a string or a number");
            return command;
        }
    }
    QStringList known;
    for (const char *field : CommandFields)
        known << QLatin1String(field);
    QStringList problems;
    QHash<QString, QVariant> given;
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString &name = it.key();
        if (!known.contains(name)) {
            problems << QStringLiteral("unknown field '%1' (%2)").arg(name, known.join(QStringLiteral(", ")));
            continue;
        }
        if (name == QLatin1String("id"))
            continue;
        const QJsonValue value = it.value();
        // A number in the shortest form that reads back the same ("0.1").
        const QString text = value.isString() ? value.toString() : QString::fromUtf8(jsonText(value));
        try {
            given.insert(name, ConvertOptionValue(*FindOption(name, QStringLiteral("set")), name, text));
        } catch (const CtlError &error) {
            problems << error.text();
        }
    }
    values = SetValuesFrom(given);
    if (problems.isEmpty() && values.ovp) {
        const QString refusal = OvpRefusal(*values.ovp, model);
        if (!refusal.isEmpty())
            problems << QStringLiteral("ovp ") + refusal;
    }
    if (problems.isEmpty() && !values.any())
        problems << QStringLiteral("nothing to write (%1)").arg(known.mid(0, known.size() - 1).join(QStringLiteral(", ")));
    if (!problems.isEmpty()) {
        command.error = problems.join(QStringLiteral("; ")) + QStringLiteral("; nothing was sent");
        values = SetValues();
    }
    return command;
}

void CheckMqtt(const Invocation &inv)
{
    for (const SupplyRef &supply : inv.supplies) {
        if (!supply.modelItem)
            UsageError(QStringLiteral("mqtt needs the model of address %1 (-m, or -a %1:MODEL)").arg(supply.address),
                       inv.command);
    }
    const QString broker = inv.text("broker");
    const int colon = int(broker.lastIndexOf(QLatin1Char(':')));
    if (colon >= 0) {
        bool ok = false;
        const int port = broker.mid(colon + 1).toInt(&ok);
        if (!ok || port < 1 || port > 65535 || colon == 0)
            UsageError(QStringLiteral("--broker '%1': HOST or HOST:PORT, the port from 1 to 65535").arg(broker),
                       inv.command);
    }
    for (const char *level : {"prefix", "bench"}) {
        static const QRegularExpression oneLevel(QStringLiteral("^[^/#+]+$"));
        if (inv.has(level) && !oneLevel.match(inv.text(level)).hasMatch())
            UsageError(QStringLiteral("--%1 '%2': one topic level, without / # or +")
                           .arg(QLatin1String(level), inv.text(level)),
                       inv.command);
    }
}

int RunMqtt(const Invocation &inv, std::FILE *, std::FILE *err)
{
    BridgeOptions options;
    options.supplies = inv.supplies;
    const QString broker = inv.text("broker", options.host);
    const int colon = int(broker.lastIndexOf(QLatin1Char(':')));
    options.host = colon < 0 ? broker : broker.left(colon);
    options.port = colon < 0 ? 0 : broker.mid(colon + 1).toInt();
    options.prefix = inv.text("prefix", options.prefix);
    options.bench = inv.text("bench");
    options.pollMs = inv.whole("poll", options.pollMs);
    options.username = inv.text("username");
    options.passwordFile = inv.text("password-file");
    options.caFile = inv.text("cafile");
    options.homeAssistant = inv.has("homeassistant");
    options.discoveryPrefix = inv.text("discovery-prefix", options.discoveryPrefix);
    options.failsafeOffSeconds = inv.whole("failsafe-off");
    options.clientId = inv.text("client-id");
    return RunBridge(inv.line, options, err);
}

int RunBridge(const LineOptions &line, const BridgeOptions &options, std::FILE *err)
{
    g_stop = 0;
    if (g_wake[0] < 0 && ::pipe(g_wake) != 0)
        Fail(ExitPort, QStringLiteral("cannot make a pipe"));
    for (int fd : g_wake)
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    Bridge bridge(line, options, err);
    return bridge.run();
}
