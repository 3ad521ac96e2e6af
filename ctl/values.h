#pragma once

#include "link/readingformat.h"
#include "link/setwrites.h"

#include <QString>

#include <cstdio>

// One line to stdout or stderr, flushed at once (a log read while it grows).
void PrintLine(std::FILE *stream, const QString &line);
// The time now as a reading's time is written.
QString TimeNow();
