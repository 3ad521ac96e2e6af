#pragma once

#include "ctl/cli.h"
#include "ctl/service.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

struct mosquitto;
struct mosquitto_message;

// Everything psuctl mqtt is told, as the option parser checked it.
struct BridgeOptions {
    QVector<SupplyRef> supplies;    // each with its model
    QString host;
    int port = 0;                      // 0: 1883, or 8883 with a CA file
    QString prefix;
    QString bench;                     // the host name when --bench is not given
    int pollMs = 0;
    QString username;                  // --username or $PSUCTL_MQTT_USERNAME
    QString passwordFile;              // empty: $PSUCTL_MQTT_PASSWORD
    QString caFile;                    // TLS with this CA when given
    bool homeAssistant = false;        // retained discovery messages
    QString discoveryPrefix;
    QString manufacturer;              // the supplies' maker, for the discovery's devices
    int failsafeOffSeconds = 0;        // 0: no failsafe
    QString clientId;                  // psuctl-PREFIX-BENCH when --client-id is not given

    // The mqtt command's options, with the table's defaults for those not given.
    static BridgeOptions From(const Invocation &inv);
    int brokerPort() const { return port ? port : (caFile.isEmpty() ? 1883 : 8883); }
    QString brokerText() const { return QStringLiteral("%1:%2").arg(host).arg(brokerPort()); }
};

// The mqtt command's check of options that go together.
void CheckMqtt(const Invocation &inv);

// The password the bridge logs in with: the first line of --password-file,
// else of the credential "mqtt-password" that systemd's LoadCredential=
// hands over in $CREDENTIALS_DIRECTORY, else $PSUCTL_MQTT_PASSWORD; empty for
// none. Raises CtlError (ExitUsage) for a file that cannot be read.
QString BridgePassword(const BridgeOptions &options);

// The bridge's link to the broker. A thread of its own connects, trying again
// every 1 to 4 s while the broker cannot be reached (also at start-up), then
// runs the client library's network loop, which reconnects by itself. The
// loss of the link and its return are one line each on err. A broker that
// refuses the login, a TLS handshake that fails, or a broker that closes the
// connection before answering the login three times in a row at start-up (a
// plain client on a TLS port), ends the link for good: refusal() then says
// why, and WakeWaiter() wakes the bridge to end.
//
// Every packet from the broker (an acknowledgement, a keep-alive answer, a
// message) is a sign of life; lastSignOfLife() is when the last came.
class BrokerLink
{
public:
    struct Message {
        QString topic;
        QByteArray payload;
        bool retained;
    };

    // Raises CtlError (ExitUsage) for a CA file or password file that cannot be read.
    BrokerLink(const BridgeOptions &options, bool verbose, std::FILE *err);
    ~BrokerLink();

    // Connects, subscribing to the filters (QoS 1) at each connection; the
    // will goes to willTopic.
    void start(const QStringList &filters, const QString &willTopic);
    // Disconnects once the QoS 1 message lastMid is acknowledged (at most 3 s).
    void stop(int lastMid);

    void publish(const QString &topic, const QByteArray &payload, int qos, bool retain, int *mid = nullptr);
    // A message that also asks the broker for a sign of life: sent with QoS 1
    // when the one that asked before has been acknowledged, else with QoS 0.
    void publishAsking(const QString &topic, const QByteArray &payload, bool retain);

    bool connected() const { return m_connected; }
    // True once after each connection is made.
    bool takeJustConnected() { return m_justConnected.exchange(false); }
    SteadyClock::time_point lastSignOfLife() const;
    // Set once the broker refused the login or TLS failed.
    std::optional<QString> refusal() const;
    // The oldest message received, when fits says it may go now.
    std::optional<Message> takeMessage(const std::function<bool(const Message &)> &fits);

    // Called in the link's thread, from the client library.
    void onConnect(int rc);
    void onDisconnect(int rc);
    void onMessage(const mosquitto_message *message);
    void onAcknowledged(int mid);
    void onSubscribed();
    void onLog(const char *text);

private:
    void run();
    void connectUntilUp();
    void signOfLife();
    void refuse(const QString &why);

    BridgeOptions m_options;
    QString m_clientId;
    QStringList m_filters;
    bool m_verbose;
    std::FILE *m_err;
    mosquitto *m_mosq = nullptr;
    std::thread m_thread;

    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_justConnected{false};
    std::atomic<bool> m_everConnected{false};
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_threadDone{false};
    std::atomic<int> m_connack{-1};        // the broker's answer to the CONNECT under way
    std::atomic<qint64> m_lastSignNs{0};   // steady clock
    std::atomic<int> m_askingMid{0};       // the last message that asked for a sign of life
    std::atomic<int> m_lastAcked{0};

    std::mutex m_ackMutex;
    std::set<int> m_awaited;               // QoS 1 messages not yet acknowledged
    mutable std::mutex m_mutex;
    std::condition_variable m_stopped;
    std::deque<Message> m_received;
    std::optional<QString> m_refusal;
};
