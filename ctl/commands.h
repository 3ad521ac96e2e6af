#pragma once

#include <QStringList>
#include <cstdio>

struct Invocation;

// psuctl as a whole: parses arguments (without the program name), runs the
// command, prints its output on out and its notes and errors on err, and
// returns the exit status.
int RunPsuctl(const QStringList &arguments, std::FILE *out = stdout, std::FILE *err = stderr);

// The commands of the command table: each runs with its options read and
// checked, prints on out and err, and returns its exit status or raises CtlError.
int RunModels(const Invocation &inv, std::FILE *out, std::FILE *err);
int RunScan(const Invocation &inv, std::FILE *out, std::FILE *err);
int RunStatus(const Invocation &inv, std::FILE *out, std::FILE *err);
int RunSet(const Invocation &inv, std::FILE *out, std::FILE *err);
int RunSteps(const Invocation &inv, std::FILE *out, std::FILE *err);
int RunCalibrate(const Invocation &inv, std::FILE *out, std::FILE *err);
int RunTest(const Invocation &inv, std::FILE *out, std::FILE *err);
int RunHistory(const Invocation &inv, std::FILE *out, std::FILE *err);

// Their checks of options that go together, before anything is sent.
void CheckScan(const Invocation &inv);
void CheckStatus(const Invocation &inv);
void CheckSet(const Invocation &inv);
void CheckCalibrate(const Invocation &inv);
void CheckTest(const Invocation &inv);

// calibrate --auto (ctl/calibratecommand.cpp), and the calibrations of a
// serial number that history lists after its runs.
void CheckAutoCalibrate(const Invocation &inv);
int RunAutoCalibrate(const Invocation &inv, std::FILE *out, std::FILE *err);
void PrintCalibrationHistory(std::FILE *out, const QString &database, const QString &serial);
