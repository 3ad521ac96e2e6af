#pragma once

// What loop and sweep share: steps in 'do', run pass by pass.

#include "plan/plansteps.h"

struct StepSource;

class BlockStep : public PlanStep
{
public:
    StepList steps;
    int count = 1;

    std::unique_ptr<StepRunner> runner(SlotMachine &) const override { return nullptr; }
    const StepList *body() const override { return &steps; }
    int passes() const override { return count; }

    // Refuses a block too deep; its own keys are the kind's.
    static void checkDepth(const StepSource &source);
    // The steps in 'do'.
    void readBody(const StepSource &source);
};
