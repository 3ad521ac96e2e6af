// protection: the limit set below the output; the output must be on before the
// limit is written and off within the time. The time runs from the moment the
// limit's write is sent; the limit held before is written back afterwards.
// Readings: the output before the limit, on the step's interval while waiting
// for the trip, and the output at the end.

#include "plan/planreader.h"
#include "plan/slotmachine.h"

#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/replies.h"

namespace {

class ProtectionStep : public PlanStep
{
public:
    bool ovp = true; // else ocp
    double level = 0;   // the limit written, in units
    double within = 0;  // the time to trip
    double interval = 0;

    QVector<PlannedCheck> plannedChecks(const QString &path) const override
    {
        const Quantity trip = Quantity::TripTime;
        return {{path, label, label, QuantityName(trip), QString(), QuantityUnit(trip), std::nullopt, within}};
    }
    std::unique_ptr<StepRunner> runner(SlotMachine &slot) const override;
};

class ProtectionRun : public RunnerOf<ProtectionStep>
{
public:
    ProtectionRun(SlotMachine &slot, const ProtectionStep &step)
        : RunnerOf(slot, step), m_reg(step.ovp ? OverVoltageLimit : OverCurrentLimit)
    {
    }

    void start() override
    {
        const ModelEntry &model = m_slot.model();
        const quint16 raw = ScaledSetpoint(m_step.level, m_step.ovp ? model.voltageScale : model.currentScale, 0xFFFF);
        m_slot.scheduleNow(true, [this, raw] {
            m_heldLimit = m_slot.bus().read(m_slot.address(), m_reg, 1).value(0);
            m_slot.scheduleNow(true, [this, raw] {
                m_slot.nextReading = Clock::now();
                const StatusSample before = m_slot.readStatus();
                m_slot.scheduleNextReading(m_step.interval);
                if (!before.status.outputOn) {
                    m_slot.failStep(QString::fromLatin1(PlanCause::OutputOffBeforeLimit));
                    return m_slot.concludeStep();
                }
                m_slot.scheduleNow(true, [this, raw] {
                    const TimePoint sent = Clock::now();
                    m_slot.bus().write(m_slot.address(), m_reg, {raw});
                    poll(sent);
                });
            });
        });
    }

private:
    // The output switch alone between readings: the shorter exchange, for a
    // finer trip time.
    void poll(TimePoint sent)
    {
        m_slot.scheduleNow(true, [this, sent] {
            const bool reading = Clock::now() >= m_slot.nextReading;
            bool on = false;
            if (reading) {
                on = m_slot.readStatus().status.outputOn;
                m_slot.scheduleNextReading(m_step.interval);
            } else {
                on = OutputIsOn(m_slot.bus().read(m_slot.address(), OutputSwitch, 1).value(0));
            }
            const double elapsed = secondsBetween(sent, Clock::now());
            if (on && elapsed <= m_step.within)
                return poll(sent);
            if (on)
                m_slot.failStep(QString::fromLatin1(PlanCause::DidNotTrip).arg(PlainNumber(m_step.within)));
            else
                m_slot.judge(m_step.label, Quantity::TripTime, Statistic::None,
                             JudgeValue(elapsed, std::nullopt, m_step.within), 3);
            if (reading)
                return restoreLimit();
            m_slot.scheduleNow(true, [this] {
                m_slot.readStatus();
                restoreLimit();
            });
        });
    }

    void restoreLimit()
    {
        m_slot.scheduleNow(true, [this] {
            m_slot.bus().write(m_slot.address(), m_reg, {m_heldLimit});
            m_slot.concludeStep();
        });
    }

    const quint16 m_reg;
    quint16 m_heldLimit = 0; // the limit register before the step
};

std::unique_ptr<StepRunner> ProtectionStep::runner(SlotMachine &slot) const
{
    return std::make_unique<ProtectionRun>(slot, *this);
}

} // namespace

std::unique_ptr<PlanStep> ReadProtectionStep(const StepSource &source)
{
    const toml::table &table = source.table;
    const PlanReader &reader = source.reader;
    const QString &what = source.what;
    reader.onlyKeys(table, {"type", "name", "on_fail", "limit", "level", "within", "interval"}, what);
    auto step = std::make_unique<ProtectionStep>();
    const QString limit = reader.text(table, "limit", true, what);
    if (limit != QLatin1String("ovp") && limit != QLatin1String("ocp"))
        reader.fail(*table.get("limit"), QStringLiteral("limit '%1' is not ovp or ocp").arg(limit));
    step->ovp = limit == QLatin1String("ovp");
    step->level = *reader.number(table, "level", true, what);
    step->within = *reader.number(table, "within", true, what, 0.001, 1e4);
    step->interval = reader.number(table, "interval", false, what, 0, 1e5).value_or(0.5);
    reader.inRange(table, "level", step->level, limit);
    return step;
}
