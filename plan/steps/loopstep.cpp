// loop: its steps count times over.

#include "plan/planreader.h"
#include "plan/steps/blockstep.h"

std::unique_ptr<PlanStep> ReadLoopStep(const StepSource &source)
{
    BlockStep::checkDepth(source);
    source.reader.onlyKeys(source.table, {"type", "name", "on_fail", "count", "do"}, source.what);
    auto step = std::make_unique<BlockStep>();
    step->count = *source.reader.whole(source.table, "count", true, source.what, 1, 1e6);
    step->readBody(source);
    return step;
}
