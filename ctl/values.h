#pragma once

#include "link/readingformat.h"

#include <QString>

#include <cstdio>

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

// One line to stdout or stderr, flushed at once (a log read while it grows).
void PrintLine(std::FILE *stream, const QString &line);
// The time now as a reading's time is written.
QString TimeNow();
