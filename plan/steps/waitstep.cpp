// wait: a time, cut short by its stop conditions, its totals judged at the end.

#include "plan/planreader.h"
#include "plan/steps/timedstep.h"

std::unique_ptr<PlanStep> ReadWaitStep(const StepSource &source)
{
    const toml::table &table = source.table;
    const PlanReader &reader = source.reader;
    reader.onlyKeys(table, {"type", "name", "on_fail", "time", "interval", "stop", "check"}, source.what);
    auto step = std::make_unique<TimedStep>();
    step->seconds = *reader.number(table, "time", true, source.what, 0, 1e7);
    step->interval = reader.number(table, "interval", false, source.what, 0, 1e5).value_or(0);
    step->readTotals(source);
    return step;
}
