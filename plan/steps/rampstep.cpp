// ramp: the setpoint written whenever its register value changes; readings on
// the step's interval from its start, and one at its end.

#include "plan/planreader.h"
#include "plan/slotmachine.h"

#include "link/frames.h"
#include "link/modelcatalogue.h"

namespace {

class RampStep : public PlanStep
{
public:
    Quantity quantity = Quantity::Voltage;
    std::optional<double> from; // the setpoint in force when absent
    double to = 0;
    double seconds = 0;
    double interval = 0;

    double plannedMs() const override { return seconds * 1000.0; }
    std::unique_ptr<StepRunner> runner(SlotMachine &slot) const override;
};

class RampRun : public RunnerOf<RampStep>
{
public:
    RampRun(SlotMachine &slot, const RampStep &step) : RunnerOf(slot, step)
    {
        const bool volts = step.quantity == Quantity::Voltage;
        m_scale = volts ? slot.model().voltageScale : slot.model().currentScale;
        m_limit = volts ? slot.model().voltageLimit : slot.model().currentLimit;
        m_reg = volts ? VoltageSetpoint : CurrentSetpoint;
    }

    void start() override
    {
        m_slot.nextReading = m_slot.stepStart();
        if (m_step.from) {
            m_segment = {0, m_step.seconds, *m_step.from, m_step.to};
            return m_slot.scheduleNow(true, [this] { tick(0xFFFF); });
        }
        // From the setpoint in force.
        m_slot.scheduleNow(true, [this] {
            const quint16 held = m_slot.bus().read(m_slot.address(), m_reg, 1).value(0);
            const double t0 = secondsBetween(m_slot.stepStart(), Clock::now());
            m_segment = {t0, t0 + m_step.seconds, double(held) / m_scale, m_step.to};
            m_slot.scheduleNow(true, [this, held] { tick(held); });
        });
    }

private:
    void tick(quint16 lastRaw)
    {
        const TimePoint now = Clock::now();
        if (now >= m_slot.nextReading) {
            m_slot.readStatus();
            m_slot.scheduleNextReading(m_step.interval);
            return m_slot.scheduleNow(true, [this, lastRaw] { tick(lastRaw); });
        }
        const double t = secondsBetween(m_slot.stepStart(), now);
        const quint16 raw = ScaledSetpoint(m_segment.at(t), m_scale, m_limit);
        if (raw != lastRaw)
            m_slot.bus().write(m_slot.address(), m_reg, {raw});
        if (t >= m_segment.t1) {
            // Where the output ended.
            return m_slot.scheduleNow(true, [this] {
                m_slot.readStatus();
                m_slot.concludeStep();
            });
        }
        const double next = m_segment.nextChange(secondsBetween(m_slot.stepStart(), Clock::now()), raw, m_scale);
        m_slot.schedule(std::min(after(m_slot.stepStart(), next), m_slot.nextReading), true, [this, raw] { tick(raw); });
    }

    quint16 m_scale, m_limit, m_reg;
    Segment m_segment;
};

std::unique_ptr<StepRunner> RampStep::runner(SlotMachine &slot) const
{
    return std::make_unique<RampRun>(slot, *this);
}

} // namespace

std::unique_ptr<PlanStep> ReadRampStep(const StepSource &source)
{
    const toml::table &table = source.table;
    const PlanReader &reader = source.reader;
    const QString &what = source.what;
    reader.onlyKeys(table, {"type", "name", "on_fail", "quantity", "from", "to", "time", "interval"}, what);
    auto step = std::make_unique<RampStep>();
    step->quantity = reader.quantity(table, what);
    step->from = reader.number(table, "from", false, what);
    step->to = *reader.number(table, "to", true, what);
    step->seconds = *reader.number(table, "time", true, what, 0.001, 1e7);
    step->interval = reader.number(table, "interval", false, what, 0, 1e5).value_or(0.5);
    if (step->from)
        reader.inRange(table, "from", *step->from, QuantityName(step->quantity));
    reader.inRange(table, "to", step->to, QuantityName(step->quantity));
    return step;
}
