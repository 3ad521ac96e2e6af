#include "link/modbustcp.h"

#include "link/frames.h"

namespace {

quint16 wordAt(const QByteArray &bytes, int at)
{
    return quint16((quint8(bytes.at(at)) << 8) | quint8(bytes.at(at + 1)));
}

void appendWord(QByteArray &bytes, quint16 word)
{
    bytes.append(char(word >> 8)).append(char(word & 0xFF));
}

} // namespace

QByteArray MbapBytes(quint16 transaction, quint8 unit, const QByteArray &pdu)
{
    QByteArray frame;
    frame.reserve(MbapHeaderSize + pdu.size());
    appendWord(frame, transaction);
    appendWord(frame, 0);
    appendWord(frame, quint16(pdu.size() + 1)); // the unit and the PDU
    frame.append(char(unit));
    return frame + pdu;
}

int MbapFrameLength(const QByteArray &buffer)
{
    if (buffer.size() >= 4 && wordAt(buffer, 2) != 0)
        return -1;
    if (buffer.size() < 6)
        return 0;
    const int following = wordAt(buffer, 4);
    if (following < 2 || following > MbapMaxPdu + 1)
        return -1;
    return 6 + following;
}

MbapCut CutMbapFrame(QByteArray &buffer, MbapFrame &frame)
{
    const int length = MbapFrameLength(buffer);
    if (length < 0)
        return MbapCut::Junk;
    if (length == 0 || buffer.size() < length)
        return MbapCut::Incomplete;
    frame.transaction = MbapTransaction(buffer);
    frame.unit = quint8(buffer.at(6));
    frame.pdu = buffer.mid(MbapHeaderSize, length - MbapHeaderSize);
    buffer.remove(0, length);
    return MbapCut::Frame;
}

QByteArray MbapFromRtu(const QByteArray &rtu, quint16 transaction)
{
    if (rtu.size() < 4 || rtu.size() - 3 > MbapMaxPdu)
        return QByteArray();
    return MbapBytes(transaction, quint8(rtu.at(0)), rtu.mid(1, rtu.size() - 3));
}

QByteArray RtuFromMbap(const QByteArray &mbap)
{
    QByteArray rtu = mbap.mid(6);
    AppendCrc(rtu);
    return rtu;
}

int RtuReplyLength(const QByteArray &head)
{
    if (head.size() < 2)
        return 0;
    const quint8 function = quint8(head.at(1));
    if (function & 0x80)
        return 5;
    if (function == FunctionWriteMultiple)
        return 8;
    if (function != FunctionReadHolding)
        return -1;
    if (head.size() < 3)
        return 0;
    return 5 + quint8(head.at(2));
}
