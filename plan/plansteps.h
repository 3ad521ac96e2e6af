#pragma once

// The steps of a plan as LoadPlan leaves them: checked, every value in units,
// every place in the file kept for the messages of a run.

#include "link/setwrites.h"

#include <QString>
#include <QVector>
#include <optional>

enum class OnFail { Inherit, Stop, Continue };

// A named check of a measure (or of a long step's totals): absolute limits,
// or limits relative to the setpoint of the quantity in force when judged.
struct PlanCheck {
    QString name;
    QString quantity;  // "voltage", "current", "power"; "charge", "energy", "duration" on long steps
    QString statistic; // "mean", "min", "max"; "" for a long step's total
    std::optional<double> min, max;
    bool relative = false;
    double percent = 0; // of the setpoint, either way
    double counts = 0;  // of the model's resolution, either way
    int line = 0, column = 0;
};

// When a long step ends early; every given condition is looked at, the first
// one met ends the step.
struct StopConditions {
    std::optional<double> seconds;  // elapsed
    std::optional<double> chargeAh; // integrated current
    std::optional<double> energyWh; // integrated power
    std::optional<double> taperAmps; // current below this ...
    double taperSeconds = 0;         // ... for this long
    bool any() const { return seconds || chargeAh || energyWh || taperAmps; }
};

struct ProfileRow {
    double seconds = 0; // from the start of the profile
    double volts = 0;
    double amps = 0;
};

struct PlanStep {
    enum Kind { Set, Ramp, Wait, Settle, Measure, Loop, Sweep, Profile, Protection };
    Kind kind = Set;
    QString type;  // the kind as written
    QString label; // "name" in the file, else a description
    int line = 0, column = 0;
    OnFail onFail = OnFail::Inherit;

    SetValues set;                       // set
    QString quantity;                    // ramp, settle, sweep: "voltage" or "current"
    std::optional<double> from;          // ramp: from the setpoint in force when absent
    double to = 0;                       // ramp
    double seconds = 0;                  // ramp, wait: the time; settle: hold; protection: within
    double timeout = 0;                  // settle
    std::optional<double> target;        // settle: the setpoint in force when absent
    double tolerance = 0;                // settle: absolute, in units
    double interval = 0;                 // wait, settle, measure, profile, ramp, protection: between readings (0: back to back)
    int count = 1;                       // measure: readings; loop: passes
    QVector<double> values;              // sweep: setpoints in units, or fractions of the range
    bool fractions = false;              // sweep: values are fractions of each slot's model range
    QVector<ProfileRow> rows;            // profile
    bool rampRows = false;               // profile: linear between rows
    QString limit;                       // protection: "ovp" or "ocp"
    double level = 0;                    // protection: the limit written, in units
    StopConditions stop;                 // wait, profile
    QVector<PlanCheck> checks;           // measure; wait and profile (totals)
    QVector<PlanStep> body;              // loop, sweep
};

struct PlanSteps {
    OnFail onFail = OnFail::Stop;
    QVector<PlanStep> steps;
    QVector<PlanStep> finallySteps;
};
