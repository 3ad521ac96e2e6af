#include "ctl/mqttbridge.h"

#include "ctl/ctlerror.h"
#include "ctl/discovery.h"
#include "ctl/supplyio.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <vector>

namespace {

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The bridge: reads the supplies on a rhythm and publishes each reading; takes
// commands in the gaps between rounds; switches the outputs off when the
// broker gives no sign of life for the failsafe's time.
class Bridge
{
public:
    Bridge(const LineOptions &line, const BridgeOptions &options, std::FILE *err);
    int run();

private:
    struct SupplyState {
        SupplyRef supply;
        const ModelEntry *model = nullptr;
        QByteArray lastState;      // the last state payload, published again on reconnect
        bool answering = false;    // the last poll got its replies
        bool everPolled = false;
        bool toldLost = false;     // a line on err said it stopped answering
        QString cause;             // why the last poll failed
        QString failsafeNote;      // what the failsafe did, to publish when the link returns
        QJsonObject failsafe;      // the failsafe's retained notice, until a command after the outage
    };

    QString topic(int address, const char *leaf) const;
    QString benchTopic(const char *leaf) const;
    SupplyState *stateOf(int address);
    void takeConnection();
    void pollAll();
    void pollOne(SupplyState &state, RtuMaster &master);
    void handle(const BrokerLink::Message &message);
    void clearDroppedDiscovery(const BrokerLink::Message &message);
    void runCommand(SupplyState &state, const QByteArray &payload);
    void result(const QString &addressText, QJsonObject answer, const std::optional<QByteArray> &id = std::nullopt);
    void checkFailsafe();
    void reportFailsafe();
    void holdOutputOff(SupplyState &state, RtuMaster &master);
    void publishFailsafe(SupplyState &state);
    qint64 commandEstimateUs(const BrokerLink::Message &message) const;
    void stopCleanly();

