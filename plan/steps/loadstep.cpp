// load: the station's electronic load on the slot's terminals in constant
// current (current = 1.5), or its input off (off = true). The load serves one
// slot at a time: a slot whose neighbour holds it waits for it.

#include "plan/planreader.h"
#include "plan/references.h"
#include "plan/slotmachine.h"

namespace {

class LoadStep : public PlanStep
{
public:
    QString reference = QStringLiteral("load");
    std::optional<double> current; // none: the input off
    std::unique_ptr<StepRunner> runner(SlotMachine &slot) const override;
};

class LoadRun : public RunnerOf<LoadStep>
{
public:
    using RunnerOf::RunnerOf;
    void start() override { m_slot.scheduleNow(true, [this] { apply(); }); }

private:
    static constexpr double WaitForLoad = 0.05; // seconds between looks at a load another slot holds

    void apply()
    {
        RunReferences &references = m_slot.references();
        if (!m_step.current) {
            if (!references.loadHeldByOther(m_step.reference, m_slot.index))
                references.loadOff(m_step.reference);
            return m_slot.concludeStep();
        }
        if (references.loadHeldByOther(m_step.reference, m_slot.index))
            // Not a step's end: the look waits its turn as a transaction does,
            // so that it never holds up the slot that has the load.
            return m_slot.schedule(after(Clock::now(), WaitForLoad), true, [this] { apply(); });
        const double settle = references.setLoad(m_step.reference, m_slot.index, m_slot.info.name, *m_step.current);
        m_slot.schedule(after(Clock::now(), settle), false, [this] { m_slot.concludeStep(); });
    }
};

std::unique_ptr<StepRunner> LoadStep::runner(SlotMachine &slot) const
{
    return std::make_unique<LoadRun>(slot, *this);
}

} // namespace

std::unique_ptr<PlanStep> ReadLoadStep(const StepSource &source)
{
    const toml::table &table = source.table;
    const PlanReader &reader = source.reader;
    reader.onlyKeys(table, {"type", "name", "on_fail", "reference", "current", "off"}, source.what);
    auto step = std::make_unique<LoadStep>();
    const QString reference = reader.text(table, "reference", false, source.what);
    if (!reference.isEmpty())
        step->reference = reference;
    step->current = reader.number(table, "current", false, source.what, 0, 1e4);
    const bool off = reader.flag(table, "off").value_or(false);
    if (step->current.has_value() == off)
        reader.fail(table, QStringLiteral("a load step has either a current or off = true"));
    reader.usesReference(step->reference, QStringLiteral("load"));
    return step;
}
