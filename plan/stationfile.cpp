#include "plan/stationfile.h"

#include "plan/planengine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <toml++/toml.h>

namespace {

const char *const OperationKeys[ReferenceOperationCount] = {
    "identify", "reset",    "configure_volts", "configure_amps", "read",  "select_channel",
    "load_current", "load_on", "load_off",     "load_measure_current", "error"};

// What each kind must be able to do for a run to use it.
QVector<ReferenceOperation> requiredOperations(ReferenceKind kind)
{
    using O = ReferenceOperation;
    switch (kind) {
    case ReferenceKind::Dmm:
        return {O::Identify, O::ConfigureVolts, O::Read, O::Error};
    case ReferenceKind::Load:
        return {O::Identify, O::LoadCurrent, O::LoadOn, O::LoadOff, O::Error};
    case ReferenceKind::Scanner:
        return {O::Identify, O::SelectChannel, O::Error};
    }
    return {};
}

class Reader
{
public:
    explicit Reader(const QString &file) : m_file(file) {}

    [[noreturn]] void fail(const toml::source_region &where, const QString &cause) const
    {
        throw PlanError(m_file, int(where.begin.line), int(where.begin.column), cause);
    }
    [[noreturn]] void fail(const toml::node &node, const QString &cause) const { fail(node.source(), cause); }

    toml::table parse() const
    {
        QFile file(m_file);
        if (!file.open(QIODevice::ReadOnly))
            throw PlanError(m_file, 0, 0, file.errorString());
        const QByteArray text = file.readAll();
        try {
            return toml::parse(std::string_view(text.constData(), size_t(text.size())), m_file.toStdString());
        } catch (const toml::parse_error &error) {
            fail(error.source(), QString::fromStdString(std::string(error.description())));
        }
    }

    void onlyKeys(const toml::table &table, std::initializer_list<const char *> allowed) const
    {
        for (auto &&[key, value] : table) {
            if (std::none_of(allowed.begin(), allowed.end(), [&](const char *k) { return key.str() == k; }))
                fail(value, QStringLiteral("unknown key '%1'").arg(QString::fromStdString(std::string(key.str()))));
        }
    }

    QString text(const toml::table &table, const char *key, bool required) const
    {
        const toml::node *node = table.get(key);
        if (!node) {
            if (required)
                fail(table, QStringLiteral("'%1' is missing").arg(QLatin1String(key)));
            return {};
        }
        if (!node->is_string())
            fail(*node, QStringLiteral("'%1' must be a string").arg(QLatin1String(key)));
        const QString value = QString::fromStdString(**node->as_string()).trimmed();
        if (value.isEmpty())
            fail(*node, QStringLiteral("'%1' is empty").arg(QLatin1String(key)));
        return value;
    }

    std::optional<double> number(const toml::table &table, const char *key, double low, double high) const
    {
        const toml::node *node = table.get(key);
        if (!node)
            return std::nullopt;
        std::optional<double> value;
        if (auto i = node->as_integer())
            value = double(**i);
        else if (auto f = node->as_floating_point())
            value = **f;
        if (!value || !std::isfinite(*value))
            fail(*node, QStringLiteral("'%1' must be a number").arg(QLatin1String(key)));
        if (*value < low || *value > high)
            fail(*node, QStringLiteral("'%1' must be from %2 to %3").arg(QLatin1String(key)).arg(low).arg(high));
        return value;
    }

    ReferenceKind kind(const toml::table &table) const
    {
        const QString name = text(table, "kind", true);
        for (ReferenceKind k : {ReferenceKind::Dmm, ReferenceKind::Load, ReferenceKind::Scanner}) {
            if (name == QLatin1String(ReferenceKindName(k)))
                return k;
        }
        fail(*table.get("kind"), QStringLiteral("kind '%1' is none of dmm, load, scanner").arg(name));
    }

private:
    QString m_file;
};

} // namespace

const char *ReferenceKindName(ReferenceKind kind)
{
    switch (kind) {
    case ReferenceKind::Dmm:
        return "dmm";
    case ReferenceKind::Load:
        return "load";
    case ReferenceKind::Scanner:
        break;
    }
    return "scanner";
}

QString ReferenceDriver::command(ReferenceOperation operation, const QHash<QString, QString> &values) const
{
    QString text = commands[int(operation)];
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        text.replace(QLatin1Char('{') + it.key() + QLatin1Char('}'), it.value());
    return text;
}

const RangeAccuracy *ReferenceDriver::rangeFor(const QString &function, double magnitude) const
{
    for (const RangeAccuracy &range : accuracy) {
        if (range.function == function && std::abs(magnitude) <= range.limits.range)
            return &range;
    }
    return nullptr;
}

