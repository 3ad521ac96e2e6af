// PlanRun: every slot of a plan at once on one bus. Each slot is a state
// machine whose next action is due at a time and makes at most one bus
// transaction; the scheduler runs the earliest due action, except that it does
// not start a transaction that would run past the due end of another slot's
// step, so a step's dwell does not grow by a neighbour's traffic.

#include "plan/planengine.h"
#include "plan/plansteps.h"

#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/replies.h"

#include <QSysInfo>
#include <QUuid>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <numeric>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

double secondsBetween(TimePoint from, TimePoint to)
{
    return std::chrono::duration<double>(to - from).count();
}

TimePoint after(TimePoint from, double seconds)
{
    return from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Where a slot stands in the tree of steps: a list and the next step in it.
struct Frame {
    const QVector<PlanStep> *steps = nullptr;
    int next = 0;
    QString prefix;              // path of the owning loop or sweep ("4"), empty at the top
    const PlanStep *owner = nullptr;
    QString ownerPath;
    int pass = 0;                // from 0
    OnFail onFail = OnFail::Stop;
    TimePoint ownerStarted;
    QDateTime ownerStartedWall;
};

// A linear run of a setpoint from a to b between t0 and t1 (seconds from the
// step's start): the value at a time and the time at which its register value
// next changes.
struct Segment {
    double t0 = 0, t1 = 0, a = 0, b = 0;
    double at(double t) const
    {
        if (t1 <= t0 || t >= t1)
            return b;
        if (t <= t0)
            return a;
        return a + (b - a) * (t - t0) / (t1 - t0);
    }
    // The first time after t at which value x scale crosses a half count from raw.
    double nextChange(double t, quint16 raw, quint16 scale) const
    {
        if (t >= t1 || a == b)
            return t1;
        const double boundary = (b > a ? raw + 0.5 : raw - 0.5) / scale;
        const double when = t0 + (boundary - a) / (b - a) * (t1 - t0);
        return qBound(t, when, t1);
    }
};

} // namespace

namespace {

class SlotMachine;

// What the slots of a run share: the plan, the bus, the listeners, the clock.
struct RunState {
    Plan plan;
    PlanBus &bus;
    RunInfo info;
    QVector<PlanListener *> listeners;
    std::vector<std::unique_ptr<SlotMachine>> machines;
    TimePoint clockBase;
    QDateTime wallBase;
    double transactionSeconds = 0.05; // the longest lately, to keep other slots' step ends on time

    RunState(Plan p, PlanBus &b, RunInfo i) : plan(std::move(p)), bus(b), info(std::move(i)) {}

    QDateTime wall(TimePoint t) const
    {
        return wallBase.addMSecs(qint64(std::llround(secondsBetween(clockBase, t) * 1000.0)));
    }
    template <typename F>
    void tell(F f)
    {
        for (PlanListener *listener : listeners)
            f(*listener);
    }
};

class SlotMachine
{
public:
    SlotMachine(RunState &run, int index);

    void start(TimePoint now);
    void act();                  // the due action
    void fail(const QString &cause, Verdict verdict);
    void abort();

    TimePoint due;
    bool usesBus = false;
    bool done = false;
    Verdict verdict = Verdict::Error;
    int index;
    SlotInfo info;

private:
    using Action = std::function<void()>;
    void schedule(TimePoint when, bool bus, Action action);
    void scheduleNow(bool bus, Action action) { schedule(Clock::now(), bus, std::move(action)); }

    void advance();
    void enterFinally();
    void finish();
    void beginStep(const PlanStep &step, const QString &path, OnFail onFail);
    void endStep(const QString &stopReason = QString());
    void endOwner(Frame &frame);
    void concludeStep(const QString &stopReason = QString());

    // Bus work, one transaction per action.
    Reading readStatus();
    void writeAll(QVector<SetWrite> writes, Action then);
    void writeSetpoint(const QString &quantity, double value, bool readBack, Action then);

    void runSet(const PlanStep &step);
    void runRamp(const PlanStep &step);
    void rampTick(const PlanStep &step, Segment segment, quint16 scale, quint16 limit, int reg, quint16 lastRaw);
    void runTimed(const PlanStep &step);
    void timedTick(const PlanStep &step);
    void endTimed(const PlanStep &step);
    void concludeTimed(const PlanStep &step, const QString &reason);
    void protectionPoll(const PlanStep &step, TimePoint sent, quint16 reg);
    void restoreLimit(quint16 reg);
    void runSettle(const PlanStep &step);
    void settleTick(const PlanStep &step);
    void runMeasure(const PlanStep &step);
    void measureTick(const PlanStep &step);
    void runProtection(const PlanStep &step);

