#pragma once

// What wait and profile share: a time, readings at an interval when stop
// conditions or totals want them, and the totals' checks at the end.

#include "plan/slotmachine.h"

#include <optional>

struct StepSource;

// When a long step ends early; every given condition is looked at, the first
// one met ends the step.
struct StopConditions {
    std::optional<double> seconds;   // elapsed
    std::optional<double> chargeAh;  // integrated current
    std::optional<double> energyWh;  // integrated power
    std::optional<double> taperAmps; // current below this ...
    double taperSeconds = 0;         // ... for this long
    bool any() const { return seconds || chargeAh || energyWh || taperAmps; }
};

class TimedStep : public PlanStep
{
public:
    double seconds = 0;  // the wait's time, the profile's last row
    double interval = 0; // between readings (0: none)
    StopConditions stop;

    double plannedMs() const override { return seconds * 1000.0; }
    std::unique_ptr<StepRunner> runner(SlotMachine &slot) const override;

    // The stop conditions, the totals' checks and the interval they need.
    void readTotals(const StepSource &source);
};

class TimedRun : public RunnerOf<TimedStep>
{
public:
    using RunnerOf::RunnerOf;
    void start() override;

protected:
    // The setpoints a step writes as time goes (a profile's): true when it
    // has scheduled a write (which ticks again); change: when they next change.
    virtual bool writeSetpoints(TimePoint, double, TimePoint, TimePoint &) { return false; }
    void tick();

private:
    void end();
    void conclude(const QString &reason);

    std::optional<TimePoint> m_taperSince;
};
