// LoadPlan: a plan file in TOML made into checked steps. Every refusal names
// the file, the line and column of the value at fault, and the cause, before
// anything is sent.

#include "plan/planengine.h"
#include "plan/plansteps.h"

#include "link/csvlines.h"
#include "link/modelcatalogue.h"

#include <QFile>
#include <QFileInfo>
#include <QDir>
#include <QLocale>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <toml++/toml.h>

namespace {

class Reader
{
public:
    explicit Reader(const QString &file) : m_file(file) {}

    [[noreturn]] void fail(const toml::source_region &where, const QString &cause) const
    {
        throw PlanError(m_file, int(where.begin.line), int(where.begin.column), cause);
    }
    [[noreturn]] void fail(const toml::node &node, const QString &cause) const { fail(node.source(), cause); }

    // Refuses keys of table not in allowed (a misspelt key would otherwise be
    // a limit silently left out).
    void onlyKeys(const toml::table &table, std::initializer_list<const char *> allowed, const QString &what) const
    {
        for (auto &&[key, value] : table) {
            bool known = false;
            for (const char *name : allowed)
                known = known || key.str() == name;
            if (!known)
                fail(key.source().begin.line ? key.source() : value.source(),
                     QStringLiteral("unknown key '%1' in %2").arg(QString::fromStdString(std::string(key.str())), what));
        }
    }

    QString text(const toml::table &table, const char *key, bool required, const QString &what) const
    {
        const toml::node *node = table.get(key);
        if (!node) {
            if (required)
                fail(table, QStringLiteral("%1 has no '%2'").arg(what, QLatin1String(key)));
            return QString();
        }
        if (!node->is_string())
            fail(*node, QStringLiteral("'%1' is not a text").arg(QLatin1String(key)));
        return QString::fromStdString(node->as_string()->get());
    }

    // A number; low and high bound values that are not a model's (times,
    // counts, limits of checks): those of a supply are checked by inRange.
    std::optional<double> number(const toml::table &table, const char *key, bool required, const QString &what,
                                 double low = -std::numeric_limits<double>::infinity(),
                                 double high = std::numeric_limits<double>::infinity()) const
    {
        const toml::node *node = table.get(key);
        if (!node) {
            if (required)
                fail(table, QStringLiteral("%1 has no '%2'").arg(what, QLatin1String(key)));
            return std::nullopt;
        }
        if (!node->is_number())
            fail(*node, QStringLiteral("'%1' is not a number").arg(QLatin1String(key)));
        const double value = node->value<double>().value_or(0);
        if (!std::isfinite(value))
            fail(*node, QStringLiteral("'%1' = %2 is not a finite number").arg(QLatin1String(key), PlainNumber(value)));
        if (value < low || value > high)
            fail(*node, QStringLiteral("'%1' = %2 is outside %3..%4")
                            .arg(QLatin1String(key), PlainNumber(value), PlainNumber(low), PlainNumber(high)));
        return value;
    }

    // A count or an address: a number, refused unless whole.
    std::optional<int> whole(const toml::table &table, const char *key, bool required, const QString &what,
                             double low, double high) const
    {
        const std::optional<double> value = number(table, key, required, what, low, high);
        if (value && *value != std::floor(*value))
            fail(*table.get(key), QStringLiteral("'%1' = %2 is not a whole number").arg(QLatin1String(key), PlainNumber(*value)));
        return value ? std::optional<int>(int(*value)) : std::nullopt;
    }

    std::optional<bool> flag(const toml::table &table, const char *key) const
    {
        const toml::node *node = table.get(key);
        if (!node)
            return std::nullopt;
        if (!node->is_boolean())
            fail(*node, QStringLiteral("'%1' is not true or false").arg(QLatin1String(key)));
        return node->as_boolean()->get();
    }

    const toml::array *array(const toml::table &table, const char *key) const
    {
        const toml::node *node = table.get(key);
        if (node && !node->is_array())
            fail(*node, QStringLiteral("'%1' is not a list").arg(QLatin1String(key)));
        return node ? node->as_array() : nullptr;
    }

