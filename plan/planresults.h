#pragma once

// The stream of results a plan run emits. The engine knows nothing of its
// consumers: the terminal lines, the station window, the report files and the
// history database are each a PlanListener handed to the run. Everything here
// is a value; listeners are called on the engine's own thread, in order.

#include "link/readingformat.h"

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QVector>
#include <optional>

// A slot's verdict. Error: the slot could not be judged to the end (its supply
// stopped answering, the port was lost); it never counts as a pass.
// Aborted: Ctrl-C or the window's abort ended the run before the slot did.
// Conditional: every check inside its limits, but one within the guard band
// of a reference's uncertainty: the measurement cannot tell; never a pass.
enum class Verdict { Pass, Fail, Error, Aborted, Conditional };

// "PASS", "FAIL", "ERROR", "ABORTED", "CONDITIONAL": the words in the terminal, the reports
// and the database.
QString VerdictText(Verdict verdict);

// A limit as it was judged: the shortest decimal that reads back as it, to 15
// significant digits (so a limit written or computed from decimals shows as
// that decimal: 11.968, not 11.97 nor 11.968000000000002); "" for none.
QString LimitText(std::optional<double> limit);

// One supply tested in a run.
struct SlotInfo {
    int index = 0;        // from 0, in the plan's slot order
    QString name;         // the slot's name in the plan ("A", "left", ...)
    int address = 1;      // bus address, 1..247
    QString model;        // catalogue caption ("QELT30-05")
    QString serial;       // the unit's serial number, unique within the run
};

// A check the plan holds, as a slot meets it: the path its step runs under
// (each pass of a loop apart), its name, what it judges, and its limits when
// they are absolute (a limit relative to the setpoint is known only when
// judged). A slot that ends before a check lists it as not reached.
struct PlannedCheck {
    QString path;
    QString stepLabel;
    QString name;
    QString quantity;
    QString statistic;
    QString unit;
    std::optional<double> low;
    std::optional<double> high;
};

// A reference instrument a run measures with, as it answered before the run.
struct ReferenceUsed {
    QString name;        // as the station file and the plan name it ("dmm")
    QString kind;        // "dmm", "load", "scanner"
    QString identity;    // its answer to *IDN?
    QDate calibrationDue; // invalid when the station file gives none
    bool expired = false; // past due, run with --allow-expired
    QString link;         // where it was reached (tcp://host:port, a device)
    bool expiredAllowed = false; // the run was allowed references past due
};

// What is known when a run starts.
struct RunInfo {
    QString runId;        // unique per run (a UUID without braces)
    QString planName;
    QString planVersion;
    QString planFile;     // as given, for the reports
    QString station;      // the host name
    QString operatorName; // the login name, or what the window asked for
    QString toolVersion;
    QString port;         // the line as given (COM2, /dev/ttyUSB0, tcp://...)
    QDateTime start;
    QVector<SlotInfo> slotList; // in plan slot order ("slots" is a Qt keyword macro)
    QVector<PlannedCheck> plannedChecks; // every check of the plan in the order met; the same for every slot
    QString stationFile;                 // the station file of the references; "" for a run without one
    QVector<ReferenceUsed> references;   // those the run opened
};

// A step of one slot starting or ending. path names the step within the plan
// so that loop passes stay apart: "3", "4.2[1]" (step 2 of step 4, pass 1).
struct StepEvent {
    int slot = 0;
    QString path;
    QString kind;         // "set", "ramp", "wait", "settle", "measure", "protection", ...
    QString label;        // the step's name in the plan, or a description
    QDateTime started;
    QDateTime ended;      // invalid in stepStarted
    double plannedMs = 0; // the dwell the plan asked for (0: none)
    double actualMs = 0;  // the dwell measured (stepEnded only)
    QString stopReason;   // why a long step ended: "time", "charge", "energy", "taper", "" otherwise
};

// One status reading taken for a slot, with the step it was taken in.
struct ReadingEvent {
    int slot = 0;
    QString path;
    Reading sample;  // time, address, model with its resolution, values in units, power
};

// One named check judged. low/high are the limits in units (either may be
// absent); value is what was judged (the mean, min or max of the readings).
struct CheckResult {
    int slot = 0;
    QString path;
    QString name;         // the check's name in the plan, unique within its step
    QString quantity;     // "voltage", "current", "power", "trip_time", ...
    QString statistic;    // "mean", "min", "max", "" for a single value
    QString unit;         // "V", "A", "W", "s", "Ah", "Wh"
    int decimals = 3;     // how many decimals the value and limits are shown with
    double value = 0;
    std::optional<double> low;
    std::optional<double> high;
    bool passed = false;
    QDateTime time;
    // A check of a reference's values: which reference, the expanded
    // uncertainty U of the value and its coverage factor k, and whether the
    // value fell within the guard band (inside the limits; passed is false).
    QString reference;
    double expanded = 0;
    double coverage = 0;
    bool conditional = false;
    // The decision rule the plan asked for ("simple", "guarded"; "" without a
    // reference), the test uncertainty ratio when there is one, and whether
    // the guard band was applied.
    QString decision;
    std::optional<double> ratio;
    bool guarded = false;

    // "PASS", "CONDITIONAL" or "FAIL".
    QString word() const;

    // The distance to the nearer limit, in units: positive inside, negative
    // outside; empty when there is no limit.
    std::optional<double> margin() const;
};

// A slot's end. cause says why it did not pass ("check 'v_mean' failed",
// "address 5: no valid reply after 2 tries"), empty on a pass.
struct SlotVerdict {
    int slot = 0;
    Verdict verdict = Verdict::Error;
    QString cause;
    int checks = 0;
    int failed = 0;
    QDateTime end;
};

struct RunEnd {
    QDateTime end;
    Verdict overall = Verdict::Error; // Pass only when every slot passed
};

class PlanListener
{
public:
    virtual ~PlanListener() = default;
    virtual void runStarted(const RunInfo &) {}
    virtual void stepStarted(const StepEvent &) {}
    virtual void stepEnded(const StepEvent &) {}
    virtual void reading(const ReadingEvent &) {}
    virtual void checkJudged(const CheckResult &) {}
    virtual void slotFinished(const SlotVerdict &) {}
    virtual void runFinished(const RunEnd &) {}
};

// The one bus the engine drives: blocking register reads and writes at an
// address. psuctl and the station window each hand the engine one over their
// own line. A failure raises an exception derived from SystemError whose text
// names the cause; a lost port is told apart by lost() so the engine can wait
// for it to return and run the finally block then.
class PlanBus
{
public:
    virtual ~PlanBus() = default;
    virtual QVector<quint16> read(int address, quint16 start, int count) = 0;
    virtual void write(int address, quint16 start, const QVector<quint16> &values) = 0;
    // True after a failure that was the port itself going (not a supply's silence).
    virtual bool lost() const = 0;
    // Tries to open the port again; true when it is back.
    virtual bool reopen() = 0;
};
