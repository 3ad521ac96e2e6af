#pragma once

#include "link/replies.h"

#include <QDateTime>
#include <QString>

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

// raw / scale with decimals places: "12.00", "1.500".
QString FormatScaled(quint16 raw, quint16 scale, int decimals);

// A number as typed ("12.5", "-1"), without trailing zeros.
QString PlainNumber(double value);

// One status reading of a supply.
struct StatusSample {
    QDateTime time;
    int address = 0;
    const ModelEntry *model = nullptr;
    StatusBlock status = {};
    quint16 power = 0; // hundredths of a watt
};

enum class ReadingFormat { Table, Csv, Json };

// The line before the first reading (none for JSON), without newline.
QString ReadingHeader(ReadingFormat format);
// One reading on one line, without newline.
QString FormatReading(const StatusSample &reading, ReadingFormat format);
