#include "ctl/discovery.h"

#include "link/modelcatalogue.h"
#include "link/readingformat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

QString escaped(const QString &text)
{
    QString out;
    for (const char byte : text.toUtf8()) {
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9');
        out += plain ? QString(QLatin1Char(byte)) : QStringLiteral("_%1").arg(uint(quint8(byte)), 2, 16, QLatin1Char('0'));
    }
    return out;
}

// An entity id's object part: lower-case letters, digits and single underscores.
QString slug(const QString &text)
{
    static const QRegularExpression other(QStringLiteral("[^a-z0-9]+"));
    return text.toLower().replace(other, QStringLiteral("_"));
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString topic(const DiscoveryBench &bench, int address, const char *leaf)
{
    return QStringLiteral("%1/%2/%3/%4").arg(bench.prefix, bench.bench).arg(address).arg(QLatin1String(leaf));
}

// Home Assistant's template for a command: the JSON object {field: the value
// asked for}, the value written where the placeholder number was.
QString commandTemplate(const char *field)
{
    QByteArray text = compact(QJsonObject{{QLatin1String(field), 0}});
    text.replace(":0", ":{{ value }}");
    return QString::fromUtf8(text);
}

} // namespace

QString DiscoveryNode(const QString &prefix, const QString &bench)
{
    return QStringLiteral("psuctl-%1-%2").arg(escaped(prefix), escaped(bench));
}

QString DiscoveryFilter(const DiscoveryBench &bench)
{
    return QStringLiteral("%1/+/%2/+/config").arg(bench.discoveryPrefix, DiscoveryNode(bench.prefix, bench.bench));
}

int DiscoveryAddress(const DiscoveryBench &bench, const QString &topic)
{
    const QString head = bench.discoveryPrefix + QLatin1Char('/');
    if (!topic.startsWith(head))
        return 0;
    const QStringList levels = topic.mid(head.size()).split(QLatin1Char('/'));
    if (levels.size() != 4 || levels.at(1) != DiscoveryNode(bench.prefix, bench.bench)
        || levels.at(3) != QLatin1String("config"))
        return 0;
    bool ok = false;
    const int address = levels.at(2).section(QLatin1Char('-'), 0, 0).toInt(&ok);
    return ok ? address : 0;
}

