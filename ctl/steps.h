#pragma once

#include <QString>
#include <QVector>

// One row of a steps file: the setpoints and how long they hold.
struct StepRow {
    int line = 0; // in the file, from 1
    double volts = 0;
    double amps = 0;
    double seconds = 0;
};

// Reads rows of volts,amps,seconds. Blank lines and lines starting with '#'
// are skipped; the first other line may be a header (its first field is not a
// number). A row that does not read raises CtlError (ExitUsage) naming
// fileName and the line, before anything is sent.
QVector<StepRow> ParseSteps(const QString &text, const QString &fileName);
