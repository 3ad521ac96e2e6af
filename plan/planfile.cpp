// LoadPlan: a plan file in TOML made into checked steps. Every refusal names
// the file, the line and column of the value at fault, and the cause, before
// anything is sent.

#include "plan/planengine.h"
#include "plan/planreader.h"

#include "link/modelcatalogue.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

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

    PlanReader reader(path, QFileInfo(path).absolutePath());
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
    steps->steps = reader.steps(root, "step");
    steps->finallySteps = reader.steps(root, "finally");
    if (steps->steps.empty())
        reader.fail(root, QStringLiteral("the plan has no [[step]]"));
    plan.steps = steps;
    plan.references = reader.references();
    return plan;
}

QVector<PlannedCheck> PlanStep::plannedChecks(const QString &path) const
{
    QVector<PlannedCheck> list;
    for (const PlanCheck &check : checks) {
        PlannedCheck planned{path, label, check.name, QuantityName(check.quantity), StatisticName(check.statistic),
                             QuantityUnit(check.quantity), std::nullopt, std::nullopt};
        if (!check.limits.relative) {
            planned.low = check.limits.min;
            planned.high = check.limits.max;
        }
        list.append(planned);
    }
    return list;
}

namespace {

// The checks of steps whose paths are prefix.N[pass] (N alone at the top,
// finally.N in the finally block), as the run names them.
void plannedChecks(const StepList &steps, const QString &prefix, int pass, bool inFinally, QVector<PlannedCheck> &list)
{
    for (int n = 0; n < int(steps.size()) && list.size() < PlannedChecksListed; ++n) {
        const PlanStep &step = *steps.at(n);
        const QString path = !prefix.isEmpty() ? QStringLiteral("%1.%2[%3]").arg(prefix).arg(n + 1).arg(pass)
                             : inFinally       ? QStringLiteral("finally.%1").arg(n + 1)
                                               : QString::number(n + 1);
        list += step.plannedChecks(path);
        if (const StepList *body = step.body()) {
            for (int p = 1; p <= step.passes() && list.size() < PlannedChecksListed; ++p)
                plannedChecks(*body, path, p, inFinally, list);
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
