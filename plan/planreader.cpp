#include "plan/planreader.h"

#include "plan/planengine.h"
#include "plan/stepkinds.h"

#include "link/modelcatalogue.h"
#include "link/setwrites.h"

#include <QSet>

#include <cmath>

void PlanReader::fail(const toml::source_region &where, const QString &cause) const
{
    throw PlanError(m_file, int(where.begin.line), int(where.begin.column), cause);
}

void PlanReader::onlyKeys(const toml::table &table, std::initializer_list<const char *> allowed, const QString &what) const
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

QString PlanReader::text(const toml::table &table, const char *key, bool required, const QString &what) const
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

std::optional<double> PlanReader::number(const toml::table &table, const char *key, bool required, const QString &what,
                                         double low, double high) const
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

std::optional<int> PlanReader::whole(const toml::table &table, const char *key, bool required, const QString &what,
                                     double low, double high) const
{
    const std::optional<double> value = number(table, key, required, what, low, high);
    if (value && *value != std::floor(*value))
        fail(*table.get(key), QStringLiteral("'%1' = %2 is not a whole number").arg(QLatin1String(key), PlainNumber(*value)));
    return value ? std::optional<int>(int(*value)) : std::nullopt;
}

std::optional<bool> PlanReader::flag(const toml::table &table, const char *key) const
{
    const toml::node *node = table.get(key);
    if (!node)
        return std::nullopt;
    if (!node->is_boolean())
        fail(*node, QStringLiteral("'%1' is not true or false").arg(QLatin1String(key)));
    return node->as_boolean()->get();
}

const toml::array *PlanReader::array(const toml::table &table, const char *key) const
{
    const toml::node *node = table.get(key);
    if (node && !node->is_array())
        fail(*node, QStringLiteral("'%1' is not a list").arg(QLatin1String(key)));
    return node ? node->as_array() : nullptr;
}

const toml::table &PlanReader::tableAt(const toml::node &node, const QString &what) const
{
    if (!node.is_table())
        fail(node, QStringLiteral("%1 is not a table").arg(what));
    return *node.as_table();
}

void PlanReader::inRange(const toml::node &node, const QString &key, double value, const QString &name) const
{
    for (const ModelEntry *model : m_models) {
        const QString refusal = RangeRefusal(name, value, model);
        if (!refusal.isEmpty())
            fail(node, QStringLiteral("'%1': %2").arg(key, refusal));
    }
}

Quantity PlanReader::quantity(const toml::table &table, const QString &what) const
{
    const QString q = text(table, "quantity", true, what);
    if (q != QLatin1String("voltage") && q != QLatin1String("current"))
        fail(*table.get("quantity"), QStringLiteral("quantity '%1' is not voltage or current").arg(q));
    return *QuantityFromName(q);
}

OnFail PlanReader::onFail(const toml::table &table) const
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

PlanCheck PlanReader::check(const toml::table &table, std::initializer_list<Quantity> quantities, bool withStatistic) const
{
    const QString what = QStringLiteral("a check");
    onlyKeys(table, {"name", "quantity", "statistic", "min", "max", "percent", "counts", "compare", "decision"}, what);
    PlanCheck check;
    check.line = int(table.source().begin.line);
    check.column = int(table.source().begin.column);
    check.name = text(table, "name", true, what);
    const QString quantity = text(table, "quantity", true, what);
    QStringList names;
    for (const Quantity q : quantities) {
        names << QuantityName(q);
        if (names.last() == quantity)
            check.quantity = q;
    }
    if (!names.contains(quantity))
        fail(*table.get("quantity"), QStringLiteral("quantity '%1' is not one of %2").arg(quantity, names.join(QStringLiteral(", "))));
    if (withStatistic) {
        const QString statistic = text(table, "statistic", false, what);
        const std::optional<Statistic> known = StatisticFromName(statistic.isEmpty() ? QStringLiteral("mean") : statistic);
        if (!known)
            fail(*table.get("statistic"), QStringLiteral("statistic '%1' is not mean, min or max").arg(statistic));
        check.statistic = *known;
    } else if (table.get("statistic")) {
        fail(*table.get("statistic"), QStringLiteral("a total has no statistic"));
    }
    CheckLimits &limits = check.limits;
    limits.min = number(table, "min", false, what, -1e9, 1e9);
    limits.max = number(table, "max", false, what, -1e9, 1e9);
    const auto percent = number(table, "percent", false, what, 0, 100);
    const auto counts = number(table, "counts", false, what, 0, 65535);
    limits.relative = percent || counts;
    if (limits.relative && (limits.min || limits.max))
        fail(table, QStringLiteral("check '%1' has both absolute (min, max) and relative (percent, counts) limits").arg(check.name));
    if (!limits.relative && !limits.min && !limits.max)
        fail(table, QStringLiteral("check '%1' has no limit (min, max, or percent and counts of the setpoint)").arg(check.name));
    if (limits.relative && check.quantity != Quantity::Voltage && check.quantity != Quantity::Current)
        fail(table, QStringLiteral("check '%1': only voltage and current have a setpoint to be relative to").arg(check.name));
    if (limits.min && limits.max && *limits.min > *limits.max)
        fail(*table.get("min"), QStringLiteral("check '%1': min %2 is above max %3")
                                    .arg(check.name, PlainNumber(*limits.min), PlainNumber(*limits.max)));
    limits.percent = percent.value_or(0);
    limits.counts = counts.value_or(0);
    check.compare = text(table, "compare", false, what);
    if (!check.compare.isEmpty() && check.compare != QLatin1String("readback"))
        fail(*table.get("compare"), QStringLiteral("compare '%1' is not readback").arg(check.compare));
    const QString decision = text(table, "decision", false, what);
    if (!decision.isEmpty() && decision != QLatin1String("simple") && decision != QLatin1String("guarded"))
        fail(*table.get("decision"), QStringLiteral("decision '%1' is not simple or guarded").arg(decision));
    check.decision = decision == QLatin1String("guarded") ? DecisionRule::Guarded : DecisionRule::Simple;
    if (!withStatistic && (table.get("compare") || table.get("decision")))
        fail(table, QStringLiteral("check '%1': only a measure's check has compare and decision").arg(check.name));
    return check;
}

QVector<PlanCheck> PlanReader::checks(const toml::table &table, std::initializer_list<Quantity> quantities,
                                      bool withStatistic) const
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

std::unique_ptr<const PlanStep> PlanReader::step(const toml::table &table, int depth) const
{
    const QString type = text(table, "type", true, QStringLiteral("a step"));
    const QString label = text(table, "name", false, QString());
    const OnFail stepOnFail = onFail(table);
    const StepKind *kind = FindStepKind(type);
    if (!kind)
        fail(*table.get("type"), QStringLiteral("unknown step '%1' (%2)").arg(type, StepKindNames().join(QStringLiteral(", "))));
    std::unique_ptr<PlanStep> step = kind->read({table, *this, type, QStringLiteral("a %1 step").arg(type), depth});
    step->line = int(table.source().begin.line);
    step->column = int(table.source().begin.column);
    step->type = type;
    step->label = label.isEmpty() ? type : label;
    step->onFail = stepOnFail;
    return step;
}

StepList PlanReader::steps(const toml::table &root, const char *key) const
{
    StepList result;
    if (const toml::array *list = array(root, key)) {
        for (const toml::node &node : *list)
            result.push_back(step(tableAt(node, QStringLiteral("a step")), 0));
    }
    return result;
}
