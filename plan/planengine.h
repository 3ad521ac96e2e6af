#pragma once

// A plan file made into a run: LoadPlan reads and checks a plan before
// anything is sent; PlanRun drives every slot of it on one bus and tells its
// listeners what happens.

#include "link/systemerror.h"
#include "plan/planresults.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>
#include <atomic>
#include <memory>

// A plan refused before anything is sent: the file, the line and column (1-based,
// 0 when unknown) and the cause.
class PlanError : public SystemError
{
public:
    PlanError(const QString &file, int line, int column, const QString &cause);
    QString file() const { return m_file; }
    int line() const { return m_line; }
    int column() const { return m_column; }
    QString cause() const { return m_cause; }

private:
    QString m_file;
    int m_line;
    int m_column;
    QString m_cause;
};

struct PlanSlot {
    QString name;
    int address = 1;
    QString model; // catalogue caption
};

struct PlanSteps; // the parsed steps; the engine's own
class RunReferences;

struct Plan {
    QString name;
    QString version;
    QString file;
    QStringList models; // the models the plan accepts
    QVector<PlanSlot> slotList; // not "slots": a Qt keyword
    std::shared_ptr<const PlanSteps> steps;
    QMap<QString, QString> references; // the reference instruments its steps use: name -> kind
};

// Why a slot did not pass, as the engine words it, with %1 and %2 filled in (a
// check's or step's name, a time, the bus's error text); kept here in one
// place for the station to translate. A bus failure's cause is the bus's own text.
namespace PlanCause {
inline constexpr char CheckFailed[] = "check '%1' failed";
inline constexpr char CheckConditional[] = "check '%1' conditional"; // inside its limits, within the guard band
inline constexpr char StepFailed[] = "'%1': %2"; // a step's name and what went wrong in it
inline constexpr char OutputOffBeforeLimit[] = "output was off before the limit was written";
inline constexpr char DidNotTrip[] = "did not trip within %1 s";
inline constexpr char Aborted[] = "aborted";
inline constexpr char PortLost[] = "port lost: %1";
inline constexpr char PortLostForGood[] = "port lost";
} // namespace PlanCause

// Reads, parses and checks a plan file (steps, limits against each slot's
// model, profile files named in it); raises PlanError.
Plan LoadPlan(const QString &path);

// Every check of the plan in the order a slot meets it, each loop pass apart,
// under the paths the run gives their steps; the first PlannedChecksListed of
// them, as nested loops can hold more than memory.
constexpr int PlannedChecksListed = 100000;
QVector<PlannedCheck> PlannedChecks(const Plan &plan);

// Refuses (PlanError with file "serials") an empty serial, one given twice, or
// a count that is not one per slot.
void CheckSerials(const QStringList &serials, int slotCount);

// What is known of a run before it starts, for the station and psuctl alike:
// the operator (operatorName when given, else the login name: $USER, else
// $USERNAME), the host as the station, the tool's version, the line as
// given, and each slot with its serial number (serials in slot order,
// trimmed). The run id, the plan's name and the start are the run's own.
RunInfo DescribeRun(const Plan &plan, const QStringList &serials, const QString &operatorName,
                    const QString &toolVersion, const QString &port);

// One run of a plan. run() blocks until every slot has ended and its finally
// block has run; a window calls it on a worker thread. abort() may be called
// from any thread and from a signal handler: it only sets a flag that the run
// sees between bus transactions, after which every slot goes to its finally
// block.
class PlanRun
{
public:
    // info: who, where and which serials (info.slotList in plan slot order);
    // runId, planName/planVersion/planFile and start are filled in by run().
    PlanRun(Plan plan, PlanBus &bus, RunInfo info);
    ~PlanRun();
    PlanRun(const PlanRun &) = delete;
    PlanRun &operator=(const PlanRun &) = delete;

    // Not owned; called on the run's thread in the order added.
    void addListener(PlanListener *listener);
    // The station's instruments the plan's steps measure and load with,
    // opened (OpenReferences); a plan that names one needs them.
    void useReferences(std::shared_ptr<RunReferences> references);
    RunEnd run();
    void abort() { m_abort.store(true); }

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::atomic<bool> m_abort{false};
};
