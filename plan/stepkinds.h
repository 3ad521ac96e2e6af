#pragma once

// The kinds of step a plan may name, each with its reader. A new kind is a
// file in plan/steps/ and one line in stepkinds.cpp.

#include <QStringList>
#include <memory>

class PlanStep;
struct StepSource;

struct StepKind {
    const char *type; // as written in the plan ("set", "ramp", ...)
    std::unique_ptr<PlanStep> (*read)(const StepSource &source);
};

// nullptr for a kind that is not known.
const StepKind *FindStepKind(const QString &type);
// Every kind, in the order the refusal of an unknown one lists them.
QStringList StepKindNames();
