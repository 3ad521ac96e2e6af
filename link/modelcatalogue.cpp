#include "link/modelcatalogue.h"

#include <cmath>

// Several limits lie a little above the nominal range of the model name, and
// the 1000 V models stop at 9999 (999.9 V), the largest four-digit value.
const std::array<ModelEntry, ModelCount> ModelCatalogue = {{
    {"QELT30-05", 3100, 5100, 100, 1000, 2, 3},
    {"QELT15-20", 1500, 2000, 100, 100, 2, 2},
    {"QELT30-10", 3100, 1050, 100, 100, 2, 2},
    {"QELT30-20", 3100, 2100, 100, 100, 2, 2},
    {"QELT36-03", 3700, 3100, 100, 1000, 2, 3},
    {"QELT60-02", 6100, 2100, 100, 1000, 2, 3},
    {"QELT60-05", 6100, 5050, 100, 1000, 2, 3},
    {"QELT60-10", 6100, 1000, 100, 100, 2, 2},
    {"QELT60-15", 6100, 1500, 100, 100, 2, 2},
    {"QELT100-05", 1000, 5000, 10, 1000, 1, 3},
    {"QELT100-06", 1000, 6000, 10, 1000, 1, 3},
    {"QELT100-9999", 1000, 9999, 10, 1000, 1, 3},
    {"QELT100-10", 1000, 1000, 10, 100, 1, 2},
    {"QELT120-01", 1210, 1100, 10, 1000, 1, 3},
    {"QELT120-03", 1210, 3050, 10, 1000, 1, 3},
    {"QELT120-05", 1200, 5000, 10, 1000, 1, 3},
    {"QELT120-06", 1200, 6000, 10, 1000, 1, 3},
    {"QELT120-08", 1200, 8000, 10, 1000, 1, 3},
    {"QELT200-01", 2010, 1050, 10, 1000, 1, 3},
    {"QELT200-02", 2010, 2050, 10, 1000, 1, 3},
    {"QELT200-03", 2000, 3000, 10, 1000, 1, 3},
    {"QELT200-05", 2000, 5000, 10, 1000, 1, 3},
    {"QELT300-01", 3000, 1000, 10, 1000, 1, 3},
    {"QELT300-02", 3000, 2000, 10, 1000, 1, 3},
    {"QELT300-03", 3000, 3000, 10, 1000, 1, 3},
    {"QELT400-01", 4010, 1050, 10, 1000, 1, 3},
    {"QELT400-02", 4000, 2000, 10, 1000, 1, 3},
    {"QELT500-01", 5000, 1000, 10, 1000, 1, 3},
    {"QELT500-02", 5000, 2000, 10, 1000, 1, 3},
    {"QELT600-01", 6000, 1000, 10, 1000, 1, 3},
    {"QELT600-015", 6000, 1500, 10, 1000, 1, 3},
    {"QELT1000-001", 9999, 1000, 10, 1000, 1, 3},
    {"QELT1000-002", 9999, 2000, 10, 1000, 1, 3},
    {"QELT1000-003", 9999, 3000, 10, 1000, 1, 3},
    {"QELT1000-1A", 9999, 9999, 10, 1000, 1, 3},
}};

QString ModelName;
quint16 VoltageLimit = 0;
quint16 CurrentLimit = 0;
quint16 VoltageScale = 0;
quint16 CurrentScale = 0;
int VoltageDecimals = 0;
int CurrentDecimals = 0;

namespace {

ModelObserver g_observer;

double roundHalfToEven(double x)
{
    const double below = std::floor(x);
    const double fraction = x - below;
    if (fraction > 0.5)
        return below + 1;
    if (fraction < 0.5)
        return below;
    return std::fmod(below, 2.0) == 0.0 ? below : below + 1;
}

} // namespace

const ModelEntry *FindModel(int item)
{
    if (item < 1 || item > ModelCount)
        return nullptr;
    return &ModelCatalogue[size_t(item - 1)];
}

int ModelItemFromText(const QString &text)
{
    bool ok = false;
    const int number = text.toInt(&ok);
    if (ok)
        return FindModel(number) ? number : 0;
    for (int k = 1; k <= ModelCount; ++k) {
        if (text.compare(QLatin1String(ModelCatalogue[size_t(k - 1)].caption), Qt::CaseInsensitive) == 0)
            return k;
    }
    return 0;
}

void SetModelObserver(ModelObserver observer)
{
    g_observer = std::move(observer);
}

void SelectModel(int item)
{
    const ModelEntry *entry = FindModel(item);
    if (!entry)
        return;
    ModelName = QString::fromLatin1(entry->caption);
    VoltageLimit = entry->voltageLimit;
    CurrentLimit = entry->currentLimit;
    VoltageScale = entry->voltageScale;
    CurrentScale = entry->currentScale;
    VoltageDecimals = entry->voltageDecimals;
    CurrentDecimals = entry->currentDecimals;
    if (g_observer)
        g_observer(ModelName);
}

void ClearActiveModel()
{
    ModelName.clear();
    VoltageLimit = CurrentLimit = VoltageScale = CurrentScale = 0;
    VoltageDecimals = CurrentDecimals = 0;
    if (g_observer)
        g_observer(QString());
}

int RawFromDigits(const QList<int> &digits)
{
    int value = 0;
    for (const int digit : digits)
        value = value * 10 + digit;
    return value;
}

quint16 CapRaw(int value, quint16 cap)
{
    return quint16(value > cap ? cap : value);
}

quint16 ScaledSetpoint(double value, quint16 scale, quint16 limit)
{
    double product = value * scale;
    // The cap is tested on the exact product, so any excess gives the limit itself.
    if (product > limit)
        product = limit;
    // The registers are unsigned: a negative entry switches the setpoint to 0.
    if (!(product > 0))
        return 0;
    return quint16(roundHalfToEven(product));
}
