#pragma once

#include <QSerialPort>
#include <QString>

// The line parameters of a settings text "baud,parity,data,stop", for example
// "9600,n,8,1" or "4800,e,7,1.5". Parity is one letter: n (none), o (odd),
// e (even), m (mark) or s (space), in either case; data bits are 5 to 8; stop
// bits are written 1, 1.5 or 2. Blanks around each piece are ignored.
struct LineSettings {
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    // The stop bits as they are written in a settings text: "1", "1.5" or "2".
    QString stopBitsText() const;
    // The time of one character on the line in microseconds: start bit, data
    // bits, parity bit, stop bits.
    double charMicros() const;
};

// False, with *line untouched, when text is not a settings text.
bool ParseLineSettings(const QString &text, LineSettings *line);
