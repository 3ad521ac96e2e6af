#pragma once

#include "link/reading.h"

#include <QDateTime>
#include <QString>

enum class ReadingFormat { Table, Csv, Json };

// A reading's time as psuctl and the recorder write it: ISO 8601 with
// milliseconds and the local offset from UTC ("2026-01-05T22:00:00.013+08:00").
QString IsoTime(const QDateTime &time);

// The line before the first reading (none for JSON), without newline.
QString ReadingHeader(ReadingFormat format);
// One reading on one line, without newline. The reading must be scaled.
QString FormatReading(const Reading &reading, ReadingFormat format);
