#include "ctl/supplyio.h"

#include "master/ctlerror.h"
#include "master/rtumaster.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/replies.h"

#include <QDateTime>

namespace {

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

StatusSample ReadStatusSample(RtuMaster &master, int address, const ModelEntry &model)
{
    StatusSample reading;
    reading.time = QDateTime::currentDateTime();
    reading.address = address;
    reading.model = &model;
    reading.status = DecodeStatusRegisters(master.read(address, VoltageSetpoint, 5));
    reading.power = master.read(address, OutputPower, 1).first();
    return reading;
}

SetValues SetValuesFrom(const QHash<QString, QVariant> &options)
{
    SetValues values;
    const auto decimal = [&](const char *name, std::optional<double> &value) {
        if (options.contains(QLatin1String(name)))
            value = options.value(QLatin1String(name)).toDouble();
    };
    const auto onOff = [&](const char *name, std::optional<bool> &value) {
        if (options.contains(QLatin1String(name)))
            value = options.value(QLatin1String(name)).toBool();
    };
    decimal("voltage", values.voltage);
    decimal("current", values.current);
    decimal("ovp", values.ovp);
    decimal("ocp", values.ocp);
    decimal("power", values.power);
    onOff("output", values.output);
    onOff("lock", values.lock);
    onOff("power-control", values.powerControl);
    onOff("pid", values.pid);
    return values;
}

QString OvpRefusal(double ovp, const ModelEntry &model)
{
    if (ScaledSetpoint(ovp, model.voltageScale, 0xFFFF) >= 2)
        return QString();
    return QStringLiteral("%1: below two steps of %2 V, which OverVoltageLimit (0x100A) takes as power control")
        .arg(PlainNumber(ovp), FormatScaled(1, model.voltageScale, model.voltageDecimals));
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

void WriteAndCheck(RtuMaster &master, int address, const SetWrite &write)
{
    master.write(address, write.reg, {write.value});
    if (!write.readBack)
        return;
    const quint16 held = master.read(address, write.reg, 1).first();
    const bool same = write.reg == OutputSwitch ? OutputIsOn(held) == (write.value == 1) : held == write.value;
    if (!same)
        Fail(ExitReadBack, QStringLiteral("address %1: %2 holds %3 after the write of %4%5")
                               .arg(address)
                               .arg(RegisterText(write.reg))
                               .arg(held)
                               .arg(write.value)
                               .arg(write.shown.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(write.shown)));
}
