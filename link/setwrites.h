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

// The range a value of set (named as SetValues' member: "voltage", "current",
// "ovp", "ocp", "power") may take on model, in units: voltage and ovp up to the
// model's voltage limit, current and ocp up to its current limit, power up to
// 650.00 W on every model; ovp from two steps of the resolution (0 and 1 in
// OverVoltageLimit switch power control), every other from 0. text: "0.02 to
// 31.00 V". Without a model (nullptr) a value other than power has no upper
// bound.
struct ValueRange {
    double low = 0;
    double high = 0;
    QString unit;
    QString text;
};
ValueRange SetValueRange(const QString &name, const ModelEntry *model);

// Why value cannot be written as name on model ("40 V is outside 0.02 to
// 31.00 V, the ovp range of QELT30-05"), or an empty string. Plans, set and
// the bridge refuse by it alike; the caller puts the value's name in front.
QString RangeRefusal(const QString &name, double value, const ModelEntry *model);

// One register write of set, with what to expect when it is read back.
struct SetWrite {
    quint16 reg;
    quint16 value;
    QString shown;   // the value in units, for messages
    bool readBack;
};

// The writes of values in the order they go out (an output switched off first,
// one switched on last, after the setpoints), and a note for each value that
// was rounded ("CurrentSetpoint (0x1001): 1.2345 A is not a whole number of
// 0.001 A steps; sending 1.234 A"). The values are within RangeRefusal's
// ranges; one beyond is sent as the limit.
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
