#include "plan/uncertainty.h"

#include <algorithm>
#include <cmath>

namespace {

// Limits and guard bands are sums of decimal values that binary floating
// point holds inexactly (11.9 + 0.05 is not 11.95): a value at a boundary is
// at it when it is within a few parts in 10^12 of it.
bool atMost(double value, double bound)
{
    return value <= bound + 1e-12 * std::max({1.0, std::abs(value), std::abs(bound)});
}

} // namespace

double RectangularUncertainty(double halfWidth)
{
    return std::abs(halfWidth) / std::sqrt(3.0);
}

double StandardDeviationOfMean(const QVector<double> &values)
{
    const int n = values.size();
    if (n < 2)
        return 0;
    double mean = 0;
    for (double v : values)
        mean += v;
    mean /= n;
    double squares = 0;
    for (double v : values)
        squares += (v - mean) * (v - mean);
    return std::sqrt(squares / (n - 1)) / std::sqrt(double(n));
}

UncertaintyBudget EvaluateUncertainty(const QVector<double> &readings, const AccuracyLimits &reference,
                                      double supplyStep, double coverage)
{
    UncertaintyBudget budget;
    budget.readings = readings.size();
    for (double v : readings)
        budget.mean += v;
    if (!readings.isEmpty())
        budget.mean /= readings.size();

    const double limit = std::abs(budget.mean) * reference.percentReading / 100.0
                         + reference.range * reference.percentRange / 100.0;
    budget.accuracy = RectangularUncertainty(limit);
    budget.referenceResolution = RectangularUncertainty(reference.resolution / 2);
    budget.repeatability = StandardDeviationOfMean(readings);
    budget.supplyResolution = RectangularUncertainty(supplyStep / 2);
    budget.combined = std::sqrt(budget.accuracy * budget.accuracy
                                + budget.referenceResolution * budget.referenceResolution
                                + budget.repeatability * budget.repeatability
                                + budget.supplyResolution * budget.supplyResolution);
    budget.coverage = coverage;
    budget.expanded = coverage * budget.combined;
    return budget;
}

std::optional<double> TestUncertaintyRatio(std::optional<double> low, std::optional<double> high, double expanded)
{
    if (!low || !high || !(expanded > 0))
        return std::nullopt;
    return (*high - *low) / 2 / expanded;
}

Decision Decide(double value, std::optional<double> low, std::optional<double> high, double expanded,
                DecisionRule rule)
{
    Decision decision;
    decision.ratio = TestUncertaintyRatio(low, high, expanded);
    const bool inside = (!low || atMost(*low, value)) && (!high || atMost(value, *high));
    decision.guarded = rule == DecisionRule::Guarded
                       || !(decision.ratio && atMost(SimpleAcceptanceRatio, *decision.ratio));
    // With U = 0 the guard band is empty: guarded and simple agree.
    if (expanded <= 0)
        decision.guarded = false;
    decision.acceptLow = low;
    decision.acceptHigh = high;
    if (decision.guarded) {
        if (low)
            decision.acceptLow = *low + expanded;
        if (high)
            decision.acceptHigh = *high - expanded;
    }
    if (!inside) {
        decision.verdict = Acceptance::Fail;
        return decision;
    }
    const bool accepted = (!decision.acceptLow || atMost(*decision.acceptLow, value))
                          && (!decision.acceptHigh || atMost(value, *decision.acceptHigh));
    decision.verdict = accepted ? Acceptance::Pass : Acceptance::Conditional;
    return decision;
}

const char *DecisionRuleWord(DecisionRule rule)
{
    return rule == DecisionRule::Guarded ? "guarded" : "simple";
}

const char *AcceptanceWord(Acceptance verdict)
{
    switch (verdict) {
    case Acceptance::Pass:
        return "PASS";
    case Acceptance::Conditional:
        return "CONDITIONAL";
    case Acceptance::Fail:
        break;
    }
    return "FAIL";
}
