#include "link/frames.h"

namespace {

// Table-driven form of the bitwise CRC-16/MODBUS: entry b is the CRC update for
// one byte b with a zero register, so each byte costs one lookup and a shift.
struct CrcTable {
    quint16 entry[256];
    constexpr CrcTable() : entry()
    {
        for (int b = 0; b < 256; ++b) {
            quint16 crc = quint16(b);
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
            entry[b] = crc;
        }
    }
};

constexpr CrcTable kCrcTable;

void appendWord(QByteArray &frame, quint16 word)
{
    frame.append(char(word >> 8));
    frame.append(char(word & 0xFF));
}

QByteArray header(int address, quint8 function, quint16 startRegister, quint16 quantity)
{
    QByteArray frame;
    frame.reserve(16);
    frame.append(char(address & 0xFF));
    frame.append(char(function));
    appendWord(frame, startRegister);
    appendWord(frame, quantity);
    return frame;
}

} // namespace

quint16 ModbusCrc16(const char *data, qsizetype size)
{
    quint16 crc = 0xFFFF;
    for (qsizetype i = 0; i < size; ++i)
        crc = quint16((crc >> 8) ^ kCrcTable.entry[(crc ^ quint8(data[i])) & 0xFF]);
    return crc;
}

quint16 ModbusCrc16(const QByteArray &bytes)
{
    return ModbusCrc16(bytes.constData(), bytes.size());
}

void AppendCrc(QByteArray &frame)
{
    const quint16 crc = ModbusCrc16(frame);
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
}

QByteArray BuildReadRequest(int address, quint16 startRegister, quint16 quantity)
{
    QByteArray frame = header(address, FunctionReadHolding, startRegister, quantity);
    AppendCrc(frame);
    return frame;
}

QByteArray BuildWriteRequest(int address, quint16 startRegister, const QVector<quint16> &values)
{
    QByteArray frame = header(address, FunctionWriteMultiple, startRegister, quint16(values.size()));
    frame.append(char((2 * values.size()) & 0xFF));
    for (quint16 value : values)
        appendWord(frame, value);
    AppendCrc(frame);
    return frame;
}

QByteArray BuildWriteSingle(int address, quint16 reg, quint16 value)
{
    return BuildWriteRequest(address, reg, {value});
}
