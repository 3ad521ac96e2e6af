#pragma once

// How a check is judged: what it looks at, which statistic of the readings,
// and the verdict as a pure function of the values, the setpoint in force,
// the model's resolution and the limits the plan wrote. No bus, no clock.

#include <QString>
#include <QVector>
#include <optional>

// What a check judges. The names are those of the plan file and the reports.
enum class Quantity { Voltage, Current, Power, Charge, Energy, Duration, SettleTime, TripTime };
enum class Statistic { None, Mean, Min, Max };

QString QuantityName(Quantity quantity);          // "voltage", ..., "settle_time", "trip_time"
std::optional<Quantity> QuantityFromName(const QString &name);
QString QuantityUnit(Quantity quantity);          // "V", "A", "W", "Ah", "Wh", "s"
QString StatisticName(Statistic statistic);       // "mean", "min", "max"; "" for a single value
std::optional<Statistic> StatisticFromName(const QString &name);

// Limits as the plan writes them: absolute, or a band either way of the
// setpoint of percent of it plus counts of the model's resolution.
struct CheckLimits {
    std::optional<double> min, max;
    bool relative = false;
    double percent = 0;
    double counts = 0;
};

struct Judgement {
    double value = 0;
    std::optional<double> low, high; // in units; either may be absent
    bool passed = false;
};

// The mean, min or max of values (the mean for None); values is not empty.
double Summarize(const QVector<double> &values, Statistic statistic);

// The limits in units: min and max as written, or the band about setpoint.
void LimitsAbout(const CheckLimits &limits, double setpoint, double resolution, std::optional<double> &low,
                 std::optional<double> &high);

// value against low and high; a value at a limit passes.
Judgement JudgeValue(double value, std::optional<double> low, std::optional<double> high);

// A check of readings: their statistic against the limits about the setpoint.
Judgement JudgeReadings(const QVector<double> &values, Statistic statistic, double setpoint, double resolution,
                        const CheckLimits &limits);