QVector<RetainedMessage> DiscoveryMessages(const DiscoveryBench &bench)
{
    QVector<RetainedMessage> messages;
    const QString node = DiscoveryNode(bench.prefix, bench.bench);
    const QJsonObject origin{{QStringLiteral("name"), QStringLiteral("psuctl")},
                             {QStringLiteral("sw_version"), bench.version}};
    for (const DiscoveryBench::Supply &supply : bench.supplies) {
        const int address = supply.address;
        const ModelEntry &model = *supply.model;
        const QString device = QStringLiteral("%1-%2").arg(node).arg(address);
        const QJsonObject deviceInfo{
            {QStringLiteral("identifiers"), QJsonArray{device}},
            {QStringLiteral("name"), QStringLiteral("%1 %2").arg(bench.bench).arg(address)},
            {QStringLiteral("model"), QLatin1String(model.caption)},
            {QStringLiteral("manufacturer"), bench.manufacturer},
            {QStringLiteral("sw_version"), QStringLiteral("psuctl %1").arg(bench.version)},
        };
        const QJsonArray availability{
            QJsonObject{{QStringLiteral("topic"), QStringLiteral("%1/%2/status").arg(bench.prefix, bench.bench)}},
            QJsonObject{{QStringLiteral("topic"), topic(bench, address, "availability")}},
        };
        const auto base = [&](const char *component, const char *key, const char *name) {
            return QJsonObject{
                {QStringLiteral("name"), QLatin1String(name)},
                {QStringLiteral("unique_id"), QStringLiteral("%1-%2").arg(device, QLatin1String(key))},
                {QStringLiteral("default_entity_id"),
                 QStringLiteral("%1.%2").arg(QLatin1String(component),
                                             slug(QStringLiteral("psuctl_%1_%2_%3_%4")
                                                      .arg(bench.prefix, bench.bench)
                                                      .arg(address)
                                                      .arg(QLatin1String(key))))},
                {QStringLiteral("state_topic"), topic(bench, address, "state")},
                {QStringLiteral("availability"), availability},
                {QStringLiteral("availability_mode"), QStringLiteral("all")},
                {QStringLiteral("device"), deviceInfo},
                {QStringLiteral("origin"), origin},
            };
        };
        const auto announce = [&](const char *component, const char *key, const QJsonObject &config) {
            messages.append({QStringLiteral("%1/%2/%3/%4-%5/config")
                                 .arg(bench.discoveryPrefix, QLatin1String(component), node)
                                 .arg(address)
                                 .arg(QLatin1String(key)),
                             compact(config)});
        };

        struct Sensor {
            const char *key, *name, *unit;
            int decimals;
        };
        for (const Sensor &sensor : {Sensor{"voltage", "Voltage", "V", model.voltageDecimals},
                                     Sensor{"current", "Current", "A", model.currentDecimals},
                                     Sensor{"power", "Power", "W", PowerDecimals}}) {
            QJsonObject config = base("sensor", sensor.key, sensor.name);
            config[QStringLiteral("value_template")] = QStringLiteral("{{ value_json.%1 }}").arg(QLatin1String(sensor.key));
            config[QStringLiteral("unit_of_measurement")] = QLatin1String(sensor.unit);
            config[QStringLiteral("device_class")] = QLatin1String(sensor.key);
            config[QStringLiteral("state_class")] = QStringLiteral("measurement");
            config[QStringLiteral("suggested_display_precision")] = sensor.decimals;
            announce("sensor", sensor.key, config);
        }

        QJsonObject output = base("switch", "output", "Output");
        output[QStringLiteral("command_topic")] = topic(bench, address, "set");
        output[QStringLiteral("payload_on")] = QString::fromUtf8(compact({{QStringLiteral("output"), QStringLiteral("on")}}));
        output[QStringLiteral("payload_off")] = QString::fromUtf8(compact({{QStringLiteral("output"), QStringLiteral("off")}}));
        output[QStringLiteral("value_template")] = QStringLiteral("{{ value_json.output }}");
        output[QStringLiteral("state_on")] = QStringLiteral("on");
        output[QStringLiteral("state_off")] = QStringLiteral("off");
        output[QStringLiteral("qos")] = 1;
        announce("switch", "output", output);

        struct Number {
            const char *key, *name, *field, *unit;
            quint16 limit;
            Resolution resolution;
        };
        for (const Number &number :
             {Number{"voltage_set", "Voltage setpoint", "voltage", "V", model.voltageLimit,
                     {model.voltageScale, model.voltageDecimals}},
              Number{"current_set", "Current setpoint", "current", "A", model.currentLimit,
                     {model.currentScale, model.currentDecimals}}}) {
            QJsonObject config = base("number", number.key, number.name);
            config[QStringLiteral("command_topic")] = topic(bench, address, "set");
            config[QStringLiteral("command_template")] = commandTemplate(number.field);
            config[QStringLiteral("value_template")] = QStringLiteral("{{ value_json.%1 }}").arg(QLatin1String(number.key));
            config[QStringLiteral("min")] = 0;
            config[QStringLiteral("max")] = number.resolution.countsText(number.limit).toDouble();
            config[QStringLiteral("step")] = number.resolution.countsText(1).toDouble();
            config[QStringLiteral("unit_of_measurement")] = QLatin1String(number.unit);
            config[QStringLiteral("device_class")] = QLatin1String(number.field);
            config[QStringLiteral("mode")] = QStringLiteral("box");
            config[QStringLiteral("qos")] = 1;
            announce("number", number.key, config);
        }
    }
    return messages;
}