    const toml::table &tableAt(const toml::node &node, const QString &what) const
    {
        if (!node.is_table())
            fail(node, QStringLiteral("%1 is not a table").arg(what));
        return *node.as_table();
    }

    // A value written to a supply ("voltage", "current", "ovp", "ocp",
    // "power") against every slot's model: the range set and the bridge hold
    // a value to as well.
    void inRange(const toml::node &node, const QString &key, double value, const QString &name) const
    {
        for (const ModelEntry *model : m_models) {
            const QString refusal = RangeRefusal(name, value, model);
            if (!refusal.isEmpty())
                fail(node, QStringLiteral("'%1': %2").arg(key, refusal));
        }
    }
    void inRange(const toml::table &table, const char *key, double value, const QString &name) const
    {
        inRange(*table.get(key), QLatin1String(key), value, name);
    }

    QString quantity(const toml::table &table, const QString &what) const
    {
        const QString q = text(table, "quantity", true, what);
        if (q != QLatin1String("voltage") && q != QLatin1String("current"))
            fail(*table.get("quantity"), QStringLiteral("quantity '%1' is not voltage or current").arg(q));
        return q;
    }

    OnFail onFail(const toml::table &table) const
    {
        const QString value = text(table, "on_fail", false, QString());
        if (value.isEmpty())
            return OnFail::Inherit;
        if (value == QLatin1String("stop"))
            return OnFail::Stop;
        if (value == QLatin1String("continue"))
            return OnFail::Continue;
        fail(*table.get("on_fail"), QStringLiteral("on_fail '%1' is not stop or continue").arg(value));
    }

    PlanCheck check(const toml::table &table, const QStringList &quantities, bool withStatistic) const
    {
        const QString what = QStringLiteral("a check");
        onlyKeys(table, {"name", "quantity", "statistic", "min", "max", "percent", "counts"}, what);
        PlanCheck check;
        check.line = int(table.source().begin.line);
        check.column = int(table.source().begin.column);
        check.name = text(table, "name", true, what);
        check.quantity = text(table, "quantity", true, what);
        if (!quantities.contains(check.quantity))
            fail(*table.get("quantity"), QStringLiteral("quantity '%1' is not one of %2").arg(check.quantity, quantities.join(QStringLiteral(", "))));
        if (withStatistic) {
            check.statistic = text(table, "statistic", false, what);
            if (check.statistic.isEmpty())
                check.statistic = QStringLiteral("mean");
            if (check.statistic != QLatin1String("mean") && check.statistic != QLatin1String("min")
                && check.statistic != QLatin1String("max"))
                fail(*table.get("statistic"), QStringLiteral("statistic '%1' is not mean, min or max").arg(check.statistic));
        } else if (table.get("statistic")) {
            fail(*table.get("statistic"), QStringLiteral("a total has no statistic"));
        }
        check.min = number(table, "min", false, what, -1e9, 1e9);
        check.max = number(table, "max", false, what, -1e9, 1e9);
        const auto percent = number(table, "percent", false, what, 0, 100);
        const auto counts = number(table, "counts", false, what, 0, 65535);
        check.relative = percent || counts;
        if (check.relative && (check.min || check.max))
            fail(table, QStringLiteral("check '%1' has both absolute (min, max) and relative (percent, counts) limits").arg(check.name));
        if (!check.relative && !check.min && !check.max)
            fail(table, QStringLiteral("check '%1' has no limit (min, max, or percent and counts of the setpoint)").arg(check.name));
        if (check.relative && check.quantity != QLatin1String("voltage") && check.quantity != QLatin1String("current"))
            fail(table, QStringLiteral("check '%1': only voltage and current have a setpoint to be relative to").arg(check.name));
        if (check.min && check.max && *check.min > *check.max)
            fail(*table.get("min"), QStringLiteral("check '%1': min %2 is above max %3")
                                        .arg(check.name, PlainNumber(*check.min), PlainNumber(*check.max)));
        check.percent = percent.value_or(0);
        check.counts = counts.value_or(0);
        return check;
    }

