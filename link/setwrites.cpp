#include "link/setwrites.h"

#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/reading.h"
#include "link/replies.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const char *registerName(quint16 reg)
{
    switch (reg) {
    case VoltageSetpoint: return "VoltageSetpoint";
    case CurrentSetpoint: return "CurrentSetpoint";
    case OutputVoltage: return "OutputVoltage";
    case OutputCurrent: return "OutputCurrent";
    case OutputSwitch: return "OutputSwitch";
    case BusAddress: return "BusAddress";
    case KeyLock: return "KeyLock";
    case PowerSetpoint: return "PowerSetpoint";
    case OutputPower: return "OutputPower";
    case OverVoltageLimit: return "OverVoltageLimit";
    case OverCurrentLimit: return "OverCurrentLimit";
    case CurrentCorrection: return "CurrentCorrection";
    case VoltageCorrection: return "VoltageCorrection";
    default: return "register";
    }
}

SetWrite setpointWrite(SetPlan &plan, quint16 reg, double value, quint16 scale, quint16 limit, int decimals,
                       const char *unit)
{
    const Setpoint setpoint = ConvertSetpoint(value, scale, limit, decimals, unit);
    if (!setpoint.note.isEmpty())
        plan.notes << RegisterText(reg) + QStringLiteral(": ") + setpoint.note;
    return {reg, setpoint.raw, Resolution{scale, decimals}.countsText(setpoint.raw) + QLatin1Char(' ') + QLatin1String(unit),
            true};
}

SetWrite switchWrite(quint16 reg, bool on, quint16 onValue, quint16 offValue, bool readBack)
{
    return {reg, on ? onValue : offValue, on ? QStringLiteral("on") : QStringLiteral("off"), readBack};
}

} // namespace

Setpoint ConvertSetpoint(double value, quint16 scale, quint16 limit, int decimals, const char *unit)
{
    Setpoint setpoint;
    setpoint.raw = ScaledSetpoint(value, scale, limit);
    const Resolution resolution{scale, decimals};
    const QString sent = resolution.countsText(setpoint.raw) + QLatin1Char(' ') + QLatin1String(unit);
    const QString given = PlainNumber(value) + QLatin1Char(' ') + QLatin1String(unit);
    const double product = value * scale;
    if (product > limit)
        setpoint.note = QStringLiteral("%1 is above the limit of %2; sending %2").arg(given, sent);
    else if (std::fabs(product - setpoint.raw) > 1e-6)
        setpoint.note = QStringLiteral("%1 is not a whole number of %2 %3 steps; sending %4")
                            .arg(given, resolution.countsText(1), QLatin1String(unit), sent);
    return setpoint;
}

QString PlainNumber(double value)
{
    return QString::number(value, 'g', 12);
}

QString HexWord(int value)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

QString RegisterText(quint16 start, int count)
{
    if (count <= 1)
        return QStringLiteral("%1 (%2)").arg(QLatin1String(registerName(start)), HexWord(start));
    const quint16 last = quint16(start + count - 1);
    return QStringLiteral("%1..%2 (%3-%4)")
        .arg(QLatin1String(registerName(start)), QLatin1String(registerName(last)), HexWord(start), HexWord(last));
}

ValueRange SetValueRange(const QString &name, const ModelEntry *model)
{
    ValueRange range;
    quint16 scale = PowerScale, limit = PowerSetpointLimit, least = 0;
    int decimals = PowerDecimals;
    QLatin1String unit("W");
    const bool volts = name == QLatin1String("voltage") || name == QLatin1String("ovp");
    if (name != QLatin1String("power")) {
        unit = QLatin1String(volts ? "V" : "A");
        if (!model) {
            range.high = std::numeric_limits<double>::infinity();
            range.unit = unit;
            range.text = QStringLiteral("0 %1 up to the model's limit").arg(unit);
            return range;
        }
        scale = volts ? model->voltageScale : model->currentScale;
        limit = volts ? model->voltageLimit : model->currentLimit;
        decimals = volts ? model->voltageDecimals : model->currentDecimals;
        least = name == QLatin1String("ovp") ? 2 : 0;
    }
    range.low = double(least) / scale;
    range.high = double(limit) / scale;
    range.unit = unit;
    const Resolution resolution{scale, decimals};
    range.text = QStringLiteral("%1 to %2 %3").arg(resolution.countsText(least), resolution.countsText(limit), unit);
    return range;
}

QString RangeRefusal(const QString &name, double value, const ModelEntry *model)
{
    const ValueRange range = SetValueRange(name, model);
    // A decimal limit and its binary value meet within this.
    const double slack = 1e-9 * std::max(1.0, std::fabs(range.high));
    if (std::isfinite(value) && value >= range.low - slack && value <= range.high + slack)
        return QString();
    QString text = QStringLiteral("%1 %2 is outside %3, the %4 range of %5")
                       .arg(PlainNumber(value), range.unit, range.text, name,
                            model && name != QLatin1String("power") ? QString::fromLatin1(model->caption)
                                                                    : QStringLiteral("every model"));
    if (name == QLatin1String("ovp") && value < range.low)
        text += QStringLiteral(" (below two steps, which OverVoltageLimit (0x100A) takes as power control)");
    return text;
}

SetPlan PlanSet(const SetValues &values, const ModelEntry *m)
{
    SetPlan plan;
    if (values.output && !*values.output)
        plan.writes << switchWrite(OutputSwitch, false, 1, 0, true);
    if (values.ovp)
        plan.writes << setpointWrite(plan, OverVoltageLimit, *values.ovp, m->voltageScale, m->voltageLimit, m->voltageDecimals, "V");
    if (values.ocp)
        plan.writes << setpointWrite(plan, OverCurrentLimit, *values.ocp, m->currentScale, m->currentLimit, m->currentDecimals, "A");
    if (values.voltage)
        plan.writes << setpointWrite(plan, VoltageSetpoint, *values.voltage, m->voltageScale, m->voltageLimit,
                                     m->voltageDecimals, "V");
    if (values.current)
        plan.writes << setpointWrite(plan, CurrentSetpoint, *values.current, m->currentScale, m->currentLimit,
                                     m->currentDecimals, "A");
    if (values.power)
        plan.writes << setpointWrite(plan, PowerSetpoint, *values.power, PowerScale, PowerSetpointLimit, PowerDecimals, "W");
    if (values.powerControl)
        plan.writes << switchWrite(OverVoltageLimit, *values.powerControl, 1, 0, false);
    if (values.pid)
        plan.writes << switchWrite(OutputPower, *values.pid, 0, 1, false);
    if (values.lock)
        plan.writes << switchWrite(KeyLock, *values.lock, 1, 0, true);
    if (values.output && *values.output)
        plan.writes << switchWrite(OutputSwitch, true, 1, 0, true);
    return plan;
}

bool HeldAsWritten(const SetWrite &write, quint16 held)
{
    return write.reg == OutputSwitch ? OutputIsOn(held) == (write.value == 1) : held == write.value;
}

QString ReadBackText(int address, const SetWrite &write, quint16 held)
{
    return QStringLiteral("address %1: %2 holds %3 after the write of %4%5")
        .arg(address)
        .arg(RegisterText(write.reg))
        .arg(held)
        .arg(write.value)
        .arg(write.shown.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(write.shown));
}