    void judge(const PlanCheck &check, double value, std::optional<double> low, std::optional<double> high,
               const QString &unit, int decimals, const QString &statistic);
    void failStep(const PlanStep &step, const QString &what);
    void takeReading(const Reading &sample);
    void addToTotals(const Reading &from, const Reading &to, TimePoint begin, TimePoint end);
    void scheduleNextReading(double interval);

    RunState &m_run;
    const ModelEntry *m_model = nullptr;
    Action m_next;
    QVector<Frame> m_frames;
    bool m_inFinally = false;
    bool m_failed = false;
    bool m_aborted = false;
    bool m_error = false;
    QString m_cause;
    int m_checks = 0;
    int m_failedChecks = 0;

    // The step under way.
    const PlanStep *m_step = nullptr;
    QString m_path;
    OnFail m_stepOnFail = OnFail::Stop;
    TimePoint m_stepStart;
    QDateTime m_stepStartWall;
    QVector<Reading> m_samples;
    TimePoint m_lastSampleAt;
    double m_chargeAh = 0, m_energyWh = 0;
    std::optional<TimePoint> m_taperSince, m_withinSince;
    TimePoint m_nextReading;
    // Profile state: next register values to write.
    quint16 m_profileVolts = 0xFFFF, m_profileAmps = 0xFFFF;
    // Protection: the limit register held before the step.
    quint16 m_heldLimit = 0;
    std::optional<double> m_tripSeconds;
    bool m_stepFailed = false;
};

} // namespace

struct PlanRun::Impl : RunState {
    using RunState::RunState;
};

