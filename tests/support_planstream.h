#pragma once

// A plan run's stream of results made up from a few numbers, for the
// recorders' tests and benchmark: the events a three-slot accuracy run emits,
// interleaved across slots as the engine's bus interleaves them.

#include "plan/planresults.h"

#include <QSet>

struct StreamShape {
    int slotCount = 3;
    int checksPerSlot = 4;
    int readingsPerCheck = 5;
    QSet<int> failingChecks;  // by index within a slot
    int failingSlot = -1;     // the one slot they fail in; -1: every slot
    int erroredSlot = -1;     // a slot whose supply stops answering at its end
    int causedFailSlot = -1;  // a slot that fails on a step's cause, no check failing
    QString serialPrefix = QStringLiteral("A");
    QDateTime start = QDateTime::currentDateTime();
    QString runId;            // empty: a new one
};

// The run's information: slots 1, 5, 17, ... with serials prefix+1, prefix+2, ...
RunInfo streamRunInfo(const StreamShape &shape);

// Sends the whole run to the listener, runStarted to runFinished. With
// stopAfterChecks >= 0 it returns once that many checks were judged, as a
// killed run would.
void feedStream(PlanListener &listener, const StreamShape &shape, int stopAfterChecks = -1);

// The check's name as the stream gives it, and its step's path.
QString streamCheckName(int check);
QString streamStepPath(int check);
