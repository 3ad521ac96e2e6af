// measure: count readings at an interval, each check judging the mean, min or
// max of its quantity against its limits.

#include "plan/planreader.h"
#include "plan/slotmachine.h"

#include "link/modelcatalogue.h"

namespace {

class MeasureStep : public PlanStep
{
public:
    int count = 1;
    double interval = 0; // between readings (0: back to back)
    std::unique_ptr<StepRunner> runner(SlotMachine &slot) const override;
};

class MeasureRun : public RunnerOf<MeasureStep>
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
            m_slot.takeReading(m_slot.readStatus());
            if (m_slot.samples().size() < m_step.count) {
                m_slot.nextReading = m_step.interval > 0 ? after(m_slot.nextReading, m_step.interval) : Clock::now();
                return tick();
            }
            for (const PlanCheck &check : m_step.checks)
                judge(check);
            m_slot.concludeStep();
        });
    }

    void judge(const PlanCheck &check)
    {
        const QVector<StatusSample> &samples = m_slot.samples();
        QVector<double> values;
        values.reserve(samples.size());
        for (const StatusSample &sample : samples) {
            values << (check.quantity == Quantity::Voltage   ? sample.outputVoltage()
                       : check.quantity == Quantity::Current ? sample.outputCurrent()
                                                             : sample.watts().value_or(0));
        }
        const ModelEntry &model = m_slot.model();
        const bool volts = check.quantity == Quantity::Voltage;
        const bool amps = check.quantity == Quantity::Current;
        // A relative check is about the setpoint in force at the last reading.
        const double setpoint = volts ? samples.last().voltageSetpoint() : samples.last().currentSetpoint();
        const double resolution = 1.0 / (volts ? model.voltageScale : model.currentScale);
        const int decimals = volts ? model.voltageDecimals : amps ? model.currentDecimals : PowerDecimals;
        m_slot.judge(check.name, check.quantity, check.statistic,
                     JudgeReadings(values, check.statistic, setpoint, resolution, check.limits),
                     decimals + (check.statistic == Statistic::Mean ? 1 : 0));
    }

};

std::unique_ptr<StepRunner> MeasureStep::runner(SlotMachine &slot) const
{
    return std::make_unique<MeasureRun>(slot, *this);
}

} // namespace

std::unique_ptr<PlanStep> ReadMeasureStep(const StepSource &source)
{
    const toml::table &table = source.table;
    const PlanReader &reader = source.reader;
    const QString &what = source.what;
    reader.onlyKeys(table, {"type", "name", "on_fail", "count", "interval", "check"}, what);
    auto step = std::make_unique<MeasureStep>();
    step->count = reader.whole(table, "count", false, what, 1, 100000).value_or(1);
    step->interval = reader.number(table, "interval", false, what, 0, 1e5).value_or(0);
    step->checks = reader.checks(table, {Quantity::Voltage, Quantity::Current, Quantity::Power}, true);
    if (step->checks.isEmpty())
        reader.fail(table, QStringLiteral("a measure step has no check"));
    return step;
}
