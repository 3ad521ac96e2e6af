#include "plan/judging.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

const char *const kQuantityNames[] = {"voltage", "current", "power",       "charge",
                                      "energy",  "duration", "settle_time", "trip_time"};
const char *const kQuantityUnits[] = {"V", "A", "W", "Ah", "Wh", "s", "s", "s"};
const char *const kStatisticNames[] = {"", "mean", "min", "max"};

} // namespace

QString QuantityName(Quantity quantity)
{
    return QLatin1String(kQuantityNames[int(quantity)]);
}

std::optional<Quantity> QuantityFromName(const QString &name)
{
    for (int q = 0; q < int(std::size(kQuantityNames)); ++q) {
        if (name == QLatin1String(kQuantityNames[q]))
            return Quantity(q);
    }
    return std::nullopt;
}

QString QuantityUnit(Quantity quantity)
{
    return QLatin1String(kQuantityUnits[int(quantity)]);
}

QString StatisticName(Statistic statistic)
{
    return QLatin1String(kStatisticNames[int(statistic)]);
}

std::optional<Statistic> StatisticFromName(const QString &name)
{
    for (int s = 1; s < int(std::size(kStatisticNames)); ++s) {
        if (name == QLatin1String(kStatisticNames[s]))
            return Statistic(s);
    }
    return std::nullopt;
}

double Summarize(const QVector<double> &values, Statistic statistic)
{
    switch (statistic) {
    case Statistic::Min:
        return *std::min_element(values.begin(), values.end());
    case Statistic::Max:
        return *std::max_element(values.begin(), values.end());
    case Statistic::None:
    case Statistic::Mean:
        break;
    }
    return std::accumulate(values.begin(), values.end(), 0.0) / values.size();
}

void LimitsAbout(const CheckLimits &limits, double setpoint, double resolution, std::optional<double> &low,
                 std::optional<double> &high)
{
    low = limits.min;
    high = limits.max;
    if (limits.relative) {
        const double band = setpoint * limits.percent / 100.0 + limits.counts * resolution;
        low = setpoint - band;
        high = setpoint + band;
    }
}

Judgement JudgeValue(double value, std::optional<double> low, std::optional<double> high)
{
    // A value at a limit passes: the tolerance is far below any resolution,
    // there only so that decimal limits and binary readings meet.
    const double slack = 1e-9 * qMax(1.0, std::fabs(value));
    return {value, low, high, (!low || value >= *low - slack) && (!high || value <= *high + slack)};
}

Judgement JudgeReadings(const QVector<double> &values, Statistic statistic, double setpoint, double resolution,
                        const CheckLimits &limits)
{
    std::optional<double> low, high;
    LimitsAbout(limits, setpoint, resolution, low, high);
    return JudgeValue(Summarize(values, statistic), low, high);
}
