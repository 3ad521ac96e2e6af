#include "ctl/brokerlink.h"
#include "ctl/metricsbench.h"

#include "ctl/ctlerror.h"
#include "ctl/values.h"

#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include <mosquitto.h>
#include <mqtt_protocol.h>

namespace {

// Seconds of silence after which the client library asks the broker for a
// sign of life (the least it takes), and after half as much again without an
// answer drops the link.
constexpr int KeepAliveSeconds = 5;

// How long a CONNECT may wait for the broker's answer.
constexpr auto ConnectTimeout = std::chrono::seconds(10);

// A broker that closes this many connections in a row at start-up before
// answering the login will not take this client's settings: most often a
// plain client on a TLS port, or a TLS client the broker does not accept.
constexpr int DropsBeforeGivingUp = 3;

qint64 steadyNs(SteadyClock::time_point when)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
}

QString libraryText(int rc)
{
    return rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(errno))
                                : QString::fromLatin1(mosquitto_strerror(rc));
}

// A CONNACK that says the login is wrong (MQTT 3.1.1 codes and their MQTT 5
// reason codes): trying again with the same settings cannot help.
bool loginRefused(int connack)
{
    return connack == 4 || connack == 5 || connack == MQTT_RC_BAD_USERNAME_OR_PASSWORD
           || connack == MQTT_RC_NOT_AUTHORIZED || connack == MQTT_RC_BANNED;
}

extern "C" {
void linkConnect(mosquitto *, void *link, int rc)
{
    static_cast<BrokerLink *>(link)->onConnect(rc);
}
void linkDisconnect(mosquitto *, void *link, int rc)
{
    static_cast<BrokerLink *>(link)->onDisconnect(rc);
}
void linkMessage(mosquitto *, void *link, const mosquitto_message *message)
{
    static_cast<BrokerLink *>(link)->onMessage(message);
}
// Called when a message went out: for QoS 0 when it is written to the socket
// (no sign of the broker at all), for QoS 1 when the broker acknowledged it.
void linkPublish(mosquitto *, void *link, int mid)
{
    static_cast<BrokerLink *>(link)->onAcknowledged(mid);
}
void linkSubscribe(mosquitto *, void *link, int, int, const int *)
{
    static_cast<BrokerLink *>(link)->onSubscribed();
}
void linkLog(mosquitto *, void *link, int, const char *text)
{
    static_cast<BrokerLink *>(link)->onLog(text);
}
}

QString firstLine(QFile &file, const QString &what)
{
    if (!file.open(QIODevice::ReadOnly))
        Fail(ExitUsage, QStringLiteral("cannot read %1 %2: %3").arg(what, file.fileName(), file.errorString()));
    QByteArray text = file.readLine();
    while (text.endsWith('\n') || text.endsWith('\r'))
        text.chop(1);
    return QString::fromUtf8(text);
}

} // namespace

