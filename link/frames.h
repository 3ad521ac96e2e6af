#pragma once

#include <QByteArray>
#include <QVector>
#include <cstdint>

// Register map of the supplies: every register lies in the 0x1000 block.
constexpr quint16 VoltageSetpoint   = 0x1000;
constexpr quint16 CurrentSetpoint   = 0x1001;
constexpr quint16 OutputVoltage     = 0x1002;
constexpr quint16 OutputCurrent     = 0x1003;
constexpr quint16 OutputSwitch      = 0x1004;
constexpr quint16 BusAddress        = 0x1005;
constexpr quint16 KeyLock           = 0x1006;
constexpr quint16 PowerSetpoint     = 0x1007;
constexpr quint16 OutputPower       = 0x1008;
constexpr quint16 OverVoltageLimit  = 0x100A;
constexpr quint16 OverCurrentLimit  = 0x100B;
constexpr quint16 CurrentCorrection = 0x1019;
constexpr quint16 VoltageCorrection = 0x101A;

constexpr quint8 FunctionReadHolding  = 0x03;
constexpr quint8 FunctionWriteMultiple = 0x10;

// CRC-16/MODBUS: polynomial 0xA001 (reflected 0x8005), initial value 0xFFFF,
// no final XOR. On the wire the CRC follows the payload low byte first, while
// register addresses, quantities and values travel high byte first.
quint16 ModbusCrc16(const char *data, qsizetype size);
quint16 ModbusCrc16(const QByteArray &bytes);

// Appends the CRC of everything in frame, low byte first.
void AppendCrc(QByteArray &frame);

// Read holding registers (0x03), 8 bytes. Only the low 8 bits of address are used.
QByteArray BuildReadRequest(int address, quint16 startRegister, quint16 quantity);

// Write multiple registers (0x10), 9 + 2*N bytes.
QByteArray BuildWriteRequest(int address, quint16 startRegister, const QVector<quint16> &values);

// The single-register write that every command of the tool uses (11 bytes).
QByteArray BuildWriteSingle(int address, quint16 reg, quint16 value);

// Register value at byte offset, high byte first.
inline quint16 RegisterAt(const QByteArray &reply, int offset)
{
    return quint16((quint8(reply.at(offset)) << 8) | quint8(reply.at(offset + 1)));
}

// The correction codes of VoltageCorrection (base 10) and CurrentCorrection
// (base 100): a signed correction n as one byte, 0..N for 0..+N and N+1..2N
// for -1..-N.
constexpr int VoltageCorrectionBase = 10;
constexpr int CurrentCorrectionBase = 100;
// The code of correction n with base N; anything past 2N is 0.
quint8 CorrectionCode(int correction, int base);
// The signed correction a code carries (codes past 2N carry 0).
int CorrectionOfCode(int code, int base);
