#pragma once

// The steps of a plan as LoadPlan leaves them: checked, every value in units,
// every place in the file kept for the messages of a run. Each kind of step
// is a class of its own (plan/steps/), read by its reader and run by its
// runner; plan/stepkinds.cpp lists the kinds.

#include "plan/judging.h"
#include "plan/planresults.h"
#include "plan/uncertainty.h"

#include <QString>
#include <QVector>
#include <memory>
#include <optional>
#include <vector>

enum class OnFail { Inherit, Stop, Continue };

// A named check of a measure (or of a long step's totals): absolute limits,
// or limits relative to the setpoint of the quantity in force when judged.
struct PlanCheck {
    QString name;
    Quantity quantity = Quantity::Voltage;
    Statistic statistic = Statistic::None; // None for a long step's total
    CheckLimits limits;
    // A check of a reference's values: "readback" judges the supply's
    // read-back minus the reference's value (its limits about 0) instead of
    // the value itself; the decision rule takes the value's uncertainty in.
    QString compare;
    DecisionRule decision = DecisionRule::Simple;
    int line = 0, column = 0;
};

class PlanStep;
class SlotMachine;
using StepList = std::vector<std::unique_ptr<const PlanStep>>;

// One step under way on one slot: the state a step keeps while it runs. It
// lives until the slot begins its next step.
class StepRunner
{
public:
    virtual ~StepRunner() = default;
    virtual void start() = 0;
};

class PlanStep
{
public:
    virtual ~PlanStep() = default;

    QString type;  // the kind as written
    QString label; // "name" in the file, else the kind
    int line = 0, column = 0;
    OnFail onFail = OnFail::Inherit;
    QVector<PlanCheck> checks; // the named checks it judges

    // The dwell the plan asks for, in ms (0: none).
    virtual double plannedMs() const { return 0; }
    // Every check a slot meets in this step, under the path the run gives it.
    virtual QVector<PlannedCheck> plannedChecks(const QString &path) const;

    // A step that runs on its own: its runner on slot. A block (loop, sweep)
    // has none: its body runs pass by pass.
    virtual std::unique_ptr<StepRunner> runner(SlotMachine &slot) const = 0;
    virtual const StepList *body() const { return nullptr; }
    virtual int passes() const { return 1; }
    // Before each pass of a block (from 0): true when it has scheduled work
    // on slot that goes on to the pass's steps by itself.
    virtual bool beforePass(SlotMachine &, int) const { return false; }
};

struct PlanSteps {
    OnFail onFail = OnFail::Stop;
    StepList steps;
    StepList finallySteps;
};
