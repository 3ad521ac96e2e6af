#pragma once

// What a "set" of setpoints, limits and switches becomes on the wire: the
// register writes in the order they go out, each value converted and checked
// against the model. psuctl set, its MQTT bridge and the plan engine all write
// through this, so a value is refused or rounded the same way everywhere.

#include <QString>
#include <QStringList>
#include <QVector>
#include <optional>

struct ModelEntry;

// A value in volts, amperes or watts as it goes into a register: value x
// scale, capped at limit before rounding, rounded half to even (the sequence
// runner's arithmetic). value is not negative. note says what became of the
// value when it was capped or rounded, and is empty when it went in exactly.
struct Setpoint {
    quint16 raw = 0;
    QString note;
};
Setpoint ConvertSetpoint(double value, quint16 scale, quint16 limit, int decimals, const char *unit);

// A number as typed ("12.5", "-1"), without trailing zeros.
QString PlainNumber(double value);

// "0x100A": a register or a value as the messages write it.
QString HexWord(int value);

// "VoltageSetpoint (0x1000)", or "VoltageSetpoint..OutputSwitch (0x1000-0x1004)"
// for a span of registers.
QString RegisterText(quint16 start, int count = 1);

// The values set writes, in units; each as given, not yet checked against the model.
struct SetValues {
    std::optional<double> voltage, current, ovp, ocp, power;
    std::optional<bool> output, lock, powerControl, pid;

    bool inUnits() const { return voltage || current || ovp || ocp; }
    bool any() const { return inUnits() || power || output || lock || powerControl || pid; }
};

// Why ovp cannot be an over-voltage limit of model ("0.01: below two steps of
// 0.01 V, ..."), or an empty string: 0 and 1 in OverVoltageLimit switch power
// control instead. The caller puts the value's name in front.
QString OvpRefusal(double ovp, const ModelEntry &model);

// Why a negative value of one of SetValues' numbers (named as its member:
// "voltage", "ocp", "power") cannot be written, with what the model takes
// instead: "negative; QELT30-05 takes 0 to 31.00 V (more is capped at its
// limit)". model may be nullptr when none was given. The caller puts the
// value's name and the value in front.
QString NegativeValueRefusal(const QString &name, const ModelEntry *model);

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

// Whether held, read back after write, is what was written (the output
// switch counts its low byte only).
bool HeldAsWritten(const SetWrite &write, quint16 held);

// "address 5: OutputSwitch (0x1004) holds 0 after the write of 1 (on)".
QString ReadBackText(int address, const SetWrite &write, quint16 held);