    LineOptions m_line;
    BridgeOptions m_options;
    std::FILE *m_err;
    PortKeeper m_port;
    BrokerLink m_link;
    DiscoveryBench m_discovery;
    std::vector<SupplyState> m_states;
    qint64 m_exchangeUs = 0; // the time one request and its reply took, from the last poll
    CommandMemory m_memory;
    std::optional<SteadyClock::time_point> m_failsafeAt; // when the failsafe acted, until the broker is back
};

Bridge::Bridge(const LineOptions &line, const BridgeOptions &options, std::FILE *err)
    : m_line(line), m_options(options), m_err(err), m_port(line, err), m_link(options, line.verbose, err)
{
    m_discovery.prefix = options.prefix;
    m_discovery.bench = options.bench;
    m_discovery.discoveryPrefix = options.discoveryPrefix;
    m_discovery.manufacturer = options.manufacturer;
    m_discovery.version = QStringLiteral(PSUCTL_VERSION);
    for (const SupplyRef &supply : options.supplies) {
        SupplyState state;
        state.supply = supply;
        state.model = FindModel(supply.modelItem);
        m_states.push_back(state);
        if (options.homeAssistant)
            m_discovery.supplies.append({supply.address, state.model});
    }
}

QString Bridge::topic(int address, const char *leaf) const
{
    return QStringLiteral("%1/%2/%3/%4").arg(m_options.prefix, m_options.bench).arg(address).arg(QLatin1String(leaf));
}

QString Bridge::benchTopic(const char *leaf) const
{
    return QStringLiteral("%1/%2/%3").arg(m_options.prefix, m_options.bench, QLatin1String(leaf));
}

Bridge::SupplyState *Bridge::stateOf(int address)
{
    for (SupplyState &state : m_states) {
        if (state.supply.address == address)
            return &state;
    }
    return nullptr;
}

// After each (re)connection: online, the discovery, every supply's last state
// and availability.
void Bridge::takeConnection()
{
    if (!m_link.takeJustConnected())
        return;
    m_link.publish(benchTopic("status"), "online", 1, true);
    for (const RetainedMessage &message : DiscoveryMessages(m_discovery))
        m_link.publish(message.topic, message.payload, 1, true);
    for (const SupplyState &state : m_states) {
        if (!state.lastState.isEmpty())
            m_link.publish(topic(state.supply.address, "state"), state.lastState, 0, true);
        if (state.everPolled)
            m_link.publish(topic(state.supply.address, "availability"), state.answering ? "online" : "offline", 1, true);
    }
    for (SupplyState &state : m_states)
        publishFailsafe(state);
}

// The failsafe's notice, retained so that a dashboard (re)connecting at any
// moment sees it; an empty retained message once it is cleared.
void Bridge::publishFailsafe(SupplyState &state)
{
    if (!state.failsafe.isEmpty())
        m_link.publish(topic(state.supply.address, "failsafe"), compact(state.failsafe), 1, true);
}

// While the broker is away the failsafe holds: an output that shows on again
// (another client on the line, the front panel) is switched off again.
void Bridge::holdOutputOff(SupplyState &state, RtuMaster &master)
{
    const int address = state.supply.address;
    QString outcome = QStringLiteral("switched off again");
    try {
        WriteAndCheck(master, address, {OutputSwitch, 0, QStringLiteral("off"), true});
    } catch (const CtlError &error) {
        outcome = QStringLiteral("could not be switched off again: ") + error.text();
        if (error.exitCode() == ExitPort)
            throw;
    }
    const QString when = TimeNow();
    state.failsafe[QStringLiteral("found_on")] = state.failsafe.value(QStringLiteral("found_on")).toInt() + 1;
    state.failsafe[QStringLiteral("last_found_on")] = when;
    PrintLine(m_err, QStringLiteral("psuctl: %1: address %2: failsafe: the output was on during the broker's outage; %3")
                         .arg(when)
                         .arg(address)
                         .arg(outcome));
}

void Bridge::pollOne(SupplyState &state, RtuMaster &master)
{
    const int address = state.supply.address;
    const bool wasAnswering = state.answering || !state.everPolled;
    try {
        const Reading reading = ReadStatusReading(master, address, *state.model);
        if (m_failsafeAt && reading.outputOn)
            holdOutputOff(state, master);
        state.lastState = FormatReading(reading, ReadingFormat::Json).toUtf8();
        // Retained, so a dashboard that connects later sees it at once.
        m_link.publishAsking(topic(address, "state"), state.lastState, true);
        if (!state.answering || !state.everPolled)
            m_link.publish(topic(address, "availability"), "online", 1, true);
        if (state.toldLost)
            PrintLine(m_err, QStringLiteral("psuctl: %1: address %2 answers again").arg(TimeNow()).arg(address));
        state.toldLost = false;
        state.answering = true;
        state.cause.clear();
    } catch (const CtlError &error) {
        if (error.exitCode() == ExitPort) {
            state.everPolled = true;
            throw;
        }
        if (wasAnswering) {
            PrintLine(m_err, QStringLiteral("psuctl: %1: %2").arg(TimeNow(), error.text()));
            m_link.publish(topic(address, "availability"), "offline", 1, true);
            state.toldLost = true;
        }
        state.answering = false;
        state.cause = error.text();
    }
    state.everPolled = true;
}

void Bridge::pollAll()
{
    RtuMaster *master = m_port.ready();
    if (!master)
        return;
    const SteadyClock::time_point start = SteadyClock::now();
    int exchanges = 0;
    try {
        for (SupplyState &state : m_states) {
            pollOne(state, *master);
            exchanges += state.answering ? 2 : 0;
        }
    } catch (const CtlError &error) {
        // The port's line says it for every supply.
        for (SupplyState &state : m_states) {
            if (state.answering)
                m_link.publish(topic(state.supply.address, "availability"), "offline", 1, true);
            state.answering = false;
            state.cause = error.text();
        }
        m_port.lost(error.text());
        return;
    }
    if (exchanges)
        m_exchangeUs = std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - start).count() / exchanges;
}

qint64 Bridge::commandEstimateUs(const BrokerLink::Message &message) const
{
    // A write and its read-back for each value in the command.
    int values = 0;
    const QJsonObject object = QJsonDocument::fromJson(message.payload).object();
    for (const QString &key : object.keys())
        values += key != QLatin1String("id");
    return qint64(values) * 2 * m_exchangeUs;
}

void Bridge::result(const QString &addressText, QJsonObject answer, const std::optional<QByteArray> &id)
{
    answer[QStringLiteral("time")] = TimeNow();
    m_link.publish(QStringLiteral("%1/%2/%3/result").arg(m_options.prefix, m_options.bench, addressText),
                   WithCommandId(compact(answer), id),
                   1, false);
}

void Bridge::clearDroppedDiscovery(const BrokerLink::Message &message)
{
    const int address = DiscoveryAddress(m_discovery, message.topic);
    if (!address || !message.retained || message.payload.isEmpty())
        return;
    for (const DiscoveryBench::Supply &supply : m_discovery.supplies) {
        if (supply.address == address)
            return;
    }
    // A config of an earlier run, for a supply no longer listed: an empty
    // retained message removes it from the broker and from Home Assistant.
    m_link.publish(message.topic, QByteArray(), 1, true);
}

