#pragma once

#include <QByteArray>

// "01 03 10 00" -> the bytes 0x01 0x03 0x10 0x00.
QByteArray hex(const char *text);

// CRC-16/MODBUS computed bit by bit (reflected polynomial 0xA001, start
// 0xFFFF): a reference written out independently of the tool's table-driven
// ModbusCrc16.
quint16 referenceCrc(const QByteArray &bytes);

// The bytes with referenceCrc appended, low byte first.
QByteArray withCrc(QByteArray bytes);
