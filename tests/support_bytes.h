#pragma once

#include <QByteArray>

// "01 03 10 00" -> the bytes 0x01 0x03 0x10 0x00.
QByteArray hex(const char *text);

// Appends the CRC-16/MODBUS computed bit by bit, low byte first: a reference
// written out independently of the tool's table-driven frame builders.
QByteArray withCrc(QByteArray bytes);
