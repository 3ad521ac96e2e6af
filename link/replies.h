#pragma once

#include <QByteArray>
#include <QVector>

// What a collected reply is, told by its length and function code alone (the
// address, the request it answers and the CRC are not looked at).
enum class ReplyKind {
    Ignored,              // too short, another function, or a length no rule takes
    WriteAcknowledgement, // function 0x10, 7 bytes or more
    StatusBlock,          // function 0x03, 15 bytes or more: five registers from 0x1000
    SingleRegister,       // function 0x03, 7 to 9 bytes
};

ReplyKind ClassifyReply(const QByteArray &reply);

// Only the low byte of the output switch register counts: 1 is on, anything
// else off.
inline bool OutputIsOn(quint16 switchRegister)
{
    return (switchRegister & 0xFF) == 1;
}

// The five registers of a status block in raw counts.
struct StatusBlock {
    quint16 voltageSetpoint;
    quint16 currentSetpoint;
    quint16 outputVoltage;
    quint16 outputCurrent;
    bool outputOn;
};

// For a reply classified as StatusBlock.
StatusBlock DecodeStatusBlock(const QByteArray &reply);
// The same from the five register values, VoltageSetpoint first.
StatusBlock DecodeStatusRegisters(const QVector<quint16> &registers);

// For a reply classified as SingleRegister.
quint16 DecodeSingleRegister(const QByteArray &reply);