void Bridge::handle(const BrokerLink::Message &message)
{
    const QStringList levels = message.topic.split(QLatin1Char('/'));
    if (levels.size() != 4 || levels.last() != QLatin1String("set")) {
        clearDroppedDiscovery(message);
        return;
    }
    // An empty message is how a retained one is cleared; it is no command.
    if (message.payload.isEmpty())
        return;
    const QString addressText = levels.at(2);
    QJsonObject answer{{QStringLiteral("ok"), false}};
    QString idError;
    const std::optional<QByteArray> id = CommandId(message.payload, &idError);
    if (message.retained) {
        answer[QStringLiteral("error")] = RetainedCommandRefusal();
        result(addressText, answer, id);
        m_link.publish(message.topic, QByteArray(), 1, true);
        PrintLine(m_err, QStringLiteral("psuctl: %1: a retained command on %2 was refused and cleared").arg(TimeNow(), message.topic));
        return;
    }
    bool isNumber = false;
    SupplyState *state = stateOf(addressText.toInt(&isNumber));
    if (!isNumber || !state) {
        QStringList listed;
        for (const SupplyState &candidate : m_states)
            listed << QString::number(candidate.supply.address);
        answer[QStringLiteral("error")] = QStringLiteral("address %1 is not on this bench's list (%2)")
                                              .arg(addressText, listed.join(QStringLiteral(", ")));
        result(addressText, answer, id);
        return;
    }
    runCommand(*state, message.payload);
}

void Bridge::runCommand(SupplyState &state, const QByteArray &payload)
{
    const int address = state.supply.address;
    const QString addressText = QString::number(address);
    SetValues values;
    const BridgeCommand command = ParseBridgeCommand(payload, *state.model, values);
    QJsonObject answer;
    if (!command.error.isEmpty()) {
        answer[QStringLiteral("ok")] = false;
        answer[QStringLiteral("error")] = command.error;
        result(addressText, answer, command.id);
        return;
    }
    if (command.id) {
        if (std::optional<QJsonObject> again = m_memory.answered(address, *command.id)) {
            (*again)[QStringLiteral("repeat")] = true;
            result(addressText, *again, command.id);
            return;
        }
    }
    const SetPlan plan = PlanSet(values, state.model);
    QJsonArray written;
    RtuMaster *master = m_port.ready();
    if (!master) {
        answer[QStringLiteral("ok")] = false;
        answer[QStringLiteral("error")] = QStringLiteral("the serial port is lost (%1); nothing was sent").arg(state.cause);
    } else if (!state.answering) {
        answer[QStringLiteral("ok")] = false;
        answer[QStringLiteral("error")] = QStringLiteral("address %1 does not answer (%2); nothing was sent").arg(address).arg(state.cause);
    } else {
        try {
            for (const SetWrite &write : plan.writes) {
                WriteAndCheck(*master, address, write);
                written.append(QStringLiteral("%1 %2").arg(RegisterText(write.reg), write.shown));
            }
            answer[QStringLiteral("ok")] = true;
        } catch (const CtlError &error) {
            answer[QStringLiteral("ok")] = false;
            answer[QStringLiteral("error")] = error.text();
            if (error.exitCode() == ExitPort)
                m_port.lost(error.text());
        }
        answer[QStringLiteral("written")] = written;
    }
    if (!plan.notes.isEmpty())
        answer[QStringLiteral("notes")] = QJsonArray::fromStringList(plan.notes);
    result(addressText, answer, command.id);
    if (command.id && !written.isEmpty())
        m_memory.remember(address, *command.id, answer);
    // The first command carried out once the broker is back clears the
    // failsafe's notice: someone has taken the supply over again.
    if (!m_failsafeAt && !state.failsafe.isEmpty() && answer.value(QStringLiteral("ok")).toBool()) {
        state.failsafe = QJsonObject();
        m_link.publish(topic(address, "failsafe"), QByteArray(), 1, true);
    }
}

