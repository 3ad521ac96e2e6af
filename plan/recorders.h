#pragma once

// Where a plan run is kept: the report files (JUnit XML, a self-contained
// HTML page, a CSV of every reading) and the history database. Both are
// listeners of the run; neither stops it: a failure (a locked database, a full
// disk) is kept in problems(), naming the file and the cause, and the other
// outputs are still written.

#include "plan/planresults.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>
#include <memory>

struct RecorderOptions {
    QString reportDir; // empty: no report files
    QString database;  // a SQLite file, or postgresql://user@host:port/dbname; empty: DefaultHistoryDatabase()
    bool history = true;
};

// ~/.local/share/psutool/history.sqlite (XDG data home).
QString DefaultHistoryDatabase();

// The report files' name without its extension: the plan, the run's start and
// the start of its id ("accuracy_20261207-203500_1f0c2a9b"), so that runs never
// overwrite each other's files.
QString ReportBaseName(const RunInfo &info);

class RunRecorders : public PlanListener
{
public:
    explicit RunRecorders(const RecorderOptions &options);
    ~RunRecorders() override;

    void runStarted(const RunInfo &info) override;
    void stepStarted(const StepEvent &event) override;
    void stepEnded(const StepEvent &event) override;
    void reading(const ReadingEvent &event) override;
    void checkJudged(const CheckResult &result) override;
    void slotFinished(const SlotVerdict &verdict) override;
    void runFinished(const RunEnd &end) override;

    // Opens the history database now, before the run, so that one that cannot
    // be had is found out before anything is sent; raises SystemError naming
    // the database and the cause. Without it the first event opens it.
    void openHistory();

    QStringList files() const;    // the report files written
    QStringList problems() const; // what could not be written, with file and cause
    // Writes of the run's history that were given up at its end.
    bool historyLost() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// One slot of one run, as the history lists it.
struct HistoryRow {
    QString runId;
    QDateTime start;
    QDateTime end;
    QString planName;
    QString planVersion;
    QString station;
    QString slot;
    QString serial;
    Verdict verdict = Verdict::Error;
    bool ended = true; // false: the slot never got its verdict (the run was killed, or is still going)
    int checks = 0;
    int failed = 0;
    QVector<ReferenceUsed> references; // the reference instruments the run measured with
};

// Every run of serial in database (newest first); raises SystemError naming
// the database and the cause, also when the file does not exist.
QVector<HistoryRow> ListHistory(const QString &database, const QString &serial);
// The verdict as the history shows it: INCOMPLETE for a slot that never ended.
QString HistoryVerdictText(const HistoryRow &row);
