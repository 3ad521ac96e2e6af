// settle: readings until the output has held within a band of the target for
// the hold time; judged on how long it took to come within the band for good.

#include "plan/planreader.h"
#include "plan/slotmachine.h"

#include "link/modelcatalogue.h"

#include <cmath>

namespace {

class SettleStep : public PlanStep
{
public:
    Quantity quantity = Quantity::Voltage;
    std::optional<double> target; // the setpoint in force when absent
    double tolerance = 0;         // absolute, in units
    double hold = 0;
    double timeout = 0;
    double interval = 0;
    std::unique_ptr<StepRunner> runner(SlotMachine &slot) const override;
};

class SettleRun : public RunnerOf<SettleStep>
{
public:
    using RunnerOf::RunnerOf;

    void start() override
    {
        m_slot.nextReading = m_slot.stepStart();
        tick();
    }

private:
    void tick()
    {
        m_slot.schedule(m_slot.nextReading, true, [this] {
            const SettleStep &step = m_step;
            const StatusSample sample = m_slot.readStatus();
            const TimePoint at = Clock::now();
            const bool volts = step.quantity == Quantity::Voltage;
            const double value = volts ? sample.outputVoltage() : sample.outputCurrent();
            const double target = step.target ? *step.target : volts ? sample.voltageSetpoint() : sample.currentSetpoint();
            const double resolution = 1.0 / (volts ? m_slot.model().voltageScale : m_slot.model().currentScale);
            if (std::fabs(value - target) <= step.tolerance + resolution * 1e-6) {
                if (!m_withinSince)
                    m_withinSince = at;
            } else {
                m_withinSince.reset();
            }
            // One check: how long the readings took to come within the band for
            // good, against the latest start that still leaves the hold before the timeout.
            const auto judge = [&](double value, double high) {
                m_slot.judge(step.label, Quantity::SettleTime, Statistic::None, JudgeValue(value, std::nullopt, high), 3);
            };
            const TimePoint start = m_slot.stepStart();
            const double elapsed = secondsBetween(start, at);
            if (m_withinSince && secondsBetween(*m_withinSince, at) >= step.hold) {
                judge(secondsBetween(start, *m_withinSince), step.timeout - step.hold);
                return m_slot.concludeStep();
            }
            if (elapsed >= step.timeout) {
                judge(m_withinSince ? secondsBetween(start, *m_withinSince) : elapsed, step.timeout - step.hold);
                if (!m_slot.stepFailed()) // within the band, but too late to hold it before the timeout
                    judge(elapsed, step.timeout);
                return m_slot.concludeStep(QStringLiteral("timeout"));
            }
            m_slot.nextReading = step.interval > 0 ? after(at, step.interval) : at;
            tick();
        });
    }

    std::optional<TimePoint> m_withinSince;
};

std::unique_ptr<StepRunner> SettleStep::runner(SlotMachine &slot) const
{
    return std::make_unique<SettleRun>(slot, *this);
}

} // namespace

std::unique_ptr<PlanStep> ReadSettleStep(const StepSource &source)
{
    const toml::table &table = source.table;
    const PlanReader &reader = source.reader;
    const QString &what = source.what;
    reader.onlyKeys(table, {"type", "name", "on_fail", "quantity", "target", "tolerance", "hold", "timeout", "interval"}, what);
    auto step = std::make_unique<SettleStep>();
    step->quantity = reader.quantity(table, what);
    step->target = reader.number(table, "target", false, what);
    if (step->target)
        reader.inRange(table, "target", *step->target, QuantityName(step->quantity));
    step->tolerance = *reader.number(table, "tolerance", true, what, 0, 1e4);
    step->hold = *reader.number(table, "hold", true, what, 0, 1e7);
    step->timeout = *reader.number(table, "timeout", true, what, 0.001, 1e7);
    step->interval = reader.number(table, "interval", false, what, 0, 1e5).value_or(0);
    if (step->hold > step->timeout)
        reader.fail(*table.get("hold"), QStringLiteral("hold %1 s is longer than the timeout %2 s")
                                            .arg(PlainNumber(step->hold), PlainNumber(step->timeout)));
    return step;
}
