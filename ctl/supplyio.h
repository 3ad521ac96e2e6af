#pragma once

#include "ctl/values.h"

#include <QHash>
#include <QString>
#include <QVariant>
#include <QStringList>
#include <QVector>
#include <optional>

class RtuMaster;
struct ModelEntry;

// One status reading of the supply at address: VoltageSetpoint..OutputSwitch
// and OutputPower, two requests.
StatusSample ReadStatusSample(RtuMaster &master, int address, const ModelEntry &model);

// The values set writes, in units; each as given, not yet checked against the model.
struct SetValues {
    std::optional<double> voltage, current, ovp, ocp, power;
    std::optional<bool> output, lock, powerControl, pid;

    bool inUnits() const { return voltage || current || ovp || ocp; }
    bool any() const { return inUnits() || power || output || lock || powerControl || pid; }
};

// The values named in options as the option table converts them ("voltage"
// -> 12.5, "output" -> true, ...); other names are passed over.
SetValues SetValuesFrom(const QHash<QString, QVariant> &options);

// Why ovp cannot be an over-voltage limit of model ("0.01: below two steps of
// 0.01 V, ..."), or an empty string: 0 and 1 in OverVoltageLimit switch power
// control instead. The caller puts the value's name in front.
QString OvpRefusal(double ovp, const ModelEntry &model);

// One register write of set, with what to expect when it is read back.
struct SetWrite {
    quint16 reg;
    quint16 value;
    QString shown;   // the value in units, for messages
    bool readBack;
};

// The writes of values in the order they go out (an output switched off first,
// one switched on last, after the setpoints), and a note for each value that
// was capped or rounded ("OverVoltageLimit (0x100A): 40 V is above ...").
struct SetPlan {
    QVector<SetWrite> writes;
    QStringList notes;
};
SetPlan PlanSet(const SetValues &values, const ModelEntry *model);

// Writes one value and, where it can be, reads it back; raises CtlError
// (ExitReadBack) when the supply holds something else.
void WriteAndCheck(RtuMaster &master, int address, const SetWrite &write);
