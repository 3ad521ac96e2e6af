#pragma once

#include "link/frames.h"

// Automatic calibration of a supply's output voltage or output current
// against a station's reference multimeter: an as-found sweep, the size and
// sign of one correction step found by experiment, the correction code that
// best centres the error written with the correction register, and an as-left
// sweep, each point judged against the model's accuracy with its measurement
// uncertainty. The current is measured on the meter's current range with the
// supply held in current limit by the station's electronic load.
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
#include <memory>
#include <optional>

class HistoryDatabase;
class RtuMaster;
class ScpiClient;
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
// one the codes cannot give. Both are refused, saying why (values in unit).
CorrectionChoice ChooseCorrection(const QVector<double> &errors, double step, double resolvable, int current, int base,
                                  const char *unit);

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

// A calibrated quantity as the supply's registers and the reference know it.
struct CalibratedTraits {
    const char *name;         // "voltage": the history's and the JSON's word
    const char *unit;         // "V"
    const char *unitWord;     // "volts": the meter's function, and the JSON keys' suffix
    const char *registerName; // "VoltageCorrection"
    quint16 setpoint;         // VoltageSetpoint
    quint16 reading;          // OutputVoltage
    quint16 correction;       // VoltageCorrection
    int base;                 // the codes correct by ±base steps
    ReferenceOperation configure; // the meter's function for it
};
const CalibratedTraits &TraitsOf(CalibratedQuantity quantity);

struct CalibrationSettings {
    CalibratedQuantity quantity = CalibratedQuantity::Voltage;
    int address = 1;
    int modelItem = 1;
    QString serial;
    int points = 3;          // spread over 10 % to 90 % of the quantity's limit
    int readings = 5;        // per point, of both the meter and the supply
    double settleSeconds = 0.5;
    double nplc = 1;
    DecisionRule rule = DecisionRule::Simple;
    SupplyAccuracy accuracy;
    QString operatorName;
    QVector<QPair<QString, QString>> environment; // as the operator gave them, in order
};

// Values in the calibrated quantity's unit.
struct CalibrationPoint {
    double nominal = 0;        // the setting
    double reference = 0;      // the meter's mean
    double supply = 0;         // the supply's read-back
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
    CalibratedQuantity quantity = CalibratedQuantity::Voltage;
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
    std::optional<double> step;       // one correction step as measured, in the quantity's unit
    CalibrationStatus status = CalibrationStatus::Error;
    QString cause;                    // for Error, Aborted, and a refusal
    double settledSeconds = 0;        // the settle times waited
    double readingSeconds = 0;        // the meter's readings, as long as they took

    bool asLeftMeasured() const { return !asLeft.isEmpty(); }
    const CalibratedTraits &traits() const { return TraitsOf(quantity); }
};

// The worst verdict of a sweep (Fail > Conditional > Pass).
Acceptance SweepVerdict(const QVector<CalibrationPoint> &sweep);

class AutoCalibration
{
public:
    // Progress lines ("as found 15.50 V: ... PASS") as the work goes.
    using Progress = std::function<void(const QString &line)>;

    AutoCalibration(RtuMaster &master, const StationFile &station, const CalibrationSettings &settings);
    ~AutoCalibration();

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
    void connectReferences(CalibrationRecord &record, double largest);
    void send(ScpiClient &client, const ReferenceInstrument &reference, const QString &command);
    void putBack(CalibrationRecord &record);
    QVector<double> sweepSettings() const;
    QVector<CalibrationPoint> sweep(const QVector<double> &settings, const char *what);
    CalibrationPoint measure(double setting);
    // The meter's and the supply's readings at the setting in force.
    double meanReference(double setting, double *spread);
    void setPoint(double setting);
    void writeCode(int code);
    int readCode();
    QString quantityText(double value, int decimals) const;
    void pause(double seconds);
    void checkAbort();
    void note(const QString &line);

    RtuMaster &m_master;
    const StationFile &m_station;
    CalibrationSettings m_settings;
    const ModelEntry *m_model;
    const CalibratedTraits &m_traits;
    double m_limit = 0;               // the model's largest setting of the quantity
    double m_scale = 1;               // its counts per unit
    double m_count = 0;               // its resolution
    int m_decimals = 0;
    const ReferenceInstrument *m_dmm = nullptr;
    const ReferenceInstrument *m_scanner = nullptr;
    const ReferenceInstrument *m_load = nullptr; // draws the current calibrated
    AccuracyLimits m_range;
    std::atomic<bool> m_abort{false};
    Progress m_progress;
    std::unique_ptr<ScpiClient> m_meter;
    std::unique_ptr<ScpiClient> m_scannerClient;
    std::unique_ptr<ScpiClient> m_loadClient;
    QVector<double> m_readings;       // the meter's last readings at one setting
    QVector<QPair<quint16, quint16>> m_setpointsFound; // register, value as found
    double m_settledSeconds = 0;      // the settle times waited
    double m_readingSeconds = 0;      // the meter's readings, as long as they took
};

// Why the station cannot calibrate quantity at address today, found before
// anything is sent: no meter, a scanner without the address's channel, no
// load for the current, a reference past due. Empty when it can.
QString CalibrationRefusal(const StationFile &station, CalibratedQuantity quantity, int address, const QDate &today);

// The record as JSON (the certificate's data; the history keeps it too).
QByteArray CalibrationJson(const CalibrationRecord &record);

// Keeps the calibration in the history: its row, found by the unit's serial,
// with the whole record. Raises the database's error.
void KeepInHistory(HistoryDatabase &db, const CalibrationRecord &record);
