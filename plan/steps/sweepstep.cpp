// sweep: its steps once for each setpoint of a list, written (and read back)
// before each pass; in units, or as fractions of each slot's model range.

#include "plan/planreader.h"
#include "plan/slotmachine.h"
#include "plan/steps/blockstep.h"

#include "link/modelcatalogue.h"

namespace {

class SweepStep : public BlockStep
{
public:
    Quantity quantity = Quantity::Voltage;
    QVector<double> values;
    bool fractions = false;

    bool beforePass(SlotMachine &slot, int pass) const override
    {
        const double value = values.at(pass);
        slot.scheduleNow(true, [this, &slot, value] {
            const ModelEntry &model = slot.model();
            const double units = fractions ? value * (quantity == Quantity::Voltage
                                                          ? double(model.voltageLimit) / model.voltageScale
                                                          : double(model.currentLimit) / model.currentScale)
                                           : value;
            slot.writeSetpoint(quantity, units, true, [&slot] { slot.advance(); });
        });
        return true;
    }
};

} // namespace

std::unique_ptr<PlanStep> ReadSweepStep(const StepSource &source)
{
    BlockStep::checkDepth(source);
    const toml::table &table = source.table;
    const PlanReader &reader = source.reader;
    reader.onlyKeys(table, {"type", "name", "on_fail", "quantity", "fractions", "values", "do"}, source.what);
    auto step = std::make_unique<SweepStep>();
    step->quantity = reader.quantity(table, source.what);
    const toml::array *fractions = reader.array(table, "fractions");
    const toml::array *values = reader.array(table, "values");
    if (!fractions == !values)
        reader.fail(table, QStringLiteral("a sweep needs either fractions (of the range) or values (in units)"));
    step->fractions = fractions;
    for (const toml::node &node : fractions ? *fractions : *values) {
        if (!node.is_number())
            reader.fail(node, QStringLiteral("a sweep's setpoint is not a number"));
        const double value = node.value<double>().value_or(0);
        if (fractions && (value < 0 || value > 1))
            reader.fail(node, QStringLiteral("fraction %1 is outside 0..1").arg(PlainNumber(value)));
        if (values)
            reader.inRange(node, QStringLiteral("values"), value, QuantityName(step->quantity));
        step->values.append(value);
    }
    if (step->values.isEmpty())
        reader.fail(table, QStringLiteral("a sweep over no setpoints"));
    step->count = step->values.size();
    step->readBody(source);
    return step;
}
