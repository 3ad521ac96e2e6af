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
    if (object.contains(QStringLiteral("id"))) {
        const QJsonValue id = object.value(QStringLiteral("id"));
        if (!id.isString() && !id.isDouble()) {
            command.error = QStringLiteral("id: a string or a number");
            return command;
        }
        const QByteArray text = id.isString() ? id.toString().toUtf8() : jsonText(id);
        if (text.size() > LongestCommandId) {
            command.error = QStringLiteral("id: %1 bytes, longer than %2; nothing was sent").arg(text.size()).arg(LongestCommandId);
            return command;
        }
        command.id = jsonText(id);
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
