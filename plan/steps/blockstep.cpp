#include "plan/steps/blockstep.h"

#include "plan/planreader.h"

void BlockStep::checkDepth(const StepSource &source)
{
    if (source.depth > 8)
        source.reader.fail(source.table, QStringLiteral("loops and sweeps nest deeper than 8"));
}

void BlockStep::readBody(const StepSource &source)
{
    const PlanReader &reader = source.reader;
    const toml::array *body = reader.array(source.table, "do");
    if (!body || body->empty())
        reader.fail(source.table, QStringLiteral("a %1 with no steps in 'do'").arg(source.type));
    for (const toml::node &node : *body)
        steps.push_back(reader.step(reader.tableAt(node, QStringLiteral("a step")), source.depth + 1));
}
