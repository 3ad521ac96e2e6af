#pragma once

#include <QString>

// Where the bytes of a line go: a serial device, or a server on the network
// that carries them. "tcp://HOST:PORT" is a Modbus TCP server (a gateway, or
// psuctl serve): each request travels with an MBAP header instead of its CRC.
// "rtu+tcp://HOST:PORT" is a transparent serial server: the RTU frames go
// over the socket byte for byte, CRC and all.
struct LinkAddress {
    enum Kind { Serial, ModbusTcp, RtuOverTcp };
    Kind kind = Serial;
    QString host; // a name or a numeric address; IPv6 written in brackets
    quint16 port = 0;

    bool isNetwork() const { return kind != Serial; }
    // "tcp://bench-7.lab:502", as it is written on a command line.
    QString text() const;
};

// Whether text names a network link at all (it starts with tcp:// or
// rtu+tcp://), whatever follows.
bool IsNetworkAddress(const QString &text);

// Reads "tcp://HOST:PORT" or "rtu+tcp://HOST:PORT" (the scheme in either
// case; "[::1]:502" for IPv6). False, with why set ("the port is missing",
// ...), when text is not a whole network address.
bool ParseLinkAddress(const QString &text, LinkAddress *address, QString *why);
