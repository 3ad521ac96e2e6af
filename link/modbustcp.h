#pragma once

#include <QByteArray>
#include <QString>

// Modbus TCP framing, the one codec of the tool, the master and serve: the
// MBAP header (transaction id, protocol 0, the count of the bytes that
// follow, the unit), all high byte first, then the PDU (function and data).
// The RTU frame of the same request is the unit, the PDU and the CRC, so the
// one turns into the other by the header and the CRC alone.

constexpr int MbapHeaderSize = 7;
// The largest PDU of a Modbus frame, and so the largest MBAP length field (+1).
constexpr int MbapMaxPdu = 253;

// One Modbus TCP frame, taken apart.
struct MbapFrame {
    quint16 transaction = 0;
    quint8 unit = 0;
    QByteArray pdu; // function code and data
};

// The bytes of a frame.
QByteArray MbapBytes(quint16 transaction, quint8 unit, const QByteArray &pdu);

// How many bytes the MBAP frame at the start of buffer takes: 0 while more
// bytes are needed to know, -1 as soon as the bytes there show it is no
// Modbus TCP frame (a protocol other than 0 once four bytes are in, a length
// outside 2..254 once six are).
int MbapFrameLength(const QByteArray &buffer);

enum class MbapCut {
    Incomplete, // more bytes to come
    Frame,      // one frame taken off the front of the buffer
    Junk        // not Modbus TCP: nothing in the buffer can be framed
};
// Takes the first whole frame off the front of buffer into frame.
MbapCut CutMbapFrame(QByteArray &buffer, MbapFrame &frame);

inline quint16 MbapTransaction(const QByteArray &mbap)
{
    return quint16((quint8(mbap.at(0)) << 8) | quint8(mbap.at(1)));
}

// The MBAP frame of an RTU request (its CRC dropped, not checked). Empty when
// the frame is too short to hold an address, a function and a CRC, or its
// PDU too long for Modbus.
QByteArray MbapFromRtu(const QByteArray &rtu, quint16 transaction);

// The RTU frame a whole MBAP frame stands for: its unit, its PDU and a CRC
// made for them.
QByteArray RtuFromMbap(const QByteArray &mbap);

// The length of the RTU reply whose first bytes are head, as far as they
// tell: 5 for an exception, 5 plus the byte count for a read, 8 for a write's
// acknowledgement; 0 while more bytes are needed to know, -1 for a function
// a supply never answers with.
int RtuReplyLength(const QByteArray &head);