void Bridge::checkFailsafe()
{
    if (!m_options.failsafeOffSeconds)
        return;
    const SteadyClock::time_point lastSign = m_link.lastSignOfLife();
    const SteadyClock::time_point now = SteadyClock::now();
    if (m_failsafeAt) {
        if (m_link.connected() && lastSign > *m_failsafeAt)
            reportFailsafe();
        return;
    }
    const auto silentMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastSign).count();
    if (silentMs < qint64(m_options.failsafeOffSeconds) * 1000)
        return;
    m_failsafeAt = now;
    const QString since = IsoTime(QDateTime::currentDateTime().addMSecs(-silentMs));
    const QString when = TimeNow();
    for (SupplyState &state : m_states) {
        QString outcome;
        try {
            RtuMaster *master = m_port.ready();
            if (!master)
                Fail(ExitPort, QStringLiteral("the serial port is lost"));
            WriteAndCheck(*master, state.supply.address, {OutputSwitch, 0, QStringLiteral("off"), true});
            outcome = QStringLiteral("output switched off");
        } catch (const CtlError &error) {
            outcome = QStringLiteral("the output could not be switched off: ") + error.text();
            if (error.exitCode() == ExitPort)
                m_port.lost(error.text());
        }
        const QString reason = QStringLiteral("no sign of life from the broker for %1 s (since %2)")
                                   .arg(QString::number(silentMs / 1000.0, 'f', 1), since);
        state.failsafeNote = QStringLiteral("failsafe: %1; at %2 %3").arg(reason, when, outcome);
        state.failsafe = QJsonObject{{QStringLiteral("active"), true},
                                     {QStringLiteral("time"), when},
                                     {QStringLiteral("reason"), reason},
                                     {QStringLiteral("outcome"), outcome}};
        publishFailsafe(state);
        PrintLine(m_err, QStringLiteral("psuctl: %1: address %2: %3").arg(when).arg(state.supply.address).arg(state.failsafeNote));
    }
}

void Bridge::reportFailsafe()
{
    for (SupplyState &state : m_states) {
        if (state.failsafeNote.isEmpty())
            continue;
        result(QString::number(state.supply.address),
               QJsonObject{{QStringLiteral("ok"), true}, {QStringLiteral("failsafe"), true},
                           {QStringLiteral("text"), state.failsafeNote}});
        state.failsafeNote.clear();
        // The outage is over; the notice stays until a command clears it.
        if (!state.failsafe.isEmpty()) {
            state.failsafe[QStringLiteral("active")] = false;
            state.failsafe[QStringLiteral("broker_back")] = TimeNow();
            publishFailsafe(state);
        }
    }
    m_failsafeAt.reset();
}

void Bridge::stopCleanly()
{
    pollAll();
    int mid = 0;
    m_link.publish(benchTopic("status"), "offline", 1, true, &mid);
    m_link.stop(mid);
}

int Bridge::run()
{
    m_port.open();
    m_link.start({QStringLiteral("%1/%2/+/set").arg(m_options.prefix, m_options.bench), DiscoveryFilter(m_discovery)},
                 benchTopic("status"));

    const auto refused = [this] { return m_link.refusal().has_value(); };
    // A broker at hand is met before the first reading, so that reading goes out.
    const SteadyClock::time_point firstTry = SteadyClock::now() + std::chrono::seconds(2);
    while (!m_link.connected() && !refused() && !StopRequested() && SteadyClock::now() < firstTry)
        WaitUntil(std::min(firstTry, SteadyClock::now() + std::chrono::milliseconds(50)));
    Rhythm rhythm(std::chrono::milliseconds(m_options.pollMs));
    while (!StopRequested() && !refused()) {
        takeConnection();
        pollAll();
        const SteadyClock::time_point next = rhythm.next();
        bool freshGap = true;
        while (!StopRequested() && !refused()) {
            takeConnection();
            checkFailsafe();
            // A command goes in the gap between polls when it fits there; one
            // that fits in no gap goes right after a poll.
            const std::optional<BrokerLink::Message> message = m_link.takeMessage([&](const BrokerLink::Message &m) {
                return freshGap || SteadyClock::now() + std::chrono::microseconds(commandEstimateUs(m)) <= next;
            });
            if (message) {
                handle(*message);
                freshGap = false;
                continue;
            }
            if (SteadyClock::now() >= next)
                break;
            // The failsafe is looked at four times a second whatever the rhythm.
            WaitUntil(std::min(next, SteadyClock::now() + std::chrono::milliseconds(250)));
        }
    }
    if (const std::optional<QString> refusal = m_link.refusal()) {
        PrintLine(m_err, QStringLiteral("psuctl: %1; not trying again").arg(*refusal));
        return ExitRefused;
    }
    stopCleanly();
    return ExitSuccess;
}

} // namespace

int RunMqtt(const Invocation &inv, std::FILE *, std::FILE *err)
{
    return RunBridge(inv.line, BridgeOptions::From(inv), err);
}

int RunBridge(const LineOptions &line, const BridgeOptions &options, std::FILE *err)
{
    CatchStopSignals();
    Bridge bridge(line, options, err);
    return bridge.run();
}
