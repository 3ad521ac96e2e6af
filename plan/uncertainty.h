#pragma once

// The uncertainty of a value measured with a reference instrument, evaluated
// as the Guide to the Expression of Uncertainty in Measurement does it, and
// the decision a check takes on such a value.
//
// Every contribution is a standard uncertainty in the value's own unit:
// - the reference's accuracy, ±(% of reading + % of range), a limit of
//   error with no distribution given, taken as rectangular (limit / √3);
// - the reference's resolution δ, rectangular of half-width δ/2 (δ / √12);
// - the repeatability of the N readings, the experimental standard deviation
//   of their mean (s / √N, a Type A evaluation; 0 for a single reading);
// - the supply's resolution, rectangular of half-width one half step.
// They are taken as uncorrelated and combined by the root sum of squares; the
// expanded uncertainty is k times the combined one.

#include <QVector>
#include <optional>

// The accuracy of one range of a reference instrument over one calibration
// interval, as its maker specifies it.
struct AccuracyLimits {
    double range = 0;          // the full scale of the range, in the value's unit
    double percentReading = 0; // ± % of the reading
    double percentRange = 0;   // ± % of the range
    double resolution = 0;     // the smallest step the reference shows on this range
};

struct UncertaintyBudget {
    double mean = 0;            // the mean of the readings
    int readings = 0;
    double accuracy = 0;      // standard uncertainties, in the value's unit
    double referenceResolution = 0;
    double repeatability = 0;
    double supplyResolution = 0;
    double combined = 0;        // u_c
    double coverage = 2;        // k
    double expanded = 0;        // U = k u_c
};

// A rectangular distribution of half-width a: its standard uncertainty a / √3.
double RectangularUncertainty(double halfWidth);
// The experimental standard deviation of the mean of values (0 for fewer than two).
double StandardDeviationOfMean(const QVector<double> &values);

// The budget of the mean of readings taken with a reference of that accuracy,
// of a quantity the supply sets in steps of supplyStep (0: not a setpoint).
// readings must not be empty.
UncertaintyBudget EvaluateUncertainty(const QVector<double> &readings, const AccuracyLimits &reference,
                                      double supplyStep, double coverage = 2);

enum class DecisionRule {
    Simple, // simple acceptance when the test uncertainty ratio is at least 4, otherwise guarded
    Guarded // acceptance only inside the limits narrowed by the expanded uncertainty
};

enum class Acceptance {
    Pass,
    Conditional, // inside the limits, but within the guard band: the measurement cannot tell
    Fail
};

// The ratio of the tolerance's half width to the expanded uncertainty; empty
// when a limit is missing (a one-sided check has no ratio) or U is 0
// (nothing to compare).
std::optional<double> TestUncertaintyRatio(std::optional<double> low, std::optional<double> high, double expanded);
constexpr double SimpleAcceptanceRatio = 4;

struct Decision {
    Acceptance verdict = Acceptance::Fail;
    bool guarded = false;            // the guard band was applied
    std::optional<double> ratio;     // the test uncertainty ratio, when there is one
    std::optional<double> acceptLow; // the acceptance limits used
    std::optional<double> acceptHigh;
};

// The decision on value against the limits (either may be missing; both
// inclusive). Simple acceptance passes a value inside the limits; guarded
// acceptance narrows each limit by the expanded uncertainty: a value inside
// the narrowed limits (inclusive) passes, one outside the limits fails, and
// one between the two is conditional. A one-sided check has no ratio, so
// under the simple rule it is guarded as well. When the guard bands of the
// two limits meet, nothing can pass: every value inside the limits is
// conditional.
Decision Decide(double value, std::optional<double> low, std::optional<double> high, double expanded,
                DecisionRule rule);

const char *AcceptanceWord(Acceptance verdict); // "PASS", "CONDITIONAL", "FAIL"
const char *DecisionRuleWord(DecisionRule rule); // "simple", "guarded": as plans write it
