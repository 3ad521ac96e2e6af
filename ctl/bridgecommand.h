#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <deque>
#include <map>
#include <optional>

struct ModelEntry;
struct SetValues;

// The longest command id taken, in bytes of its text: an id is remembered,
// and a flood of huge ones must not fill the bridge's memory.
constexpr int LongestCommandId = 128;

// A set command received as a payload. Each member is read by set's option of
// the same name (a number as its text, a string as it is) and the whole is
// checked against the supply's model as set checks it. error is empty when
// the command may go to the supply; then values holds what to write.
struct BridgeCommand {
    std::optional<QByteArray> id; // the id member as JSON text ("\"a1\"", "17"): see CommandId
    QString error;
};
BridgeCommand ParseBridgeCommand(const QByteArray &payload, const ModelEntry &model, SetValues &values);

// The id member of a command payload as JSON text: a number exactly as the
// client wrote it (a double would make 12345678901234567890 and ...891 one id),
// a string in JSON's own spelling of it. Both are taken up to LongestCommandId
// bytes: the number's digits, the string's UTF-8. Nothing when the payload has
// no id; error says why when it has one that is not taken.
std::optional<QByteArray> CommandId(const QByteArray &payload, QString *error);
// A compact JSON object with "id": id put in first, so that a number goes out
// as it came in.
QByteArray WithCommandId(const QByteArray &object, const std::optional<QByteArray> &id);

// Why a retained message on a set topic is not run: such a message would run
// again at every start of the bridge and every return of the broker.
QString RetainedCommandRefusal();

// The results of the last commands carried out, by address and id, so a
// command the broker delivers again (QoS 1 after a lost acknowledgement) is
// answered from memory instead of being run a second time. The oldest are
// forgotten first.
class CommandMemory
{
public:
    static constexpr std::size_t Kept = 1000;

    // The answer given to the command with this id at this address, if any.
    std::optional<QJsonObject> answered(int address, const QByteArray &id) const;
    void remember(int address, const QByteArray &id, const QJsonObject &answer);
    std::size_t size() const { return m_answers.size(); }

private:
    std::deque<QByteArray> m_order;
    std::map<QByteArray, QJsonObject> m_answers;
};