BridgeOptions BridgeOptions::From(const Invocation &inv)
{
    BridgeOptions options;
    options.supplies = inv.supplies;
    const QString broker = inv.text("broker");
    const int colon = int(broker.lastIndexOf(QLatin1Char(':')));
    options.host = colon < 0 ? broker : broker.left(colon);
    options.port = colon < 0 ? 0 : broker.mid(colon + 1).toInt();
    options.prefix = inv.text("prefix");
    options.bench = inv.text("bench");
    if (options.bench.isEmpty())
        options.bench = HostName();
    options.pollMs = inv.whole("poll");
    options.username = inv.text("username", qEnvironmentVariable("PSUCTL_MQTT_USERNAME"));
    options.passwordFile = inv.text("password-file");
    options.caFile = inv.text("cafile");
    options.homeAssistant = inv.has("homeassistant");
    options.discoveryPrefix = inv.text("discovery-prefix");
    options.manufacturer = inv.text("manufacturer");
    options.failsafeOffSeconds = inv.whole("failsafe-off");
    options.clientId = inv.text("client-id", QStringLiteral("psuctl-%1-%2").arg(options.prefix, options.bench));
    return options;
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

QString BridgePassword(const BridgeOptions &options)
{
    if (!options.passwordFile.isEmpty()) {
        QFile file(options.passwordFile);
        return firstLine(file, QStringLiteral("the password file"));
    }
    const QString credentials = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
    if (!credentials.isEmpty()) {
        QFile file(credentials + QStringLiteral("/mqtt-password"));
        if (file.exists())
            return firstLine(file, QStringLiteral("the credential"));
    }
    return qEnvironmentVariable("PSUCTL_MQTT_PASSWORD");
}

BrokerLink::BrokerLink(const BridgeOptions &options, bool verbose, std::FILE *err)
    : m_options(options), m_clientId(options.clientId), m_verbose(verbose), m_err(err)
{
    const QString password = BridgePassword(options);
    if (!password.isEmpty() && options.username.isEmpty())
        Fail(ExitUsage, QStringLiteral("a password needs a user name (--username or PSUCTL_MQTT_USERNAME)"));
    if (!options.caFile.isEmpty()) {
        QFile ca(options.caFile);
        if (!ca.open(QIODevice::ReadOnly))
            Fail(ExitUsage, QStringLiteral("cannot read the CA file %1: %2").arg(options.caFile, ca.errorString()));
    }

    mosquitto_lib_init();
    // A session the broker keeps: commands sent with QoS 1 while the bridge
    // is away wait for it.
    m_mosq = mosquitto_new(m_clientId.toUtf8().constData(), false, this);
    if (!m_mosq)
        Fail(ExitPort, QStringLiteral("cannot make an MQTT client: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    mosquitto_threaded_set(m_mosq, true);
    mosquitto_connect_callback_set(m_mosq, linkConnect);
    mosquitto_disconnect_callback_set(m_mosq, linkDisconnect);
    mosquitto_message_callback_set(m_mosq, linkMessage);
    mosquitto_publish_callback_set(m_mosq, linkPublish);
    mosquitto_subscribe_callback_set(m_mosq, linkSubscribe);
    mosquitto_log_callback_set(m_mosq, linkLog);
    mosquitto_reconnect_delay_set(m_mosq, 1, 4, true);
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    // MQTT 5, for the retained flag of every message as it was published.
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    if (!options.username.isEmpty())
        mosquitto_username_pw_set(m_mosq, options.username.toUtf8().constData(),
                                  password.isEmpty() ? nullptr : password.toUtf8().constData());
    if (!options.caFile.isEmpty()) {
        const int rc = mosquitto_tls_set(m_mosq, options.caFile.toLocal8Bit().constData(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            Fail(ExitUsage, QStringLiteral("cannot use the CA file %1: %2").arg(options.caFile, libraryText(rc)));
    }
    m_lastSignNs = steadyNs(SteadyClock::now());
}

BrokerLink::~BrokerLink()
{
    if (m_thread.joinable()) {
        {
            // Under the lock, so that a thread about to wait between attempts sees it.
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_stopped.notify_all();
        if (m_everConnected)
            mosquitto_disconnect(m_mosq);
        if (!m_everConnected) {
            // Between attempts the thread sees the stop at once; inside a
            // connection attempt to a host that does not answer it may not
            // for long: then it is left to the process's end, with the
            // client it uses.
            const SteadyClock::time_point giveUp = SteadyClock::now() + std::chrono::seconds(2);
            while (!m_threadDone && SteadyClock::now() < giveUp)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!m_threadDone) {
                m_thread.detach();
                return;
            }
        }
        m_thread.join();
    }
    if (m_mosq)
        mosquitto_destroy(m_mosq);
    mosquitto_lib_cleanup();
}

void BrokerLink::start(const QStringList &filters, const QString &willTopic)
{
    m_filters = filters;
    const QByteArray will = willTopic.toUtf8();
    mosquitto_will_set(m_mosq, will.constData(), 7, "offline", 1, true);
    // From now on the failsafe counts: a broker away at start-up is a broker lost.
    m_lastSignNs = steadyNs(SteadyClock::now());
    m_thread = std::thread(&BrokerLink::run, this);
}

void BrokerLink::run()
{
    connectUntilUp();
    // Reconnects by itself until mosquitto_disconnect().
    if (!m_stopping && !refusal())
        mosquitto_loop_forever(m_mosq, 1000, 1);
    m_threadDone = true;
}

void BrokerLink::connectUntilUp()
{
    const QString where = m_options.brokerText();
    const QByteArray host = m_options.host.toUtf8();
    QString told;
    int delay = 1;
    int drops = 0;
    while (!m_stopping) {
        m_connack = -1;
        // The session outlives the connection (a day), as MQTT 3.1.1's clean session off did.
        mosquitto_property *properties = nullptr;
        mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 86400);
        int rc = mosquitto_connect_bind_v5(m_mosq, host.constData(), m_options.brokerPort(), KeepAliveSeconds, nullptr,
                                           properties);
        mosquitto_property_free_all(&properties);
        const bool reached = rc == MOSQ_ERR_SUCCESS;
        const SteadyClock::time_point deadline = SteadyClock::now() + ConnectTimeout;
        while (rc == MOSQ_ERR_SUCCESS && m_connack < 0 && !m_stopping && SteadyClock::now() < deadline)
            rc = mosquitto_loop(m_mosq, 100, 1);
        const int connack = m_connack;
        if (connack == 0)
            return;
        if (m_stopping)
            return;
        if (connack > 0 && loginRefused(connack)) {
            refuse(QStringLiteral("the broker at %1 refused the login: %2 (check --username and the password)")
                       .arg(where, QString::fromLatin1(m_options.username.isEmpty() && connack != MQTT_RC_BANNED
                                                           ? "no user name given"
                                                           : mosquitto_reason_string(connack))));
            return;
        }
        if (rc == MOSQ_ERR_TLS) {
            refuse(QStringLiteral("the TLS handshake with the broker at %1 failed (is %2 the CA that signed its "
                                  "certificate, is the host name the one in it, and is %1 a TLS port?)")
                       .arg(where, m_options.caFile));
            return;
        }
        const bool dropped = connack < 0 && reached && rc != MOSQ_ERR_SUCCESS;
        drops = dropped ? drops + 1 : 0;
        const QString tlsHint = m_options.caFile.isEmpty()
                                    ? QStringLiteral("is it a TLS port? Then give --cafile with the CA that signed its certificate")
                                    : QStringLiteral("its log says why");
        if (drops >= DropsBeforeGivingUp) {
            refuse(QStringLiteral("the broker at %1 closed the connection %2 times in a row before answering the login "
                                  "(%3): %4")
                       .arg(where)
                       .arg(drops)
                       .arg(libraryText(rc), tlsHint));
            return;
        }
        QString why;
        if (connack > 0)
            why = QStringLiteral("the broker at %1 turned the connection away: %2")
                      .arg(where, QString::fromLatin1(mosquitto_reason_string(connack)));
        else if (dropped)
            why = QStringLiteral("the broker at %1 closed the connection before answering the login (%2): %3")
                      .arg(where, libraryText(rc), tlsHint);
        else if (reached)
            why = QStringLiteral("the broker at %1 did not answer the connection within %2 s")
                      .arg(where)
                      .arg(std::chrono::duration_cast<std::chrono::seconds>(ConnectTimeout).count());
        else if (rc == MOSQ_ERR_EAI)
            why = QStringLiteral("cannot find the broker's host %1").arg(m_options.host);
        else
            why = QStringLiteral("cannot reach the broker at %1: %2").arg(where, libraryText(rc));
        // One line for the whole wait, or a new one when the reason changes.
        if (why != told)
            PrintLine(m_err, QStringLiteral("psuctl: %1: %2; trying again every 1 to 4 s").arg(TimeNow(), why));
        told = why;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_stopped.wait_for(lock, std::chrono::seconds(delay), [this] { return bool(m_stopping); });
        delay = std::min(delay * 2, 4);
    }
}

void BrokerLink::refuse(const QString &why)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_refusal = why;
    }
    WakeWaiter();
}

std::optional<QString> BrokerLink::refusal() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_refusal;
}

void BrokerLink::stop(int lastMid)
{
    if (m_connected && lastMid) {
        // The last message published is acknowledged after everything before it.
        const SteadyClock::time_point deadline = SteadyClock::now() + std::chrono::seconds(3);
        while (m_connected && m_lastAcked != lastMid && SteadyClock::now() < deadline)
            WaitUntil(std::min(deadline, SteadyClock::now() + std::chrono::milliseconds(50)));
    }
    m_stopping = true;
    m_stopped.notify_all();
    if (m_everConnected) {
        mosquitto_disconnect(m_mosq);
        m_thread.join();
    }
}

void BrokerLink::publish(const QString &topic, const QByteArray &payload, int qos, bool retain, int *mid)
{
    const QByteArray name = topic.toUtf8();
    int sent = 0;
    int rc;
    {
        // The broker's acknowledgement may come before mosquitto_publish
        // returns; it waits here until the message is noted as awaited.
        std::lock_guard<std::mutex> lock(m_ackMutex);
        rc = mosquitto_publish(m_mosq, &sent, name.constData(), int(payload.size()), payload.constData(), qos, retain);
        if (rc == MOSQ_ERR_SUCCESS && qos > 0)
            m_awaited.insert(sent);
    }
    if (mid)
        *mid = sent;
    if (m_verbose) {
        const qint64 wallUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
        std::fprintf(m_err, "mqtt publish %s at %lld.%06lld%s\n", name.constData(), wallUs / 1000000,
                     wallUs % 1000000, rc == MOSQ_ERR_SUCCESS ? "" : "  (not connected)");
        std::fflush(m_err);
    }
}

void BrokerLink::publishAsking(const QString &topic, const QByteArray &payload, bool retain)
{
    bool ask;
    {
        std::lock_guard<std::mutex> lock(m_ackMutex);
        ask = m_connected && !m_awaited.count(m_askingMid);
    }
    int mid = 0;
    publish(topic, payload, ask ? 1 : 0, retain, &mid);
    if (ask)
        m_askingMid = mid;
}

SteadyClock::time_point BrokerLink::lastSignOfLife() const
{
    return SteadyClock::time_point(std::chrono::nanoseconds(m_lastSignNs.load()));
}

std::optional<BrokerLink::Message> BrokerLink::takeMessage(const std::function<bool(const Message &)> &fits)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_received.empty() || !fits(m_received.front()))
        return std::nullopt;
    Message message = m_received.front();
    m_received.pop_front();
    return message;
}

