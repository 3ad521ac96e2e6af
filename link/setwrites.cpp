#include "link/setwrites.h"

#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/readingformat.h"
#include "link/replies.h"

#include <cmath>

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
    return {reg, setpoint.raw, FormatScaled(setpoint.raw, scale, decimals) + QLatin1Char(' ') + QLatin1String(unit),
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
    const QString sent = FormatScaled(setpoint.raw, scale, decimals) + QLatin1Char(' ') + QLatin1String(unit);
    const QString given = PlainNumber(value) + QLatin1Char(' ') + QLatin1String(unit);
    const double product = value * scale;
    if (product > limit)
        setpoint.note = QStringLiteral("%1 is above the limit of %2; sending %2").arg(given, sent);
    else if (std::fabs(product - setpoint.raw) > 1e-6)
        setpoint.note = QStringLiteral("%1 is not a whole number of %2 %3 steps; sending %4")
                            .arg(given, FormatScaled(1, scale, decimals), QLatin1String(unit), sent);
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

QString OvpRefusal(double ovp, const ModelEntry &model)
{
    if (ScaledSetpoint(ovp, model.voltageScale, 0xFFFF) >= 2)
        return QString();
    return QStringLiteral("%1: below two steps of %2 V, which OverVoltageLimit (0x100A) takes as power control")
        .arg(PlainNumber(ovp), FormatScaled(1, model.voltageScale, model.voltageDecimals));
}

QString NegativeValueRefusal(const QString &name, const ModelEntry *model)
{
    QString span;
    if (name == QLatin1String("power"))
        span = QStringLiteral("0 to %1 W").arg(FormatScaled(PowerSetpointLimit, PowerScale, PowerDecimals));
    else if (!model)
        return QStringLiteral("negative; a supply takes 0 up to its model's limit (-m)");
    else if (name == QLatin1String("voltage") || name == QLatin1String("ovp"))
        span = QStringLiteral("0 to %1 V").arg(FormatScaled(model->voltageLimit, model->voltageScale, model->voltageDecimals));
    else
        span = QStringLiteral("0 to %1 A").arg(FormatScaled(model->currentLimit, model->currentScale, model->currentDecimals));
    return QStringLiteral("negative; %1 takes %2 (more is capped at its limit)")
        .arg(model ? QLatin1String(model->caption) : QLatin1String("a supply"), span);
}

SetPlan PlanSet(const SetValues &values, const ModelEntry *m)
{
    SetPlan plan;
    if (values.output && !*values.output)
        plan.writes << switchWrite(OutputSwitch, false, 1, 0, true);
    if (values.ovp)
        plan.writes << setpointWrite(plan, OverVoltageLimit, *values.ovp, m->voltageScale, 0xFFFF, m->voltageDecimals, "V");
    if (values.ocp)
        plan.writes << setpointWrite(plan, OverCurrentLimit, *values.ocp, m->currentScale, 0xFFFF, m->currentDecimals, "A");
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