    QVector<PlanCheck> checks(const toml::table &table, const QStringList &quantities, bool withStatistic) const
    {
        QVector<PlanCheck> result;
        const toml::array *list = array(table, "check");
        if (!list)
            return result;
        QSet<QString> names;
        for (const toml::node &node : *list) {
            result.append(check(tableAt(node, QStringLiteral("a check")), quantities, withStatistic));
            if (names.contains(result.last().name))
                fail(node, QStringLiteral("check '%1' is named twice in its step").arg(result.last().name));
            names.insert(result.last().name);
        }
        return result;
    }

    StopConditions stop(const toml::table &step) const
    {
        StopConditions stop;
        const toml::node *node = step.get("stop");
        if (!node)
            return stop;
        const toml::table &table = tableAt(*node, QStringLiteral("stop"));
        const QString what = QStringLiteral("stop");
        onlyKeys(table, {"time", "charge", "energy", "taper_current", "taper_time"}, what);
        stop.seconds = number(table, "time", false, what, 0.001, 1e7);
        stop.chargeAh = number(table, "charge", false, what, 1e-6, 1e6);
        stop.energyWh = number(table, "energy", false, what, 1e-6, 1e9);
        stop.taperAmps = number(table, "taper_current", false, what, 0, 1e4);
        if (stop.taperAmps)
            stop.taperSeconds = *number(table, "taper_time", true, what, 0, 1e7);
        else if (table.get("taper_time"))
            fail(*table.get("taper_time"), QStringLiteral("taper_time without taper_current"));
        if (!stop.any())
            fail(table, QStringLiteral("stop names no condition (time, charge, energy, taper_current)"));
        return stop;
    }

    QVector<ProfileRow> profile(const toml::table &step, const QString &planFolder) const
    {
        const QString name = text(step, "file", true, QStringLiteral("a profile"));
        const QString path = QDir(planFolder).filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            fail(*step.get("file"), QStringLiteral("cannot read profile %1: %2").arg(path, file.errorString()));
        QVector<ProfileRow> rows;
        for (const CsvLine &line : CsvDataLines(QString::fromUtf8(file.readAll()))) {
            const QStringList &fields = line.fields;
            const auto refuse = [&](int column, const QString &cause) {
                throw PlanError(path, line.number, column, cause);
            };
            if (fields.size() != 3)
                refuse(1, QStringLiteral("%1 fields where time,voltage,current are expected").arg(fields.size()));
            double values[3];
            int columns[3];
            int column = 1;
            static const char *names[] = {"time", "voltage", "current"};
            for (int k = 0; k < 3; ++k) {
                bool ok = false;
                values[k] = QLocale::c().toDouble(fields.at(k), &ok);
                if (!ok || !std::isfinite(values[k]) || (k == 0 && values[k] < 0))
                    refuse(column, QStringLiteral("'%1' is not a %2%3")
                                       .arg(fields.at(k), QLatin1String(names[k]), k == 0 ? QStringLiteral(" of 0 or more") : QString()));
                columns[k] = column;
                column += int(line.text.section(QLatin1Char(','), k, k).size()) + 1;
            }
            if (!rows.isEmpty() && values[0] <= rows.last().seconds)
                refuse(1, QStringLiteral("time %1 does not follow %2").arg(PlainNumber(values[0]), PlainNumber(rows.last().seconds)));
            for (const ModelEntry *model : m_models) {
                for (int k = 1; k < 3; ++k) {
                    const QString refusal = RangeRefusal(QLatin1String(names[k]), values[k], model);
                    if (!refusal.isEmpty())
                        refuse(columns[k], refusal);
                }
            }
            rows.append({values[0], values[1], values[2]});
        }
        if (rows.isEmpty())
            fail(*step.get("file"), QStringLiteral("profile %1 has no rows of time,voltage,current").arg(path));
        return rows;
    }