namespace {

SlotMachine::SlotMachine(RunState &run, int i) : index(i), m_run(run)
{
    info = run.info.slotList.value(i);
    const PlanSlot &slot = run.plan.slotList.at(i);
    info.index = i;
    info.name = slot.name;
    info.address = slot.address;
    info.model = slot.model;
    m_model = FindModel(ModelItemFromText(slot.model));
}

void SlotMachine::schedule(TimePoint when, bool bus, Action action)
{
    due = when;
    usesBus = bus;
    m_next = std::move(action);
}

void SlotMachine::start(TimePoint now)
{
    m_frames.append(Frame{&m_run.plan.steps->steps, 0, QString(), nullptr, QString(), 0, m_run.plan.steps->onFail, {}, {}});
    // A first reading: the supply answers, and the setpoints in force are known.
    schedule(now, true, [this] {
        readStatus();
        advance();
    });
}

void SlotMachine::act()
{
    Action action = std::move(m_next);
    m_next = nullptr;
    if (action)
        action();
}

Reading SlotMachine::readStatus()
{
    const QVector<quint16> registers = m_run.bus.read(info.address, VoltageSetpoint, 9);
    const Reading sample = DecodeReading(DecodeStatusRegisters(registers.mid(0, 5)), m_model, info.address,
                                         m_run.wall(Clock::now()), registers.value(OutputPower - VoltageSetpoint));
    ReadingEvent event{index, m_path, sample};
    m_run.tell([&](PlanListener &l) { l.reading(event); });
    return sample;
}

void SlotMachine::advance()
{
    m_step = nullptr;
    while (!m_frames.isEmpty()) {
        Frame &frame = m_frames.last();
        if (frame.next < frame.steps->size()) {
            const int number = frame.next++;
            const PlanStep &step = frame.steps->at(number);
            QString path = QString::number(number + 1);
            if (!frame.prefix.isEmpty())
                path = QStringLiteral("%1.%2[%3]").arg(frame.prefix).arg(number + 1).arg(frame.pass + 1);
            else if (m_inFinally)
                path = QStringLiteral("finally.%1").arg(number + 1);
            const OnFail onFail = step.onFail == OnFail::Inherit ? frame.onFail : step.onFail;
            beginStep(step, path, onFail);
            return;
        }
        if (frame.owner && frame.pass + 1 < frame.owner->count) {
            ++frame.pass;
            frame.next = 0;
            if (frame.owner->kind == PlanStep::Sweep) {
                const PlanStep *owner = frame.owner;
                const double value = owner->values.at(frame.pass);
                scheduleNow(true, [this, owner, value] {
                    const double units = owner->fractions
                                             ? value * (owner->quantity == QLatin1String("voltage")
                                                            ? double(m_model->voltageLimit) / m_model->voltageScale
                                                            : double(m_model->currentLimit) / m_model->currentScale)
                                             : value;
                    writeSetpoint(owner->quantity, units, true, [this] { advance(); });
                });
                return;
            }
            continue;
        }
        endOwner(frame);
        m_frames.removeLast();
    }
    if (!m_inFinally)
        enterFinally();
    else
        finish();
}

void SlotMachine::endOwner(Frame &frame)
{
    if (!frame.owner)
        return;
    const TimePoint now = Clock::now();
    StepEvent event{index, frame.ownerPath, frame.owner->type, frame.owner->label, frame.ownerStartedWall,
                    m_run.wall(now), 0, secondsBetween(frame.ownerStarted, now) * 1000.0, QString()};
    m_run.tell([&](PlanListener &l) { l.stepEnded(event); });
}

void SlotMachine::enterFinally()
{
    m_inFinally = true;
    m_frames.clear();
    m_frames.append(Frame{&m_run.plan.steps->finallySteps, 0, QString(), nullptr, QString(), 0, OnFail::Continue, {}, {}});
    scheduleNow(false, [this] { advance(); });
}

void SlotMachine::finish()
{
    done = true;
    SlotVerdict verdict;
    verdict.slot = index;
    verdict.verdict = m_error ? Verdict::Error : m_failed ? Verdict::Fail : m_aborted ? Verdict::Aborted : Verdict::Pass;
    this->verdict = verdict.verdict;
    verdict.cause = m_cause;
    verdict.checks = m_checks;
    verdict.failed = m_failedChecks;
    verdict.end = m_run.wall(Clock::now());
    m_run.tell([&](PlanListener &l) { l.slotFinished(verdict); });
}

// Leaves the steps under way for the finally block (or, inside it, for the end).
void SlotMachine::fail(const QString &cause, Verdict verdict)
{
    if (verdict == Verdict::Error) {
        if (!m_error)
            m_cause = cause;
        m_error = true;
    } else if (verdict == Verdict::Aborted) {
        m_aborted = true;
        if (m_cause.isEmpty())
            m_cause = cause;
    }
    if (m_step)
        endStep(verdict == Verdict::Aborted ? QStringLiteral("abort") : QStringLiteral("error"));
    for (int i = m_frames.size() - 1; i >= 0; --i)
        endOwner(m_frames[i]);
    m_frames.clear();
    if (m_inFinally && verdict == Verdict::Error) {
        // The finally block itself cannot reach the supply: nothing more to do.
        finish();
        return;
    }
    if (m_inFinally)
        return advance(); // an abort inside finally: finally goes on
    enterFinally();
}

void SlotMachine::abort()
{
    if (done || m_inFinally)
        return;
    fail(QString::fromLatin1(PlanCause::Aborted), Verdict::Aborted);
}

void SlotMachine::beginStep(const PlanStep &step, const QString &path, OnFail onFail)
{
    m_step = &step;
    m_path = path;
    m_stepOnFail = onFail;
    m_stepStart = Clock::now();
    m_stepStartWall = m_run.wall(m_stepStart);
    m_samples.clear();
    m_chargeAh = m_energyWh = 0;
    m_taperSince.reset();
    m_withinSince.reset();
    m_tripSeconds.reset();
    m_stepFailed = false;
    double planned = 0;
    if (step.kind == PlanStep::Ramp || step.kind == PlanStep::Wait || step.kind == PlanStep::Profile)
        planned = step.seconds * 1000.0;
    StepEvent event{index, path, step.type, step.label, m_stepStartWall, QDateTime(), planned, 0, QString()};
    m_run.tell([&](PlanListener &l) { l.stepStarted(event); });

    switch (step.kind) {
    case PlanStep::Set: return runSet(step);
    case PlanStep::Ramp: return runRamp(step);
    case PlanStep::Wait:
    case PlanStep::Profile: return runTimed(step);
    case PlanStep::Settle: return runSettle(step);
    case PlanStep::Measure: return runMeasure(step);
    case PlanStep::Protection: return runProtection(step);
    case PlanStep::Loop:
    case PlanStep::Sweep: {
        m_step = nullptr; // a block's end is told when its frame ends
        Frame frame{&step.body, 0, path, &step, path, 0, onFail, m_stepStart, m_stepStartWall};
        m_frames.append(frame);
        if (step.kind == PlanStep::Loop)
            return scheduleNow(false, [this] { advance(); });
        m_frames.last().pass = -1;
        m_frames.last().next = step.body.size();
        return scheduleNow(false, [this] { advance(); });
    }
    }
}

void SlotMachine::endStep(const QString &stopReason)
{
    if (!m_step)
        return;
    const TimePoint now = Clock::now();
    const double planned = (m_step->kind == PlanStep::Ramp || m_step->kind == PlanStep::Wait
                            || m_step->kind == PlanStep::Profile)
                               ? m_step->seconds * 1000.0
                               : 0;
    StepEvent event{index, m_path, m_step->type, m_step->label, m_stepStartWall, m_run.wall(now), planned,
                    secondsBetween(m_stepStart, now) * 1000.0, stopReason};
    m_step = nullptr;
    m_run.tell([&](PlanListener &l) { l.stepEnded(event); });
}

// A step's end: on to the next, or to the finally block after a failed check
// when the step's on_fail says stop.
void SlotMachine::concludeStep(const QString &stopReason)
{
    const bool failed = m_stepFailed;
    m_stepFailed = false;
    endStep(stopReason);
    if (failed && m_stepOnFail == OnFail::Stop && !m_inFinally) {
        for (int i = m_frames.size() - 1; i >= 0; --i)
            endOwner(m_frames[i]);
        m_frames.clear();
        return enterFinally();
    }
    scheduleNow(false, [this] { advance(); });
}

void SlotMachine::writeAll(QVector<SetWrite> writes, Action then)
{
    if (writes.isEmpty())
        return then();
    const SetWrite write = writes.takeFirst();
    scheduleNow(true, [this, write, writes, then] {
        m_run.bus.write(info.address, write.reg, {write.value});
        if (!write.readBack)
            return writeAll(writes, then);
        scheduleNow(true, [this, write, writes, then] {
            const quint16 held = m_run.bus.read(info.address, write.reg, 1).value(0);
            if (!HeldAsWritten(write, held))
                return fail(ReadBackText(info.address, write, held), Verdict::Error);
            writeAll(writes, then);
        });
    });
}

void SlotMachine::writeSetpoint(const QString &quantity, double value, bool readBack, Action then)
{
    SetValues values;
    (quantity == QLatin1String("voltage") ? values.voltage : values.current) = value;
    QVector<SetWrite> writes = PlanSet(values, m_model).writes;
    for (SetWrite &write : writes)
        write.readBack = readBack;
    writeAll(writes, std::move(then));
}

void SlotMachine::runSet(const PlanStep &step)
{
    writeAll(PlanSet(step.set, m_model).writes, [this] { concludeStep(); });
}

// ramp: the setpoint written whenever its register value changes; readings on
// the step's interval from its start, and one at its end.
void SlotMachine::runRamp(const PlanStep &step)
{
    m_nextReading = m_stepStart;
    const bool volts = step.quantity == QLatin1String("voltage");
    const quint16 scale = volts ? m_model->voltageScale : m_model->currentScale;
    const quint16 limit = volts ? m_model->voltageLimit : m_model->currentLimit;
    const int reg = volts ? VoltageSetpoint : CurrentSetpoint;
    if (step.from) {
        Segment segment{0, step.seconds, *step.from, step.to};
        return scheduleNow(true, [=, &step] { rampTick(step, segment, scale, limit, reg, 0xFFFF); });
    }
    // From the setpoint in force.
    scheduleNow(true, [=, &step] {
        const quint16 held = m_run.bus.read(info.address, quint16(reg), 1).value(0);
        const double t0 = secondsBetween(m_stepStart, Clock::now());
        Segment segment{t0, t0 + step.seconds, double(held) / scale, step.to};
        scheduleNow(true, [=, &step] { rampTick(step, segment, scale, limit, reg, held); });
    });
}

void SlotMachine::rampTick(const PlanStep &step, Segment segment, quint16 scale, quint16 limit, int reg, quint16 lastRaw)
{
    const TimePoint now = Clock::now();
    if (now >= m_nextReading) {
        readStatus();
        scheduleNextReading(step.interval);
        return scheduleNow(true, [=, &step] { rampTick(step, segment, scale, limit, reg, lastRaw); });
    }
    const double t = secondsBetween(m_stepStart, now);
    const quint16 raw = ScaledSetpoint(segment.at(t), scale, limit);
    if (raw != lastRaw)
        m_run.bus.write(info.address, quint16(reg), {raw});
    if (t >= segment.t1) {
        // Where the output ended.
        return scheduleNow(true, [this] {
            readStatus();
            concludeStep();
        });
    }
    const double next = segment.nextChange(secondsBetween(m_stepStart, Clock::now()), raw, scale);
    schedule(std::min(after(m_stepStart, next), m_nextReading), true,
             [=, &step] { rampTick(step, segment, scale, limit, reg, raw); });
}

// The next reading interval after the one due (at once for 0), never in the past.
void SlotMachine::scheduleNextReading(double interval)
{
    const TimePoint now = Clock::now();
    m_nextReading = interval > 0 ? after(m_nextReading, interval) : now;
    if (m_nextReading < now)
        m_nextReading = now;
}

// Charge and energy from the step's start: the first reading's values back to
// the start, trapezoids between readings (and the last reading's values on to
// the step's end, in concludeTimed).
void SlotMachine::takeReading(const Reading &sample)
{
    const TimePoint now = Clock::now();
    if (m_samples.isEmpty())
        addToTotals(sample, sample, m_stepStart, now);
    else
        addToTotals(m_samples.last(), sample, m_lastSampleAt, now);
    m_lastSampleAt = now;
    m_samples.append(sample);
}

void SlotMachine::addToTotals(const Reading &from, const Reading &to, TimePoint begin, TimePoint end)
{
    const double hours = secondsBetween(begin, end) / 3600.0;
    m_chargeAh += hours * (from.amps + to.amps) / 2;
    m_energyWh += hours * (from.watts.value_or(0) + to.watts.value_or(0)) / 2;
}

// wait and profile: a time (the profile's last row), readings at an interval
// when stop conditions or totals want them, the profile's setpoints as they fall due.
void SlotMachine::runTimed(const PlanStep &step)
{
    m_profileVolts = m_profileAmps = 0xFFFF;
    m_nextReading = m_stepStart;
    timedTick(step);
}

void SlotMachine::timedTick(const PlanStep &step)
{
    const TimePoint now = Clock::now();
    const double t = secondsBetween(m_stepStart, now);
    const TimePoint end = after(m_stepStart, step.seconds);

    if (step.kind == PlanStep::Profile) {
        // The row in force, or the ramp between two rows.
        const QVector<ProfileRow> &rows = step.rows;
        int row = 0;
        while (row + 1 < rows.size() && rows.at(row + 1).seconds <= t)
            ++row;
        double volts = rows.at(row).volts, amps = rows.at(row).amps;
        double nextChange = row + 1 < rows.size() ? rows.at(row + 1).seconds : step.seconds;
        if (step.rampRows && row + 1 < rows.size() && t >= rows.at(row).seconds) {
            const Segment v{rows.at(row).seconds, rows.at(row + 1).seconds, rows.at(row).volts, rows.at(row + 1).volts};
            const Segment a{rows.at(row).seconds, rows.at(row + 1).seconds, rows.at(row).amps, rows.at(row + 1).amps};
            volts = v.at(t);
            amps = a.at(t);
            const quint16 rv = ScaledSetpoint(volts, m_model->voltageScale, m_model->voltageLimit);
            const quint16 ra = ScaledSetpoint(amps, m_model->currentScale, m_model->currentLimit);
            nextChange = qMin(v.nextChange(t, rv, m_model->voltageScale), a.nextChange(t, ra, m_model->currentScale));
        } else if (t < rows.first().seconds) {
            nextChange = rows.first().seconds;
        }
        const quint16 rawVolts = ScaledSetpoint(volts, m_model->voltageScale, m_model->voltageLimit);
        const quint16 rawAmps = ScaledSetpoint(amps, m_model->currentScale, m_model->currentLimit);
        // A reading that is due goes before the writes: a fast ramp changes its
        // setpoints more often than one write takes, and would take none. The
        // end's setpoints are written before the end's reading.
        const bool readingDue = step.interval > 0 && now >= m_nextReading && now < end;
        if (!readingDue) {
            if (rawVolts != m_profileVolts) {
                m_profileVolts = rawVolts;
                return scheduleNow(true, [this, &step, rawVolts] {
                    m_run.bus.write(info.address, VoltageSetpoint, {rawVolts});
                    timedTick(step);
                });
            }
            if (rawAmps != m_profileAmps) {
                m_profileAmps = rawAmps;
                return scheduleNow(true, [this, &step, rawAmps] {
                    m_run.bus.write(info.address, CurrentSetpoint, {rawAmps});
                    timedTick(step);
                });
            }
        }
        const TimePoint change = after(m_stepStart, nextChange);
        if (now >= end)
            return endTimed(step);
        if (step.interval <= 0 || change < m_nextReading)
            return schedule(qMin(change, end), false, [this, &step] { timedTick(step); });
    } else if (now >= end) {
        return endTimed(step);
    } else if (step.interval <= 0) {
        return schedule(end, false, [this, &step] { timedTick(step); });
    }

    if (now < m_nextReading)
        return schedule(qMin(m_nextReading, end), false, [this, &step] { timedTick(step); });
    // A reading, then the stop conditions.
    scheduleNow(true, [this, &step] {
        takeReading(readStatus());
        const TimePoint at = Clock::now();
        scheduleNextReading(step.interval);
        const StopConditions &stop = step.stop;
        const double amps = m_samples.last().amps;
        if (stop.taperAmps && amps < *stop.taperAmps) {
            if (!m_taperSince)
                m_taperSince = at;
        } else {
            m_taperSince.reset();
        }
        QString reason;
        if (stop.seconds && secondsBetween(m_stepStart, at) >= *stop.seconds)
            reason = QStringLiteral("time");
        else if (stop.chargeAh && m_chargeAh >= *stop.chargeAh)
            reason = QStringLiteral("charge");
        else if (stop.energyWh && m_energyWh >= *stop.energyWh)
            reason = QStringLiteral("energy");
        else if (m_taperSince && secondsBetween(*m_taperSince, at) >= stop.taperSeconds)
            reason = QStringLiteral("taper");
        if (!reason.isEmpty())
            return concludeTimed(step, reason);
        timedTick(step);
    });
}

// The time is up: a last reading when the step takes readings, so that they
// and their totals reach the step's end.
void SlotMachine::endTimed(const PlanStep &step)
{
    if (step.interval <= 0)
        return concludeTimed(step, QStringLiteral("time"));
    scheduleNow(true, [this, &step] {
        takeReading(readStatus());
        concludeTimed(step, QStringLiteral("time"));
    });
}

void SlotMachine::concludeTimed(const PlanStep &step, const QString &reason)
{
    const TimePoint now = Clock::now();
    if (!m_samples.isEmpty())
        addToTotals(m_samples.last(), m_samples.last(), m_lastSampleAt, now);
    const double seconds = secondsBetween(m_stepStart, now);
    for (const PlanCheck &check : step.checks) {
        if (check.quantity == QLatin1String("charge"))
            judge(check, m_chargeAh, check.min, check.max, QStringLiteral("Ah"), 4, QString());
        else if (check.quantity == QLatin1String("energy"))
            judge(check, m_energyWh, check.min, check.max, QStringLiteral("Wh"), 4, QString());
        else
            judge(check, seconds, check.min, check.max, QStringLiteral("s"), 3, QString());
    }
    concludeStep(reason);
}

void SlotMachine::judge(const PlanCheck &check, double value, std::optional<double> low, std::optional<double> high,
                        const QString &unit, int decimals, const QString &statistic)
{
    CheckResult result;
    result.slot = index;
    result.path = m_path;
    result.name = check.name;
    result.quantity = check.quantity;
    result.statistic = statistic;
    result.unit = unit;
    result.decimals = decimals;
    result.value = value;
    result.low = low;
    result.high = high;
    // A value at a limit passes: the tolerance is far below any resolution,
    // there only so that decimal limits and binary readings meet.
    const double slack = 1e-9 * qMax(1.0, std::fabs(value));
    result.passed = (!low || value >= *low - slack) && (!high || value <= *high + slack);
    result.time = m_run.wall(Clock::now());
    ++m_checks;
    if (!result.passed) {
        ++m_failedChecks;
        m_failed = true;
        m_stepFailed = true;
        if (m_cause.isEmpty())
            m_cause = QString::fromLatin1(PlanCause::CheckFailed).arg(check.name);
    }
    m_run.tell([&](PlanListener &l) { l.checkJudged(result); });
}

// A step that failed with nothing to judge: the slot fails with the cause.
void SlotMachine::failStep(const PlanStep &step, const QString &what)
{
    m_failed = true;
    m_stepFailed = true;
    if (m_cause.isEmpty())
        m_cause = QString::fromLatin1(PlanCause::StepFailed).arg(step.label, what);
}

void SlotMachine::runSettle(const PlanStep &step)
{
    m_nextReading = m_stepStart;
    settleTick(step);
}

void SlotMachine::settleTick(const PlanStep &step)
{
    schedule(m_nextReading, true, [this, &step] {
        const Reading sample = readStatus();
        const TimePoint at = Clock::now();
        const bool volts = step.quantity == QLatin1String("voltage");
        const double value = volts ? sample.volts : sample.amps;
        const double target = step.target ? *step.target : volts ? sample.voltageSetpoint : sample.currentSetpoint;
        const double resolution = 1.0 / (volts ? m_model->voltageScale : m_model->currentScale);
        if (std::fabs(value - target) <= step.tolerance + resolution * 1e-6) {
            if (!m_withinSince)
                m_withinSince = at;
        } else {
            m_withinSince.reset();
        }
        // One check: how long the readings took to come within the band for
        // good, against the latest start that still leaves the hold before the timeout.
        PlanCheck check;
        check.name = step.label;
        check.quantity = QStringLiteral("settle_time");
        const double elapsed = secondsBetween(m_stepStart, at);
        if (m_withinSince && secondsBetween(*m_withinSince, at) >= step.seconds) {
            judge(check, secondsBetween(m_stepStart, *m_withinSince), std::nullopt, step.timeout - step.seconds,
                  QStringLiteral("s"), 3, QString());
            return concludeStep();
        }
        if (elapsed >= step.timeout) {
            const double began = m_withinSince ? secondsBetween(m_stepStart, *m_withinSince) : elapsed;
            judge(check, began, std::nullopt, step.timeout - step.seconds, QStringLiteral("s"), 3, QString());
            if (!m_stepFailed) // within the band, but too late to hold it before the timeout
                judge(check, elapsed, std::nullopt, step.timeout, QStringLiteral("s"), 3, QString());
            return concludeStep(QStringLiteral("timeout"));
        }
        m_nextReading = step.interval > 0 ? after(at, step.interval) : at;
        settleTick(step);
    });
}

void SlotMachine::runMeasure(const PlanStep &step)
{
    m_nextReading = m_stepStart;
    measureTick(step);
}

void SlotMachine::measureTick(const PlanStep &step)
{
    schedule(m_nextReading, true, [this, &step] {
        takeReading(readStatus());
        if (m_samples.size() < step.count) {
            m_nextReading = step.interval > 0 ? after(m_nextReading, step.interval) : Clock::now();
            return measureTick(step);
        }
        for (const PlanCheck &check : step.checks) {
            QVector<double> values;
            for (const Reading &sample : m_samples) {
                if (check.quantity == QLatin1String("voltage"))
                    values << sample.volts;
                else if (check.quantity == QLatin1String("current"))
                    values << sample.amps;
                else
                    values << sample.watts.value_or(0);
            }
            double value = 0;
            if (check.statistic == QLatin1String("min"))
                value = *std::min_element(values.begin(), values.end());
            else if (check.statistic == QLatin1String("max"))
                value = *std::max_element(values.begin(), values.end());
            else
                value = std::accumulate(values.begin(), values.end(), 0.0) / values.size();
            const bool volts = check.quantity == QLatin1String("voltage");
            const bool amps = check.quantity == QLatin1String("current");
            std::optional<double> low = check.min, high = check.max;
            if (check.relative) {
                const Reading &last = m_samples.last();
                const double setpoint = volts ? last.voltageSetpoint : last.currentSetpoint;
                const double resolution = 1.0 / (volts ? m_model->voltageScale : m_model->currentScale);
                const double band = setpoint * check.percent / 100.0 + check.counts * resolution;
                low = setpoint - band;
                high = setpoint + band;
            }
            const QString unit = volts ? QStringLiteral("V") : amps ? QStringLiteral("A") : QStringLiteral("W");
            const int decimals = volts ? m_model->voltageDecimals : amps ? m_model->currentDecimals : PowerDecimals;
            judge(check, value, low, high, unit, decimals + (check.statistic == QLatin1String("mean") ? 1 : 0),
                  check.statistic);
        }
        concludeStep();
    });
}

// protection: the limit set below the output; the output must be on before the
// limit is written and off within the time. The time runs from the moment the
// limit's write is sent; the limit held before is written back afterwards.
// Readings: the output before the limit, on the step's interval while waiting
// for the trip, and the output at the end.
void SlotMachine::runProtection(const PlanStep &step)
{
    const bool ovp = step.limit == QLatin1String("ovp");
    const quint16 reg = ovp ? OverVoltageLimit : OverCurrentLimit;
    const quint16 raw = ovp ? ScaledSetpoint(step.level, m_model->voltageScale, 0xFFFF)
                            : ScaledSetpoint(step.level, m_model->currentScale, 0xFFFF);
    scheduleNow(true, [=, &step] {
        m_heldLimit = m_run.bus.read(info.address, reg, 1).value(0);
        scheduleNow(true, [=, &step] {
            m_nextReading = Clock::now();
            const Reading before = readStatus();
            scheduleNextReading(step.interval);
            if (!before.outputOn) {
                failStep(step, QString::fromLatin1(PlanCause::OutputOffBeforeLimit));
                return concludeStep();
            }
            scheduleNow(true, [=, &step] {
                const TimePoint sent = Clock::now();
                m_run.bus.write(info.address, reg, {raw});
                protectionPoll(step, sent, reg);
            });
        });
    });
}

// The output switch alone between readings: the shorter exchange, for a finer
// trip time.
void SlotMachine::protectionPoll(const PlanStep &step, TimePoint sent, quint16 reg)
{
    scheduleNow(true, [=, &step] {
        const bool reading = Clock::now() >= m_nextReading;
        bool on = false;
        if (reading) {
            on = readStatus().outputOn;
            scheduleNextReading(step.interval);
        } else {
            on = OutputIsOn(m_run.bus.read(info.address, OutputSwitch, 1).value(0));
        }
        const double elapsed = secondsBetween(sent, Clock::now());
        if (on && elapsed <= step.seconds)
            return protectionPoll(step, sent, reg);
        if (on) {
            failStep(step, QString::fromLatin1(PlanCause::DidNotTrip).arg(PlainNumber(step.seconds)));
        } else {
            PlanCheck check;
            check.name = step.label;
            check.quantity = QStringLiteral("trip_time");
            judge(check, elapsed, std::nullopt, step.seconds, QStringLiteral("s"), 3, QString());
        }
        if (reading)
            return restoreLimit(reg);
        scheduleNow(true, [=] {
            readStatus();
            restoreLimit(reg);
        });
    });
}

void SlotMachine::restoreLimit(quint16 reg)
{
    scheduleNow(true, [=] {
        m_run.bus.write(info.address, reg, {m_heldLimit});
        concludeStep();
    });
}

} // namespace

