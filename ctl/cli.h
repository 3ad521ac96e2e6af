#pragma once

#include "ctl/mqttbridge.h"
#include "ctl/rtumaster.h"
#include "ctl/values.h"

#include <QString>
#include <QStringList>
#include <optional>

// Everything a psuctl command line says, checked and converted. Parsing opens
// no port and sends nothing.
struct Invocation {
    LineOptions line;
    QString command;     // models, scan, status, set, run, calibrate, mqtt
    bool help = false;   // print the help of command (the general one when empty)
    bool version = false;

    int address = 0;
    int modelItem = 0;   // 0 when -m was not given

    int from = 1;        // scan
    int to = 247;

    int watchMs = 0;     // status: 0 without --watch
    int count = 0;       // 0: one reading, or endless with --watch
    ReadingFormat format = ReadingFormat::Table;

    std::optional<double> voltage, current, ovp, ocp, power; // set
    std::optional<bool> output, lock, powerControl, pid;
    std::optional<int> newAddress;

    QString stepsFile;   // run
    int cycles = 1;

    std::optional<int> voltageCode, currentCode; // calibrate

    BridgeOptions bridge; // mqtt
};

// Raises CtlError (ExitUsage) with a one-line message on anything it cannot take.
Invocation ParseArguments(const QStringList &arguments);

// The help of a command, or the general help for an empty one.
QString HelpText(const QString &command);
