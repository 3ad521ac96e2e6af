#include "plan/stepkinds.h"

#include "plan/plansteps.h"

// Every kind: its name in the plan file and its reader (in plan/steps/), in
// the order the refusal of an unknown kind lists them. One line per kind.
#define PLAN_STEP_KINDS(KIND)                                                                                          \
    KIND("set", ReadSetStep)                                                                                           \
    KIND("ramp", ReadRampStep)                                                                                         \
    KIND("wait", ReadWaitStep)                                                                                         \
    KIND("settle", ReadSettleStep)                                                                                     \
    KIND("measure", ReadMeasureStep)                                                                                   \
    KIND("loop", ReadLoopStep)                                                                                         \
    KIND("sweep", ReadSweepStep)                                                                                       \
    KIND("profile", ReadProfileStep)                                                                                   \
    KIND("protection", ReadProtectionStep)                                                                             \
    KIND("load", ReadLoadStep)

#define DECLARE_READER(type, reader) std::unique_ptr<PlanStep> reader(const StepSource &source);
PLAN_STEP_KINDS(DECLARE_READER)
#undef DECLARE_READER

namespace {

#define KIND_ENTRY(type, reader) {type, reader},
const StepKind kKinds[] = {PLAN_STEP_KINDS(KIND_ENTRY)};
#undef KIND_ENTRY

} // namespace

const StepKind *FindStepKind(const QString &type)
{
    for (const StepKind &kind : kKinds) {
        if (type == QLatin1String(kind.type))
            return &kind;
    }
    return nullptr;
}

QStringList StepKindNames()
{
    QStringList names;
    for (const StepKind &kind : kKinds)
        names << QLatin1String(kind.type);
    return names;
}
