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

    void runStarted(const RunInfo &) override;
    void stepStarted(const StepEvent &event) override;
    void reading(const ReadingEvent &event) override;
    void checkJudged(const CheckResult &result) override;
    void slotFinished(const SlotVerdict &verdict) override;

signals:
    void started();
    void step(int slot, const QString &text);
    void sample(int slot, const Reading &sample);
    void check(int slot, const QString &text, bool passed);
    void finished(int slot, int verdict, const QString &cause);
    void failed(const QString &text);
    void recorded(const QStringList &files, const QStringList &problems);
};