    PlanStep step(const toml::table &table, const QString &planFolder, int depth) const
    {
        PlanStep step;
        step.line = int(table.source().begin.line);
        step.column = int(table.source().begin.column);
        step.type = text(table, "type", true, QStringLiteral("a step"));
        step.label = text(table, "name", false, QString());
        step.onFail = onFail(table);
        const QString what = QStringLiteral("a %1 step").arg(step.type);
        static const QStringList kinds = {QStringLiteral("set"),     QStringLiteral("ramp"),    QStringLiteral("wait"),
                                          QStringLiteral("settle"),  QStringLiteral("measure"), QStringLiteral("loop"),
                                          QStringLiteral("sweep"),   QStringLiteral("profile"), QStringLiteral("protection")};
        const int kind = kinds.indexOf(step.type);
        if (kind < 0)
            fail(*table.get("type"), QStringLiteral("unknown step '%1' (%2)").arg(step.type, kinds.join(QStringLiteral(", "))));
        step.kind = PlanStep::Kind(kind);
        const QStringList readings = {QStringLiteral("voltage"), QStringLiteral("current"), QStringLiteral("power")};
        const QStringList totals = {QStringLiteral("charge"), QStringLiteral("energy"), QStringLiteral("duration")};

        switch (step.kind) {
        case PlanStep::Set: {
            onlyKeys(table, {"type", "name", "on_fail", "voltage", "current", "ovp", "ocp", "power", "output", "lock",
                             "power_control", "pid"}, what);
            step.set.voltage = number(table, "voltage", false, what);
            step.set.current = number(table, "current", false, what);
            step.set.ovp = number(table, "ovp", false, what);
            step.set.ocp = number(table, "ocp", false, what);
            step.set.power = number(table, "power", false, what);
            step.set.output = flag(table, "output");
            step.set.lock = flag(table, "lock");
            step.set.powerControl = flag(table, "power_control");
            step.set.pid = flag(table, "pid");
            const std::pair<const char *, std::optional<double>> written[] = {
                {"voltage", step.set.voltage}, {"current", step.set.current}, {"ovp", step.set.ovp},
                {"ocp", step.set.ocp}, {"power", step.set.power}};
            for (const auto &[key, value] : written) {
                if (value)
                    inRange(table, key, *value, QLatin1String(key));
            }
            if (!step.set.any())
                fail(table, QStringLiteral("a set step sets nothing"));
            if (step.label.isEmpty())
                step.label = QStringLiteral("set");
            break;
        }
        case PlanStep::Ramp:
            onlyKeys(table, {"type", "name", "on_fail", "quantity", "from", "to", "time", "interval"}, what);
            step.quantity = quantity(table, what);
            step.from = number(table, "from", false, what);
            step.to = *number(table, "to", true, what);
            step.seconds = *number(table, "time", true, what, 0.001, 1e7);
            step.interval = number(table, "interval", false, what, 0, 1e5).value_or(0.5);
            if (step.from)
                inRange(table, "from", *step.from, step.quantity);
            inRange(table, "to", step.to, step.quantity);
            break;
        case PlanStep::Wait:
            onlyKeys(table, {"type", "name", "on_fail", "time", "interval", "stop", "check"}, what);
            step.seconds = *number(table, "time", true, what, 0, 1e7);
            step.interval = number(table, "interval", false, what, 0, 1e5).value_or(0);
            step.stop = stop(table);
            step.checks = checks(table, totals, false);
            if ((step.stop.any() || !step.checks.isEmpty()) && step.interval == 0)
                step.interval = 1.0;
            break;
        case PlanStep::Settle:
            onlyKeys(table, {"type", "name", "on_fail", "quantity", "target", "tolerance", "hold", "timeout", "interval"}, what);
            step.quantity = quantity(table, what);
            step.target = number(table, "target", false, what);
            if (step.target)
                inRange(table, "target", *step.target, step.quantity);
            step.tolerance = *number(table, "tolerance", true, what, 0, 1e4);
            step.seconds = *number(table, "hold", true, what, 0, 1e7);
            step.timeout = *number(table, "timeout", true, what, 0.001, 1e7);
            step.interval = number(table, "interval", false, what, 0, 1e5).value_or(0);
            if (step.seconds > step.timeout)
                fail(*table.get("hold"), QStringLiteral("hold %1 s is longer than the timeout %2 s")
                                             .arg(PlainNumber(step.seconds), PlainNumber(step.timeout)));
            break;
        case PlanStep::Measure:
            onlyKeys(table, {"type", "name", "on_fail", "count", "interval", "check"}, what);
            step.count = whole(table, "count", false, what, 1, 100000).value_or(1);
            step.interval = number(table, "interval", false, what, 0, 1e5).value_or(0);
            step.checks = checks(table, readings, true);
            if (step.checks.isEmpty())
                fail(table, QStringLiteral("a measure step has no check"));
            break;
        case PlanStep::Loop:
        case PlanStep::Sweep: {
            if (depth > 8)
                fail(table, QStringLiteral("loops and sweeps nest deeper than 8"));
            if (step.kind == PlanStep::Loop) {
                onlyKeys(table, {"type", "name", "on_fail", "count", "do"}, what);
                step.count = *whole(table, "count", true, what, 1, 1e6);
            } else {
                onlyKeys(table, {"type", "name", "on_fail", "quantity", "fractions", "values", "do"}, what);
                step.quantity = quantity(table, what);
                const toml::array *fractions = array(table, "fractions");
                const toml::array *values = array(table, "values");
                if (!fractions == !values)
                    fail(table, QStringLiteral("a sweep needs either fractions (of the range) or values (in units)"));
                step.fractions = fractions;
                for (const toml::node &node : fractions ? *fractions : *values) {
                    if (!node.is_number())
                        fail(node, QStringLiteral("a sweep's setpoint is not a number"));
                    const double value = node.value<double>().value_or(0);
                    if (fractions && (value < 0 || value > 1))
                        fail(node, QStringLiteral("fraction %1 is outside 0..1").arg(PlainNumber(value)));
                    if (values)
                        inRange(node, QStringLiteral("values"), value, step.quantity);
                    step.values.append(value);
                }
                if (step.values.isEmpty())
                    fail(table, QStringLiteral("a sweep over no setpoints"));
                step.count = step.values.size();
            }
            const toml::array *body = array(table, "do");
            if (!body || body->empty())
                fail(table, QStringLiteral("a %1 with no steps in 'do'").arg(step.type));
            for (const toml::node &node : *body)
                step.body.append(this->step(tableAt(node, QStringLiteral("a step")), planFolder, depth + 1));
            break;
        }
        case PlanStep::Profile:
            onlyKeys(table, {"type", "name", "on_fail", "file", "ramp", "interval", "stop", "check"}, what);
            step.rows = profile(table, planFolder);
            step.rampRows = flag(table, "ramp").value_or(false);
            step.interval = number(table, "interval", false, what, 0, 1e5).value_or(0);
            step.stop = stop(table);
            step.checks = checks(table, totals, false);
            if ((step.stop.any() || !step.checks.isEmpty()) && step.interval == 0)
                step.interval = 1.0;
            step.seconds = step.rows.last().seconds;
            break;
        case PlanStep::Protection: {
            onlyKeys(table, {"type", "name", "on_fail", "limit", "level", "within", "interval"}, what);
            step.limit = text(table, "limit", true, what);
            if (step.limit != QLatin1String("ovp") && step.limit != QLatin1String("ocp"))
                fail(*table.get("limit"), QStringLiteral("limit '%1' is not ovp or ocp").arg(step.limit));
            step.level = *number(table, "level", true, what);
            step.seconds = *number(table, "within", true, what, 0.001, 1e4);
            step.interval = number(table, "interval", false, what, 0, 1e5).value_or(0.5);
            inRange(table, "level", step.level, step.limit);
            break;
        }
        }
        if (step.label.isEmpty())
            step.label = step.type;
        return step;
    }