void BrokerLink::signOfLife()
{
    m_lastSignNs = steadyNs(SteadyClock::now());
}

void BrokerLink::onConnect(int rc)
{
    m_connack = rc;
    if (rc != 0) {
        if (m_everConnected && loginRefused(rc))
            refuse(QStringLiteral("the broker at %1 refused the login: %2 (check --username and the password)")
                       .arg(m_options.brokerText(), QString::fromLatin1(mosquitto_reason_string(rc))));
        return;
    }
    signOfLife();
    const QString where = m_options.brokerText();
    PrintLine(m_err, m_everConnected ? QStringLiteral("psuctl: %1: the broker at %2 is back").arg(TimeNow(), where)
                                     : QStringLiteral("psuctl: %1: connected to the broker at %2 as %3")
                                           .arg(TimeNow(), where, m_clientId));
    for (const QString &filter : m_filters) {
        // Retained messages keep their flag, so the bridge can tell them from
        // commands sent now.
        mosquitto_subscribe_v5(m_mosq, nullptr, filter.toUtf8().constData(), 1, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED,
                               nullptr);
    }
    m_everConnected = true;
    m_connected = true;
    m_justConnected = true;
    WakeWaiter();
}

void BrokerLink::onDisconnect(int rc)
{
    if (m_connected.exchange(false) && !m_stopping)
        PrintLine(m_err, QStringLiteral("psuctl: %1: the broker at %2 is lost (%3); reconnecting every 1 to 4 s")
                             .arg(TimeNow(), m_options.brokerText(), libraryText(rc)));
    WakeWaiter();
}

void BrokerLink::onMessage(const mosquitto_message *message)
{
    signOfLife();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.push_back({QString::fromUtf8(message->topic),
                              QByteArray(static_cast<const char *>(message->payload), message->payloadlen),
                              message->retain});
    }
    WakeWaiter();
}

void BrokerLink::onAcknowledged(int mid)
{
    {
        std::lock_guard<std::mutex> lock(m_ackMutex);
        if (!m_awaited.erase(mid))
            return;
    }
    signOfLife();
    m_lastAcked = mid;
    WakeWaiter();
}

void BrokerLink::onSubscribed()
{
    signOfLife();
}

void BrokerLink::onLog(const char *text)
{
    // The keep-alive's answer has no callback of its own.
    if (std::strstr(text, "received PINGRESP"))
        signOfLife();
}
