#pragma once

#include <QList>
#include <QString>
#include <array>
#include <functional>

// One supply model: its menu caption (also its name), the largest raw
// setpoints the tool sends, the raw counts per volt and per ampere, and how
// many decimals its readings show (a reading has four digits in all).
struct ModelEntry {
    const char *caption;
    quint16 voltageLimit;
    quint16 currentLimit;
    quint16 voltageScale;
    quint16 currentScale;
    int voltageDecimals;
    int currentDecimals;
};

constexpr int ModelCount = 35;
extern const std::array<ModelEntry, ModelCount> ModelCatalogue;

// The catalogue entry for a menu number (1..ModelCount); nullptr when there
// is none.
const ModelEntry *FindModel(int item);

// Menu number (from 1) of a model given by its caption (any case) or its
// number; 0 when there is none.
int ModelItemFromText(const QString &text);

// The active model, written only by SelectModel and ClearActiveModel and read
// by every window at the moment of use. Empty name and zeros until the
// operator picks a model.
extern QString ModelName;
extern quint16 VoltageLimit;
extern quint16 CurrentLimit;
extern quint16 VoltageScale;
extern quint16 CurrentScale;
extern int VoltageDecimals;
extern int CurrentDecimals;

// Called with the caption of the model just made active (empty when none is),
// after the active model's fields have been written.
using ModelObserver = std::function<void(const QString &caption)>;
void SetModelObserver(ModelObserver observer);

// Makes catalogue entry number item (counted from 1, as in the menu) the
// active model and tells the observer; other numbers change nothing.
void SelectModel(int item);

// Back to the start-up state (no model).
void ClearActiveModel();

// Power is the same on every model: the registers count hundredths of a watt,
// and a power setpoint goes out as 65000 (650.00 W) at the most.
constexpr quint16 PowerScale = 100;
constexpr int PowerDecimals = 2;
constexpr quint16 PowerSetpointLimit = 65000;

// A row of decimal digits read left to right as one number.
int RawFromDigits(const QList<int> &digits);

// Raw setpoints above the model's cap are sent as the cap; others unchanged.
quint16 CapRaw(int value, quint16 cap);

// A setpoint in volts or amperes turned into the raw register value:
// value x scale, capped at limit before rounding, rounded half to even; a
// negative entry gives 0.
quint16 ScaledSetpoint(double value, quint16 scale, quint16 limit);
