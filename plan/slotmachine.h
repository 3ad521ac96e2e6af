#pragma once

// One slot of a run as a state machine: its next action is due at a time and
// makes at most one bus transaction; the scheduler (PlanRun::run) picks which
// slot acts next. The machine walks the tree of steps, tells the listeners,
// and offers the steps' runners what they share: readings, writes, totals,
// judging and the step's end.

#include "plan/planclock.h"
#include "plan/planengine.h"
#include "plan/plansteps.h"

#include "link/setwrites.h"

#include <functional>
#include <optional>

class SlotMachine;
class RunReferences;

// What a check of a reference's values adds to its judgement.
struct ReferenceMark {
    QString reference;
    double expanded = 0; // U
    double coverage = 2; // k
    Acceptance acceptance = Acceptance::Fail;
    DecisionRule rule = DecisionRule::Simple;
    std::optional<double> ratio; // the test uncertainty ratio
    bool guarded = false;
};

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
    std::shared_ptr<RunReferences> references; // none for a run without a station

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
    using Action = std::function<void()>;

    SlotMachine(RunState &run, int index);

    // The scheduler's side.
    void start(TimePoint now);
    void act(); // the due action
    void fail(const QString &cause, Verdict verdict);
    void abort();

    TimePoint due;
    bool usesBus = false;
    bool done = false;
    Verdict verdict = Verdict::Error;
    int index;
    SlotInfo info;

    // The steps' side.
    void schedule(TimePoint when, bool bus, Action action);
    void scheduleNow(bool bus, Action action) { schedule(Clock::now(), bus, std::move(action)); }
    PlanBus &bus() { return m_run.bus; }
    // The run's reference instruments; raises SystemError in a run without them.
    RunReferences &references();
    const ModelEntry &model() const { return *m_model; }
    int address() const { return info.address; }

    // A status reading, told to the listeners.
    Reading readStatus();
    // A reading kept for the step's checks and added to its totals.
    void takeReading(const Reading &sample);
    const QVector<Reading> &samples() const { return m_samples; }
    // The totals carried from the last reading on to the step's end.
    void closeTotals(TimePoint end);
    double chargeAh() const { return m_chargeAh; }
    double energyWh() const { return m_energyWh; }
    // The next reading due, and the one an interval after it (at once for 0), never in the past.
    TimePoint nextReading;
    void scheduleNextReading(double interval);

    void writeAll(QVector<SetWrite> writes, Action then);
    void writeSetpoint(Quantity quantity, double value, bool readBack, Action then);

    TimePoint stepStart() const { return m_stepStart; }
    bool stepFailed() const { return m_stepFailed; }
    // A check judged: told, counted, and the step failed when it did not pass.
    // A reference's check (mark) passes on its acceptance: a conditional one
    // neither passes nor fails the step, and makes the slot conditional.
    void judge(const QString &name, Quantity quantity, Statistic statistic, const Judgement &judgement, int decimals,
               const ReferenceMark *mark = nullptr);
    // A step that failed with nothing to judge: the slot fails with the cause.
    void failStep(const QString &what);
    // The step's end: on to the next, or to the finally block after a failed
    // check when the step's on_fail says stop.
    void concludeStep(const QString &stopReason = QString());
    // On to the next step (a block's pass once its setpoint is written).
    void advance();

private:
    // Where a slot stands in the tree of steps: a list and the next step in it.
    struct Frame {
        const StepList *steps = nullptr;
        int next = 0;
        QString prefix;              // path of the owning loop or sweep ("4"), empty at the top
        const PlanStep *owner = nullptr;
        QString ownerPath;
        int pass = 0;                // from 0
        OnFail onFail = OnFail::Stop;
        TimePoint ownerStarted;
        QDateTime ownerStartedWall;
    };

    void enterFinally();
    void finish();
    void beginStep(const PlanStep &step, const QString &path, OnFail onFail);
    void endStep(const QString &stopReason = QString());
    void endOwner(Frame &frame);
    void addToTotals(const Reading &from, const Reading &to, TimePoint begin, TimePoint end);

    RunState &m_run;
    const ModelEntry *m_model = nullptr;
    Action m_next;
    QVector<Frame> m_frames;
    bool m_inFinally = false;
    bool m_failed = false;
    bool m_aborted = false;
    bool m_error = false;
    bool m_conditional = false;
    QString m_cause;
    QString m_conditionalCause;
    int m_checks = 0;
    int m_failedChecks = 0;

    // The step under way.
    const PlanStep *m_step = nullptr;
    std::unique_ptr<StepRunner> m_runner;
    std::vector<std::unique_ptr<StepRunner>> m_endedRunners; // until the action under way returns
    QString m_path;
    OnFail m_stepOnFail = OnFail::Stop;
    TimePoint m_stepStart;
    QDateTime m_stepStartWall;
    QVector<Reading> m_samples;
    TimePoint m_lastSampleAt;
    double m_chargeAh = 0, m_energyWh = 0;
    bool m_stepFailed = false;
};

// The runner of a step of kind S on one slot.
template <typename S>
class RunnerOf : public StepRunner
{
public:
    RunnerOf(SlotMachine &slot, const S &step) : m_slot(slot), m_step(step) {}

protected:
    SlotMachine &m_slot;
    const S &m_step;
};
