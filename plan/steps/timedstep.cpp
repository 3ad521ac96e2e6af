#include "plan/steps/timedstep.h"

#include "plan/planreader.h"
#include "plan/slotmachine.h"

std::unique_ptr<StepRunner> TimedStep::runner(SlotMachine &slot) const
{
    return std::make_unique<TimedRun>(slot, *this);
}

void TimedStep::readTotals(const StepSource &source)
{
    const PlanReader &reader = source.reader;
    if (const toml::node *node = source.table.get("stop")) {
        const toml::table &table = reader.tableAt(*node, QStringLiteral("stop"));
        const QString what = QStringLiteral("stop");
        reader.onlyKeys(table, {"time", "charge", "energy", "taper_current", "taper_time"}, what);
        stop.seconds = reader.number(table, "time", false, what, 0.001, 1e7);
        stop.chargeAh = reader.number(table, "charge", false, what, 1e-6, 1e6);
        stop.energyWh = reader.number(table, "energy", false, what, 1e-6, 1e9);
        stop.taperAmps = reader.number(table, "taper_current", false, what, 0, 1e4);
        if (stop.taperAmps)
            stop.taperSeconds = *reader.number(table, "taper_time", true, what, 0, 1e7);
        else if (table.get("taper_time"))
            reader.fail(*table.get("taper_time"), QStringLiteral("taper_time without taper_current"));
        if (!stop.any())
            reader.fail(table, QStringLiteral("stop names no condition (time, charge, energy, taper_current)"));
    }
    checks = reader.checks(source.table, {Quantity::Charge, Quantity::Energy, Quantity::Duration}, false);
    if ((stop.any() || !checks.isEmpty()) && interval == 0)
        interval = 1.0;
}

void TimedRun::start()
{
    m_slot.nextReading = m_slot.stepStart();
    tick();
}

void TimedRun::tick()
{
    const TimePoint now = Clock::now();
    const double t = secondsBetween(m_slot.stepStart(), now);
    const TimePoint end = after(m_slot.stepStart(), m_step.seconds);
    TimePoint change = end;
    if (writeSetpoints(now, t, end, change))
        return;
    if (now >= end)
        return this->end();
    if (m_step.interval <= 0 || change < m_slot.nextReading)
        return m_slot.schedule(qMin(change, end), false, [this] { tick(); });
    if (now < m_slot.nextReading)
        return m_slot.schedule(qMin(m_slot.nextReading, end), false, [this] { tick(); });
    // A reading, then the stop conditions.
    m_slot.scheduleNow(true, [this] {
        m_slot.takeReading(m_slot.readStatus());
        const TimePoint at = Clock::now();
        m_slot.scheduleNextReading(m_step.interval);
        const StopConditions &stop = m_step.stop;
        const double amps = m_slot.samples().last().outputCurrent();
        if (stop.taperAmps && amps < *stop.taperAmps) {
            if (!m_taperSince)
                m_taperSince = at;
        } else {
            m_taperSince.reset();
        }
        QString reason;
        if (stop.seconds && secondsBetween(m_slot.stepStart(), at) >= *stop.seconds)
            reason = QStringLiteral("time");
        else if (stop.chargeAh && m_slot.chargeAh() >= *stop.chargeAh)
            reason = QStringLiteral("charge");
        else if (stop.energyWh && m_slot.energyWh() >= *stop.energyWh)
            reason = QStringLiteral("energy");
        else if (m_taperSince && secondsBetween(*m_taperSince, at) >= stop.taperSeconds)
            reason = QStringLiteral("taper");
        if (!reason.isEmpty())
            return conclude(reason);
        tick();
    });
}

// The time is up: a last reading when the step takes readings, so that they
// and their totals reach the step's end.
void TimedRun::end()
{
    if (m_step.interval <= 0)
        return conclude(QStringLiteral("time"));
    m_slot.scheduleNow(true, [this] {
        m_slot.takeReading(m_slot.readStatus());
        conclude(QStringLiteral("time"));
    });
}

void TimedRun::conclude(const QString &reason)
{
    const TimePoint now = Clock::now();
    m_slot.closeTotals(now);
    const double seconds = secondsBetween(m_slot.stepStart(), now);
    for (const PlanCheck &check : m_step.checks) {
        const double value = check.quantity == Quantity::Charge   ? m_slot.chargeAh()
                             : check.quantity == Quantity::Energy ? m_slot.energyWh()
                                                                  : seconds;
        const int decimals = check.quantity == Quantity::Duration ? 3 : 4;
        m_slot.judge(check.name, check.quantity, Statistic::None,
                     JudgeValue(value, check.limits.min, check.limits.max), decimals);
    }
    m_slot.concludeStep(reason);
}