PlanRun::PlanRun(Plan plan, PlanBus &bus, RunInfo info) : m_impl(std::make_unique<Impl>(std::move(plan), bus, std::move(info)))
{
}

PlanRun::~PlanRun() = default;

void PlanRun::addListener(PlanListener *listener)
{
    m_impl->listeners.append(listener);
}

RunEnd PlanRun::run()
{
    Impl &d = *m_impl;
    d.clockBase = Clock::now();
    d.wallBase = QDateTime::currentDateTime();
    if (d.info.runId.isEmpty())
        d.info.runId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    d.info.planName = d.plan.name;
    d.info.planVersion = d.plan.version;
    d.info.planFile = d.plan.file;
    d.info.plannedChecks = PlannedChecks(d.plan);
    d.info.start = d.wallBase;
    if (d.info.station.isEmpty())
        d.info.station = QSysInfo::machineHostName();
    QVector<SlotInfo> slotInfos;
    for (int i = 0; i < d.plan.slotList.size(); ++i) {
        d.machines.push_back(std::make_unique<SlotMachine>(d, i));
        slotInfos.append(d.machines.back()->info);
    }
    d.info.slotList = slotInfos;
    d.tell([&](PlanListener &l) { l.runStarted(d.info); });
    for (auto &slot : d.machines)
        slot->start(d.clockBase);

    bool abortSeen = false;
    for (;;) {
        if (m_abort.load() && !abortSeen) {
            abortSeen = true;
            for (auto &slot : d.machines)
                slot->abort();
        }
        SlotMachine *next = nullptr;
        for (auto &slot : d.machines) {
            if (!slot->done && (!next || slot->due < next->due))
                next = slot.get();
        }
        if (!next)
            break;
        TimePoint now = Clock::now();
        // A transaction is not started when it would hold up another slot's
        // step end (an action without the bus) that falls due meanwhile.
        if (next->usesBus) {
            const TimePoint busy = after(std::max(now, next->due), d.transactionSeconds + 0.001);
            SlotMachine *first = nullptr;
            for (auto &slot : d.machines) {
                if (!slot->done && !slot->usesBus && slot->due < busy && (!first || slot->due < first->due))
                    first = slot.get();
            }
            if (first)
                next = first;
        }
        if (next->due > now) {
            // Sleep in short stretches, so that an abort is seen within 50 ms.
            std::this_thread::sleep_until(std::min(next->due, now + std::chrono::milliseconds(50)));
            continue;
        }
        const TimePoint begun = Clock::now();
        const bool bus = next->usesBus;
        try {
            next->act();
            if (bus) {
                // The longest transaction lately (slowly forgotten): the span a
                // new one is expected to hold the line.
                const double took = secondsBetween(begun, Clock::now());
                d.transactionSeconds = qMax(took, d.transactionSeconds * 0.98);
            }
        } catch (const SystemError &error) {
            if (d.bus.lost()) {
                // The port went: wait for it (unless aborted), then every slot's finally.
                next->fail(QString::fromLatin1(PlanCause::PortLost).arg(error.text()), Verdict::Error);
                while (!d.bus.reopen()) {
                    if (m_abort.load())
                        break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(500));
                }
                for (auto &slot : d.machines) {
                    if (slot.get() != next && !slot->done)
                        slot->fail(QString::fromLatin1(PlanCause::PortLost).arg(error.text()), Verdict::Error);
                }
                if (m_abort.load() && d.bus.lost()) {
                    for (auto &slot : d.machines) {
                        while (!slot->done)
                            slot->fail(QString::fromLatin1(PlanCause::PortLostForGood), Verdict::Error);
                    }
                }
            } else {
                next->fail(error.text(), Verdict::Error);
            }
        }
    }
    RunEnd end;
    end.end = d.wall(Clock::now());
    // The worst verdict of a slot: a failed unit first, then a unit not judged to the end.
    end.overall = Verdict::Pass;
    for (const Verdict worse : {Verdict::Aborted, Verdict::Error, Verdict::Fail}) {
        for (auto &slot : d.machines) {
            if (slot->verdict == worse)
                end.overall = worse;
        }
    }
    d.tell([&](PlanListener &l) { l.runFinished(end); });
    return end;
}
