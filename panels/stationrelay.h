#pragma once

#include "link/readingformat.h"
#include "plan/planresults.h"

#include <QObject>
#include <QString>
#include <QStringList>

// The run's events as queued signals: emitted on the run's thread, received
// by the station window on the GUI thread. Made in the GUI thread, so that the
// connections to the window are queued.
class TStationRelay : public QObject, public PlanListener
{
    Q_OBJECT

public:
    explicit TStationRelay(QObject *parent) : QObject(parent) {}

    void runStarted(const RunInfo &info) override;
    void stepStarted(const StepEvent &event) override;
    void reading(const ReadingEvent &event) override;
    void checkJudged(const CheckResult &result) override;
    void slotFinished(const SlotVerdict &verdict) override;

signals:
    void started();
    void references(const QString &text);
    void step(int slot, const QString &text);
    void sample(int slot, const Reading &sample);
    void check(int slot, const QString &text, bool passed);
    void finished(int slot, int verdict, const QString &cause);
    void failed(const QString &text);
    void refused(const QString &text);
    void recorded(const QStringList &files, const QStringList &problems);
};

// An engine's cause ("check 'v_mean' failed", "port lost: ...") in the
// interface's language; a cause it does not know stays as the engine wrote it.
QString StationCauseText(const QString &cause);

// The references of a station file as the window shows them: each one's
// name, its identity (or its kind before it has answered), its calibration
// due date, and whether it is past due.
QString StationReferencesText(const QString &stationFile, const QVector<ReferenceUsed> &references);
