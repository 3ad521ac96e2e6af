// set: setpoints, limits and switches written in one go.

#include "plan/planreader.h"
#include "plan/slotmachine.h"

namespace {

class SetStep : public PlanStep
{
public:
    SetValues set;
    std::unique_ptr<StepRunner> runner(SlotMachine &slot) const override;
};

class SetRun : public RunnerOf<SetStep>
{
public:
    using RunnerOf::RunnerOf;
    void start() override
    {
        m_slot.writeAll(PlanSet(m_step.set, &m_slot.model()).writes, [this] { m_slot.concludeStep(); });
    }
};

std::unique_ptr<StepRunner> SetStep::runner(SlotMachine &slot) const
{
    return std::make_unique<SetRun>(slot, *this);
}

} // namespace

std::unique_ptr<PlanStep> ReadSetStep(const StepSource &source)
{
    const toml::table &table = source.table;
    const PlanReader &reader = source.reader;
    const QString &what = source.what;
    reader.onlyKeys(table, {"type", "name", "on_fail", "voltage", "current", "ovp", "ocp", "power", "output", "lock",
                            "power_control", "pid"}, what);
    auto step = std::make_unique<SetStep>();
    SetValues &set = step->set;
    set.voltage = reader.number(table, "voltage", false, what);
    set.current = reader.number(table, "current", false, what);
    set.ovp = reader.number(table, "ovp", false, what);
    set.ocp = reader.number(table, "ocp", false, what);
    set.power = reader.number(table, "power", false, what);
    set.output = reader.flag(table, "output");
    set.lock = reader.flag(table, "lock");
    set.powerControl = reader.flag(table, "power_control");
    set.pid = reader.flag(table, "pid");
    const std::pair<const char *, std::optional<double>> written[] = {
        {"voltage", set.voltage}, {"current", set.current}, {"ovp", set.ovp}, {"ocp", set.ocp}, {"power", set.power}};
    for (const auto &[key, value] : written) {
        if (value)
            reader.inRange(table, key, *value, QLatin1String(key));
    }
    if (!set.any())
        reader.fail(table, QStringLiteral("a set step sets nothing"));
    return step;
}
