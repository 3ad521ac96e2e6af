#include "link/modbustcp.h"

#include "link/frames.h"

QByteArray MbapFromRtu(const QByteArray &rtu, quint16 transaction)
{
    if (rtu.size() < 4 || rtu.size() - 3 > MbapMaxPdu)
        return QByteArray();
    const int following = int(rtu.size()) - 2; // the unit and the PDU
    QByteArray mbap;
    mbap.reserve(6 + following);
    mbap.append(char(transaction >> 8)).append(char(transaction & 0xFF));
    mbap.append('\0').append('\0');
    mbap.append(char(following >> 8)).append(char(following & 0xFF));
    mbap.append(rtu.constData(), following);
    return mbap;
}

int MbapFrameLength(const QByteArray &buffer)
{
    if (buffer.size() < MbapHeaderSize)
        return 0;
    const int protocol = (quint8(buffer.at(2)) << 8) | quint8(buffer.at(3));
    const int following = (quint8(buffer.at(4)) << 8) | quint8(buffer.at(5));
    if (protocol != 0 || following < 2 || following > MbapMaxPdu + 1)
        return -1;
    return 6 + following;
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
