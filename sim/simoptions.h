#pragma once

#include "sim/simbus.h"
#include "sim/simline.h"

#include <QDate>
#include <QString>
#include <QStringList>
#include <QVector>

// How one simulated supply comes up: address, model, load, power-up state,
// measurement noise and faults.
struct SimSupplySetup {
    int address = 1;
    int modelItem = 1;
    double loadOhms = SimSupply::OpenCircuit;
    int noiseCounts = 0;
    bool preset = false;          // power-up setpoints given
    quint16 voltageSetpoint = 0;  // raw, as on the wire
    quint16 currentSetpoint = 0;
    bool outputOn = false;
    SimFaults faults;
};

// A whole bus as the command line describes it.
struct SimBusOptions {
    QString device;               // empty: a new pseudo-terminal
    QString link;                 // a symbolic link to create to the device, or empty
    LineSettings line;
    int turnaroundMs = 5;
    bool checkLineSpeed = true;
    bool verbose = false;
    QVector<SimSupplySetup> supplies;
    // The reference bench: a port of -1 is no instrument.
    QString meterHost = QStringLiteral("127.0.0.1");
    int meterPort = -1;
    QString loadHost = QStringLiteral("127.0.0.1");
    int loadPort = -1;
    double meterNoiseVolts = 20e-6;
    QDate meterDue;
};


// Parses psusim's command line (arguments without the program name).
// Returns an empty string on success, else what is wrong; "help" when -h was given.
QString ParseSimOptions(const QStringList &arguments, SimBusOptions *options);
QString SimOptionsHelp();

// Adds the supplies of the options to the bus and sets its line.
void ApplySimOptions(const SimBusOptions &options, SimBus &bus);

// One record entry as a line of text: time, direction, bytes, note.
QString FormatRecord(const SimFrameRecord &entry);