    QVector<PlanStep> steps(const toml::table &root, const char *key, const QString &folder) const
    {
        QVector<PlanStep> result;
        if (const toml::array *list = array(root, key)) {
            for (const toml::node &node : *list)
                result.append(step(tableAt(node, QStringLiteral("a step")), folder, 0));
        }
        return result;
    }

    QVector<const ModelEntry *> m_models; // every slot's

private:
    QString m_file;
};

} // namespace

PlanError::PlanError(const QString &file, int line, int column, const QString &cause)
    : SystemError(line > 0 ? QStringLiteral("%1:%2:%3: %4").arg(file).arg(line).arg(column).arg(cause)
                           : QStringLiteral("%1: %2").arg(file, cause)),
      m_file(file), m_line(line), m_column(column), m_cause(cause)
{
}

Plan LoadPlan(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw PlanError(path, 0, 0, QStringLiteral("cannot read the plan: %1").arg(file.errorString()));
    const std::string text = file.readAll().toStdString();
    toml::table root;
    try {
        root = toml::parse(text, path.toStdString());
    } catch (const toml::parse_error &error) {
        throw PlanError(path, int(error.source().begin.line), int(error.source().begin.column),
                        QString::fromStdString(std::string(error.description())));
    }

    Reader reader(path);
    reader.onlyKeys(root, {"name", "version", "models", "on_fail", "slot", "step", "finally"}, QStringLiteral("the plan"));
    Plan plan;
    plan.file = path;
    plan.name = reader.text(root, "name", true, QStringLiteral("the plan"));
    plan.version = reader.text(root, "version", true, QStringLiteral("the plan"));
    if (const toml::array *models = reader.array(root, "models")) {
        for (const toml::node &node : *models) {
            if (!node.is_string() || !ModelItemFromText(QString::fromStdString(node.as_string()->get())))
                reader.fail(node, QStringLiteral("not a model of the catalogue"));
            plan.models << QString::fromLatin1(
                FindModel(ModelItemFromText(QString::fromStdString(node.as_string()->get())))->caption);
        }
    }

    const toml::array *slotTables = reader.array(root, "slot");
    if (!slotTables || slotTables->empty())
        reader.fail(root, QStringLiteral("the plan has no [[slot]]"));
    QSet<int> addresses;
    QSet<QString> names;
    for (const toml::node &node : *slotTables) {
        const toml::table &table = reader.tableAt(node, QStringLiteral("a slot"));
        const QString what = QStringLiteral("a slot");
        reader.onlyKeys(table, {"name", "address", "model"}, what);
        PlanSlot slot;
        slot.address = *reader.whole(table, "address", true, what, 1, 247);
        slot.name = reader.text(table, "name", false, what);
        if (slot.name.isEmpty())
            slot.name = QString::number(slot.address);
        const QString model = reader.text(table, "model", true, what);
        const int item = ModelItemFromText(model);
        if (!item)
            reader.fail(*table.get("model"), QStringLiteral("unknown model '%1'").arg(model));
        slot.model = QString::fromLatin1(FindModel(item)->caption);
        if (!plan.models.isEmpty() && !plan.models.contains(slot.model))
            reader.fail(*table.get("model"), QStringLiteral("model %1 is not among the plan's models").arg(slot.model));
        if (addresses.contains(slot.address))
            reader.fail(*table.get("address"), QStringLiteral("address %1 is in two slots").arg(slot.address));
        if (names.contains(slot.name))
            reader.fail(table, QStringLiteral("slot name '%1' is used twice").arg(slot.name));
        addresses.insert(slot.address);
        names.insert(slot.name);
        plan.slotList.append(slot);
        reader.m_models.append(FindModel(item));
    }

    auto steps = std::make_shared<PlanSteps>();
    const OnFail onFail = reader.onFail(root);
    steps->onFail = onFail == OnFail::Continue ? OnFail::Continue : OnFail::Stop;
    const QString folder = QFileInfo(path).absolutePath();
    steps->steps = reader.steps(root, "step", folder);
    steps->finallySteps = reader.steps(root, "finally", folder);
    if (steps->steps.isEmpty())
        reader.fail(root, QStringLiteral("the plan has no [[step]]"));
    plan.steps = steps;
    return plan;
}

