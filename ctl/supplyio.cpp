#include "ctl/supplyio.h"

#include "master/ctlerror.h"
#include "master/rtumaster.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/replies.h"

#include <QDateTime>

Reading ReadStatusReading(RtuMaster &master, int address, const ModelEntry &model)
{
    const QDateTime time = QDateTime::currentDateTime();
    const StatusBlock block = DecodeStatusRegisters(master.read(address, VoltageSetpoint, 5));
    const quint16 power = master.read(address, OutputPower, 1).first();
    return DecodeReading(block, &model, address, time, power);
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

void WriteAndCheck(RtuMaster &master, int address, const SetWrite &write)
{
    master.write(address, write.reg, {write.value});
    if (!write.readBack)
        return;
    const quint16 held = master.read(address, write.reg, 1).first();
    if (!HeldAsWritten(write, held))
        Fail(ExitReadBack, ReadBackText(address, write, held));
}
