#pragma once

// A station's reference instruments: the station file names each one (what it
// is, where it is, which driver speaks to it, when its calibration is due),
// and a driver file maps the operations a run needs to the instrument's own
// SCPI commands, with the accuracy its maker specifies. Both are TOML; every
// refusal is a PlanError naming the file, line and column.

#include "plan/uncertainty.h"

#include <QDate>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>
#include <optional>

enum class ReferenceKind { Dmm, Load, Scanner };

// What a reference is asked to do. A driver gives the command of each one
// its kind needs; {name} in a command is replaced by the value of that name
// ({range}, {nplc}, {channel}, {amps}).
enum class ReferenceOperation {
    Identify,       // "*IDN?"
    Reset,          // brings the instrument to a known state before a run
    ConfigureVolts, // DC volts on {range} with {nplc} power line cycles
    ConfigureAmps,  // DC amperes on {range} with {nplc}
    Read,           // trigger one reading and return it
    SelectChannel,  // scanner: close {channel}
    LoadCurrent,    // load: constant current of {amps}
    LoadOn,         // load: input on
    LoadOff,        // load: input off
    LoadMeasureCurrent, // load: the current it draws
    Error,          // the next entry of the error queue ("0,..." when empty)
};
constexpr int ReferenceOperationCount = int(ReferenceOperation::Error) + 1;

// The accuracy of one range of one function over the instrument's
// calibration interval.
struct RangeAccuracy {
    QString function; // "volts" or "amperes"
    AccuracyLimits limits;
};

struct ReferenceDriver {
    QString file;
    QString name;
    ReferenceKind kind = ReferenceKind::Dmm;
    QString commands[ReferenceOperationCount];
    QVector<RangeAccuracy> accuracy; // by function, ranges ascending
    double settleSeconds = 0;        // after configuring or switching, before reading
    double timeoutSeconds = 5;       // for one answer

    bool has(ReferenceOperation operation) const { return !commands[int(operation)].isEmpty(); }
    // The command with its {names} replaced; values holds name → text.
    QString command(ReferenceOperation operation, const QHash<QString, QString> &values = {}) const;
    // The smallest range of function that holds magnitude, or nothing when
    // none does.
    const RangeAccuracy *rangeFor(const QString &function, double magnitude) const;
};

struct ReferenceInstrument {
    QString name;            // how plans name it: source = "dmm"
    ReferenceKind kind = ReferenceKind::Dmm;
    QString link;            // tcp://HOST:PORT, /dev/usbtmcN, or a serial port with its settings
    ReferenceDriver driver;
    std::optional<QDate> calibrationDue;
    QHash<QString, int> channels; // scanner: slot name → channel
    int line = 0, column = 0;

    // Past due on that day (a reference due today is still in calibration).
    bool expiredOn(const QDate &day) const { return calibrationDue && *calibrationDue < day; }
};

struct StationFile {
    QString file;
    QString name;
    QVector<ReferenceInstrument> references;

    const ReferenceInstrument *find(const QString &name) const;
};

// Reads a station file and the driver files it names (relative to its own
// folder); raises PlanError on any error in either, before anything is sent.
StationFile LoadStation(const QString &path);
ReferenceDriver LoadDriver(const QString &path);

const char *ReferenceKindName(ReferenceKind kind);
