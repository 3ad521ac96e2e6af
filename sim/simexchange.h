#pragma once

#include "sim/simsupply.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// What the supplies on the bus make of one request: the bytes that go back on
// the line and a note for the bus's record. Pacing, delays, stray bytes and
// floods are the bus's business; this is only what is answered.
struct SimAnswer {
    // The reply as the line carries it, CRC included (spoilt when a fault says
    // so, two replies merged when two supplies drive the line); empty when
    // nothing is sent.
    QByteArray reply;
    // "answered", "exception 02", "CRC error", "no such address" or
    // "broadcast", with ", reply dropped", ", CRC spoilt" or ", collision"
    // after it; the notes of several answering supplies joined by "; ".
    QString note;
    bool collision = false;
    // The faults of the one supply that answers: how its reply goes out.
    SimFaults faults;
};

// Carries out request (a whole frame as it came off the line, address to CRC)
// on the supplies it addresses: none for a wrong CRC, every one for a
// broadcast (address 0, never answered). The supplies keep what it changed,
// their fault shares advanced. No I/O and no clock.
SimAnswer AnswerRequest(const QByteArray &request, QVector<SimSupply> &supplies);
