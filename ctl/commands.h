#pragma once

#include <QStringList>
#include <cstdio>

// psuctl as a whole: parses arguments (without the program name), runs the
// command, prints its output on out and its notes and errors on err, and
// returns the exit status.
int RunPsuctl(const QStringList &arguments, std::FILE *out = stdout, std::FILE *err = stderr);
