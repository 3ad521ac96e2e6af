#pragma once

#include "link/frames.h"

// Automatic calibration of a supply's output voltage against a station's
// reference multimeter: an as-found sweep, the size and sign of one
// correction step found by experiment, the correction code that best centres
// the error written with the correction register, and an as-left sweep, each
// point judged against the model's accuracy with its measurement uncertainty.
// Blocking: it runs on a thread of its own (psuctl's main thread, or a worker
// with its own master beside a window).

#include "link/systemerror.h"
#include "plan/stationfile.h"
#include "plan/uncertainty.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QVector>
#include <atomic>
#include <cmath>
#include <functional>
#include <optional>

class RtuMaster;
struct ModelEntry;

// A calibration that cannot be done on this supply or with this station: a
// reference past due, readings that do not settle, a correction the codes
// cannot give, a step the supply ignores.
class CalibrationRefused : public SystemError
{
public:
    using SystemError::SystemError;
};


struct CorrectionChoice {
    std::optional<int> correction; // the signed correction to write
    QString refusal;               // why there is none
};

// The correction that best centres errors (measured with the correction
// `current` in place) when one step moves the output by step: the one that
// brings the middle of the errors' span nearest to zero. A step smaller in
// size than resolvable is one the supply ignores; a correction past ±base is
// one the codes cannot give. Both are refused, saying why.
CorrectionChoice ChooseCorrection(const QVector<double> &errors, double step, double resolvable, int current, int base);

// The accuracy of the supply's output, as psutool judges a calibration:
// ±(0.1 % of the setting + 2 counts of the model's resolution). The
// catalogue states no accuracy per model, so one rule for every model, in its
// own counts.
struct SupplyAccuracy {
    double percentOfSetting = 0.1;
    int counts = 2;
    double tolerance(double setting, double count) const { return std::abs(setting) * percentOfSetting / 100 + counts * count; }
};

// What a calibration corrects: the output voltage (correction register
// 0x101A, codes ±10) or the output current (0x1019, codes ±100).
enum class CalibratedQuantity { Voltage, Current };

struct CalibrationSettings {
    CalibratedQuantity quantity = CalibratedQuantity::Voltage;
    int address = 1;
    int modelItem = 1;
    QString serial;
    int points = 3;          // spread over 10 % to 90 % of the voltage limit
    int readings = 5;        // per point, of both the meter and the supply
    double settleSeconds = 0.5;
    double nplc = 1;
    DecisionRule rule = DecisionRule::Simple;
    SupplyAccuracy accuracy;
    QString operatorName;
    QVector<QPair<QString, QString>> environment; // as the operator gave them, in order
};

struct CalibrationPoint {
    double nominal = 0;        // the setting, V
    double reference = 0;      // the meter's mean, V
    double supply = 0;         // the supply's read-back mean, V
    double error = 0;          // reference - nominal
    double tolerance = 0;      // ±
    UncertaintyBudget budget;  // of the reference's mean
    Acceptance verdict = Acceptance::Fail;
};

// A reference instrument as the calibration used it.
struct CalibrationReference {
    QString name;
    QString identity; // its answer to the identify query
    QString link;
    std::optional<QDate> due;
};

enum class CalibrationStatus { Pass, Conditional, Fail, Error, Aborted };
const char *CalibrationStatusWord(CalibrationStatus status);

struct CalibrationRecord {
    QString id;                // time-based, names the certificate files
    QString station;
    QString model;
    int address = 0;
    QString serial;
    QString quantity = QStringLiteral("voltage");
    QVector<CalibrationReference> references;
    int points = 0, readings = 0;
    double settleSeconds = 0;
    QString accuracyText;      // the model accuracy judged against, in words
    DecisionRule rule = DecisionRule::Simple;
    QVector<QPair<QString, QString>> environment;
    QString operatorName;
    QDateTime started, finished;
    QVector<CalibrationPoint> asFound;
    QVector<CalibrationPoint> asLeft; // complete, or empty when it was not measured
    std::optional<int> codeFound;     // the code the supply held, as read
    std::optional<int> codeLeft;      // the code written and read back
    std::optional<double> stepVolts;  // one correction step, as measured
    CalibrationStatus status = CalibrationStatus::Error;
    QString cause;                    // for Error, Aborted, and a refusal
    double settledSeconds = 0;        // the settle times waited
    double readingSeconds = 0;        // the meter's readings, as long as they took

    bool asLeftMeasured() const { return !asLeft.isEmpty(); }
};

// The worst verdict of a sweep (Fail > Conditional > Pass).
Acceptance SweepVerdict(const QVector<CalibrationPoint> &sweep);

class AutoCalibration
{
public:
    // Progress lines ("as found 15.50 V: +0.2012 V PASS") as the work goes.
    using Progress = std::function<void(const QString &line)>;

    AutoCalibration(RtuMaster &master, const StationFile &station, const CalibrationSettings &settings);

    // Takes effect between two operations: the output goes off and the
    // supply's as-found code back in, unless the new one was written.
    void abort() { m_abort.store(true); }
    void setProgress(Progress progress) { m_progress = std::move(progress); }

    // Runs the calibration; never raises: a failure is in the record's
    // status and cause. Refusals found before anything is sent to the
    // supply (a reference past due) leave the supply untouched.
    CalibrationRecord run();

private:
    void calibrate(CalibrationRecord &record, bool *outputTouched);
    QVector<CalibrationPoint> sweep(const QVector<double> &settings, const char *what);
    CalibrationPoint measure(double setting);
    // The meter's and the supply's readings at the setting in force.
    double meanReference(double setting, double *spread);
    void setVolts(double volts);
    void writeCode(int code);
    int readCode();
    void pause(double seconds);
    void checkAbort();
    void note(const QString &line);

    RtuMaster &m_master;
    const StationFile &m_station;
    CalibrationSettings m_settings;
    const ModelEntry *m_model;
    const ReferenceInstrument *m_dmm = nullptr;
    const ReferenceInstrument *m_scanner = nullptr;
    AccuracyLimits m_range;
    std::atomic<bool> m_abort{false};
    Progress m_progress;
    class ScpiClient *m_meter = nullptr;
    QVector<double> m_readings;       // the meter's last readings at one setting
    std::optional<quint16> m_setpointFound;
    double m_settledSeconds = 0;      // the settle times waited
    double m_readingSeconds = 0;      // the meter's readings, as long as they took
};

// The record as JSON (the certificate's data; the history keeps it too).
QByteArray CalibrationJson(const CalibrationRecord &record);