ReferenceDriver LoadDriver(const QString &path)
{
    const Reader reader(path);
    const toml::table root = reader.parse();
    reader.onlyKeys(root, {"name", "kind", "settle", "timeout", "commands", "accuracy"});

    ReferenceDriver driver;
    driver.file = path;
    driver.name = reader.text(root, "name", true);
    driver.kind = reader.kind(root);
    driver.settleSeconds = reader.number(root, "settle", 0, 60).value_or(0);
    driver.timeoutSeconds = reader.number(root, "timeout", 0.01, 60).value_or(5);

    const toml::table *commands = root["commands"].as_table();
    if (!commands)
        reader.fail(root, QStringLiteral("'commands' is missing"));
    for (auto &&[key, value] : *commands) {
        const auto *known = std::find_if(std::begin(OperationKeys), std::end(OperationKeys),
                                         [&](const char *k) { return key.str() == k; });
        if (known == std::end(OperationKeys))
            reader.fail(value, QStringLiteral("unknown operation '%1'").arg(QString::fromStdString(std::string(key.str()))));
        const QString command = reader.text(*commands, *known, true);
        if (command.contains(QLatin1Char('\n')))
            reader.fail(value, QStringLiteral("'%1' must be one line").arg(QLatin1String(*known)));
        driver.commands[known - std::begin(OperationKeys)] = command;
    }
    for (ReferenceOperation needed : requiredOperations(driver.kind)) {
        if (!driver.has(needed))
            reader.fail(*commands, QStringLiteral("a %1 driver needs the operation '%2'")
                                       .arg(QLatin1String(ReferenceKindName(driver.kind)),
                                            QLatin1String(OperationKeys[int(needed)])));
    }

    if (const toml::node *accuracy = root.get("accuracy")) {
        const toml::array *rows = accuracy->as_array();
        if (!rows)
            reader.fail(*accuracy, QStringLiteral("'accuracy' must be a list of [[accuracy]] tables"));
        for (const toml::node &row : *rows) {
            const toml::table *table = row.as_table();
            if (!table)
                reader.fail(row, QStringLiteral("'accuracy' must be a list of [[accuracy]] tables"));
            reader.onlyKeys(*table, {"function", "range", "reading", "of_range", "resolution"});
            RangeAccuracy range;
            range.function = reader.text(*table, "function", true);
            if (range.function != QLatin1String("volts") && range.function != QLatin1String("amperes"))
                reader.fail(*table->get("function"), QStringLiteral("function '%1' is neither volts nor amperes").arg(range.function));
            const auto full = reader.number(*table, "range", 1e-9, 1e6);
            if (!full)
                reader.fail(*table, QStringLiteral("'range' is missing"));
            range.limits.range = *full;
            range.limits.percentReading = reader.number(*table, "reading", 0, 100).value_or(0);
            range.limits.percentRange = reader.number(*table, "of_range", 0, 100).value_or(0);
            range.limits.resolution = reader.number(*table, "resolution", 0, *full).value_or(0);
            driver.accuracy.append(range);
        }
        std::stable_sort(driver.accuracy.begin(), driver.accuracy.end(),
                         [](const RangeAccuracy &a, const RangeAccuracy &b) { return a.limits.range < b.limits.range; });
    }
    if (driver.kind == ReferenceKind::Dmm && !driver.rangeFor(QStringLiteral("volts"), 0))
        reader.fail(root, QStringLiteral("a dmm driver needs the accuracy of at least one volts range"));
    return driver;
}

const ReferenceInstrument *StationFile::find(const QString &name) const
{
    for (const ReferenceInstrument &reference : references) {
        if (reference.name == name)
            return &reference;
    }
    return nullptr;
}

StationFile LoadStation(const QString &path)
{
    const Reader reader(path);
    const toml::table root = reader.parse();
    reader.onlyKeys(root, {"name", "reference"});

    StationFile station;
    station.file = path;
    station.name = reader.text(root, "name", false);
    const toml::node *list = root.get("reference");
    if (!list || !list->is_array_of_tables())
        reader.fail(list ? *list : static_cast<const toml::node &>(root),
                    QStringLiteral("a station needs at least one [[reference]]"));
    const QDir folder = QFileInfo(path).absoluteDir();
    for (const toml::node &node : *list->as_array()) {
        const toml::table &table = *node.as_table();
        reader.onlyKeys(table, {"name", "kind", "link", "driver", "calibration_due", "channels"});
        ReferenceInstrument reference;
        reference.line = int(table.source().begin.line);
        reference.column = int(table.source().begin.column);
        reference.name = reader.text(table, "name", true);
        if (station.find(reference.name))
            reader.fail(*table.get("name"), QStringLiteral("a second reference named '%1'").arg(reference.name));
        reference.kind = reader.kind(table);
        reference.link = reader.text(table, "link", true);

        const QString driverPath = folder.absoluteFilePath(reader.text(table, "driver", true));
        if (!QFileInfo::exists(driverPath))
            reader.fail(*table.get("driver"), QStringLiteral("no driver file %1").arg(driverPath));
        reference.driver = LoadDriver(driverPath);
        if (reference.driver.kind != reference.kind)
            reader.fail(*table.get("driver"), QStringLiteral("the driver is for a %1, the reference is a %2")
                                                 .arg(QLatin1String(ReferenceKindName(reference.driver.kind)),
                                                      QLatin1String(ReferenceKindName(reference.kind))));

        if (const toml::node *due = table.get("calibration_due")) {
            const toml::value<toml::date> *date = due->as_date();
            if (!date)
                reader.fail(*due, QStringLiteral("'calibration_due' must be a date (2027-06-30)"));
            const toml::date d = **date;
            reference.calibrationDue = QDate(int(d.year), int(d.month), int(d.day));
        }
        if (const toml::node *channels = table.get("channels")) {
            if (!channels->is_table())
                reader.fail(*channels, QStringLiteral("'channels' must be a table of slot = channel"));
            if (reference.kind != ReferenceKind::Scanner)
                reader.fail(*channels, QStringLiteral("only a scanner has channels"));
            for (auto &&[slot, channel] : *channels->as_table()) {
                const auto number = channel.as_integer();
                if (!number || **number < 0 || **number > 9999)
                    reader.fail(channel, QStringLiteral("a channel is a whole number from 0 to 9999"));
                reference.channels.insert(QString::fromStdString(std::string(slot.str())), int(**number));
            }
        }
        station.references.append(reference);
    }
    return station;
}