namespace {

QString checkUnit(const QString &quantity)
{
    static const QHash<QString, QString> units = {
        {QStringLiteral("voltage"), QStringLiteral("V")}, {QStringLiteral("current"), QStringLiteral("A")},
        {QStringLiteral("power"), QStringLiteral("W")},   {QStringLiteral("charge"), QStringLiteral("Ah")},
        {QStringLiteral("energy"), QStringLiteral("Wh")}, {QStringLiteral("duration"), QStringLiteral("s")},
        {QStringLiteral("trip_time"), QStringLiteral("s")}};
    return units.value(quantity);
}

// The checks of steps whose paths are prefix.N[pass] (N alone at the top,
// finally.N in the finally block), as the run names them.
void plannedChecks(const QVector<PlanStep> &steps, const QString &prefix, int pass, bool inFinally,
                   QVector<PlannedCheck> &list)
{
    for (int n = 0; n < steps.size() && list.size() < PlannedChecksListed; ++n) {
        const PlanStep &step = steps.at(n);
        const QString path = !prefix.isEmpty() ? QStringLiteral("%1.%2[%3]").arg(prefix).arg(n + 1).arg(pass)
                             : inFinally       ? QStringLiteral("finally.%1").arg(n + 1)
                                               : QString::number(n + 1);
        for (const PlanCheck &check : step.checks) {
            PlannedCheck planned{path, step.label, check.name, check.quantity, check.statistic,
                                 checkUnit(check.quantity), std::nullopt, std::nullopt};
            if (!check.relative) {
                planned.low = check.min;
                planned.high = check.max;
            }
            list.append(planned);
        }
        if (step.kind == PlanStep::Protection) {
            const QString quantity = QStringLiteral("trip_time");
            list.append({path, step.label, step.label, quantity, QString(), checkUnit(quantity), std::nullopt, step.seconds});
        }
        if (step.kind == PlanStep::Loop || step.kind == PlanStep::Sweep) {
            for (int p = 1; p <= step.count && list.size() < PlannedChecksListed; ++p)
                plannedChecks(step.body, path, p, inFinally, list);
        }
    }
}

} // namespace

QVector<PlannedCheck> PlannedChecks(const Plan &plan)
{
    QVector<PlannedCheck> list;
    if (!plan.steps)
        return list;
    plannedChecks(plan.steps->steps, QString(), 0, false, list);
    plannedChecks(plan.steps->finallySteps, QString(), 0, true, list);
    list.resize(std::min<qsizetype>(list.size(), PlannedChecksListed));
    return list;
}

void CheckSerials(const QStringList &serials, int slotCount)
{
    const QString file = QStringLiteral("serials");
    if (serials.size() != slotCount)
        throw PlanError(file, 0, 0, QStringLiteral("%1 serial numbers for %2 slots; one per slot, in slot order")
                                        .arg(serials.size()).arg(slotCount));
    QSet<QString> seen;
    for (int i = 0; i < serials.size(); ++i) {
        const QString serial = serials.at(i).trimmed();
        if (serial.isEmpty())
            throw PlanError(file, 0, 0, QStringLiteral("the serial number of slot %1 is empty").arg(i + 1));
        if (seen.contains(serial))
            throw PlanError(file, 0, 0, QStringLiteral("serial number %1 is given for two slots").arg(serial));
        seen.insert(serial);
    }
}
