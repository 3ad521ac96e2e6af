#include "ctl/bridgecommand.h"

#include "ctl/cli.h"
#include "ctl/ctlerror.h"
#include "ctl/optiontable.h"
#include "ctl/supplyio.h"
#include "link/modelcatalogue.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {

// The names a command may carry: set's options of these names, and an id.
const char *const CommandFields[] = {"voltage", "current", "ovp", "ocp", "output", "lock", "power", "id"};

// One JSON value as compact text: "\"a1\"", 17, true.
QByteArray jsonText(const QJsonValue &value)
{
    return QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
}

bool isJsonSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Where the JSON value that starts at from ends, in text that is valid JSON.
int valueEnd(const QByteArray &text, int from)
{
    int depth = 0;
    bool inString = false;
    for (int i = from; i < text.size(); ++i) {
        const char c = text.at(i);
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (depth == 0)
                return i;
            --depth;
        } else if (c == ',' && depth == 0) {
            return i;
        }
    }
    return int(text.size());
}

// Just past the closing quote of the JSON string whose opening quote is at from.
int stringEnd(const QByteArray &text, int from)
{
    for (int i = from + 1; i < text.size(); ++i) {
        if (text.at(i) == '\\')
            ++i;
        else if (text.at(i) == '"')
            return i + 1;
    }
    return int(text.size());
}

// The text of the last top-level member called name in a valid JSON object,
// as it stands there (QJsonDocument keeps the last of members of one name).
std::optional<QByteArray> memberText(const QByteArray &object, const QString &name)
{
    std::optional<QByteArray> found;
    int i = int(object.indexOf('{')) + 1;
    for (;;) {
        while (i < object.size() && (isJsonSpace(object.at(i)) || object.at(i) == ','))
            ++i;
        if (i >= object.size() || object.at(i) != '"')
            return found;
        const int keyEnd = stringEnd(object, i);
        const QByteArray key = object.mid(i, keyEnd - i);
        const int start = int(object.indexOf(':', keyEnd)) + 1;
        const int end = valueEnd(object, start);
        if (QJsonDocument::fromJson("[" + key + "]").array().first().toString() == name)
            found = object.mid(start, end - start).trimmed();
        i = end;
    }
}

QByteArray memoryKey(int address, const QByteArray &id)
{
    return QByteArray::number(address) + '/' + id;
}

} // namespace

BridgeCommand ParseBridgeCommand(const QByteArray &payload, const ModelEntry &model, SetValues &values)
{
    BridgeCommand command;
    values = SetValues();
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
    command.id = CommandId(payload, &command.error);
    if (!command.error.isEmpty())
        return command;
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
        const OptionRow &row = *FindOption(name, QStringLiteral("set"));
        // A number in the shortest form that reads back the same ("0.1").
        const QString text = value.isString() ? value.toString() : QString::fromUtf8(jsonText(value));
        try {
            given.insert(name, ConvertOptionValue(row, name, text, &model));
        } catch (const CtlError &error) {
            problems << error.text();
        }
    }
    values = SetValuesFrom(given);
    if (problems.isEmpty() && !values.any())
        problems << QStringLiteral("nothing to write (%1)").arg(known.mid(0, known.size() - 1).join(QStringLiteral(", ")));
    if (!problems.isEmpty()) {
        command.error = problems.join(QStringLiteral("; ")) + QStringLiteral("; nothing was sent");
        values = SetValues();
    }
    return command;
}

std::optional<QByteArray> CommandId(const QByteArray &payload, QString *error)
{
    const QJsonDocument document = QJsonDocument::fromJson(payload);
    const QJsonValue id = document.object().value(QStringLiteral("id"));
    if (!document.isObject() || id.isUndefined())
        return std::nullopt;
    if (!id.isString() && !id.isDouble()) {
        *error = QStringLiteral("id: a string or a number");
        return std::nullopt;
    }
    const QByteArray text = id.isString() ? jsonText(id) : memberText(payload, QStringLiteral("id")).value_or(QByteArray());
    const qsizetype size = id.isString() ? id.toString().toUtf8().size() : text.size();
    if (size > LongestCommandId) {
        *error = QStringLiteral("id: %1 bytes, longer than %2; nothing was sent").arg(size).arg(LongestCommandId);
        return std::nullopt;
    }
    return text;
}

QByteArray WithCommandId(const QByteArray &object, const std::optional<QByteArray> &id)
{
    if (!id)
        return object;
    return "{\"id\":" + *id + (object == "{}" ? "" : ",") + object.mid(1);
}

QString RetainedCommandRefusal()
{
    return QStringLiteral("a retained command is never run (it would run again at every start of the bridge and "
                          "every return of the broker); publish commands without retain. The retained message "
                          "is cleared; nothing was sent");
}

std::optional<QJsonObject> CommandMemory::answered(int address, const QByteArray &id) const
{
    const auto found = m_answers.find(memoryKey(address, id));
    if (found == m_answers.end())
        return std::nullopt;
    return found->second;
}

void CommandMemory::remember(int address, const QByteArray &id, const QJsonObject &answer)
{
    const QByteArray key = memoryKey(address, id);
    if (m_answers.count(key))
        return;
    m_answers[key] = answer;
    m_order.push_back(key);
    if (m_order.size() > Kept) {
        m_answers.erase(m_order.front());
        m_order.pop_front();
    }
}
