#pragma once

#include "panels/planstation.h"
#include "sim/simoptions.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

class QTimer;
class QWidget;

// The demo's bus: three supplies at addresses 1, 5 and 17, with the output on
// into a load, so that the monitor shows live readings at once:
//   1: QELT30-05, 12.00 V / 1.500 A into 10 ohm  -> constant voltage, 1.200 A
//   5: QELT60-05, 24.00 V / 1.000 A into 30 ohm  -> constant voltage, 0.800 A
//  17: QELT36-03,  5.00 V / 2.000 A into 2 ohm   -> constant current, 4.00 V
SimBusOptions DemoBusOptions();

class SimBus;

// Writes FOLDER/station.toml for the demo's bench: the simulated multimeter at
// meterLink and its scanner on the same link, each supply's terminals on
// channel 100 + address. Returns its path, or empty when it cannot be written.
QString WriteDemoStation(const QString &folder, const QString &meterLink);

// The station's bench on the demo's bus: the plan dialog opens in the example
// plans, and each run finds the supplies' loads taken off, as an accuracy
// test at the end of a line measures them unloaded (the supply at 17 would
// otherwise limit its current into 2 ohm); they are put back after the run.
StationBench DemoStationFixture(SimBus *bus);

// A scripted operator for the demo without a display: applies the serial
// settings, picks a model, runs the monitor, a scan, a short sequence, a
// calibration and a test plan at the station, and, given a reference meter, an
// automatic calibration with its certificate; saves a screenshot of each window into a folder and quits.
// Controls are looked up by object name, so a missing one only skips its step.
class DemoTour : public QObject
{
    Q_OBJECT

public:
    DemoTour(const QString &folder, QObject *parent);
    ~DemoTour() override;

    // Runs the tour from the event loop; finished() tells its end.
    void start();
    // The station's bench for the tour's run, until the tour goes.
    void setStationFixture(StationBench bench);
    // The simulated multimeter with its scanner (tcp://HOST:PORT) that the
    // automatic calibration measures with; none: that step is left out.
    void setReferenceMeter(const QString &link) { m_meterLink = link; }
    // The screenshots saved so far, and what went wrong on the way.
    QStringList screenshots() const { return m_shots; }
    QStringList problems() const { return m_problems; }

signals:
    // ok: every screenshot taken and every step saw what it waited for.
    void finished(bool ok);

private:
    void run();
    void applySerialSettings();
    void chooseModel();
    void runMonitor();
    void runTrend();
    void runScan();
    void runOverview();
    void runSequence();
    void runCalibration();
    void runStation();
    void runAutoCalibration();
    void showCertificate(const QString &html);

    // Runs the event loop until condition holds or timeoutMs pass; false on timeout.
    bool waitFor(const std::function<bool()> &condition, int timeoutMs);
    void pause(int ms);
    void shoot(QWidget *window, const QString &name);
    bool click(QWidget *window, const QString &name);
    void setText(QWidget *window, const QString &name, const QString &text);
    void setNumber(QWidget *window, const QString &name, int value);
    void setChecked(QWidget *window, const QString &name, bool checked);
    QString textOf(QWidget *window, const QString &name) const;
    void closeModalBoxes();
    void note(const QString &text);

    QString m_folder;
    QString m_meterLink;
    bool m_benchSet = false;
    QTimer *m_modalTimer;
    QStringList m_shots;
    QStringList m_problems;
    QStringList m_messages;
};
