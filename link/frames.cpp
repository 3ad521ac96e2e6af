#include "link/frames.h"

namespace {

// Table-driven form of the bitwise CRC-16/MODBUS, sliced by four. entry[0][b]
// is the CRC update for one byte b with a zero register; entry[k][b] is that
// byte followed by k zero bytes. The 16-bit register is used up by the first
// two bytes of a group, so four bytes cost four independent lookups instead
// of a chain of four dependent ones.
struct CrcTable {
    quint16 entry[4][256];
    constexpr CrcTable() : entry()
    {
        for (int b = 0; b < 256; ++b) {
            quint16 crc = quint16(b);
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
            entry[0][b] = crc;
        }
        for (int k = 1; k < 4; ++k) {
            for (int b = 0; b < 256; ++b) {
                const quint16 previous = entry[k - 1][b];
                entry[k][b] = quint16((previous >> 8) ^ entry[0][previous & 0xFF]);
            }
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
    const auto &t = kCrcTable.entry;
    const auto *bytes = reinterpret_cast<const quint8 *>(data);
    quint16 crc = 0xFFFF;
    qsizetype i = 0;
    for (; i + 4 <= size; i += 4) {
        crc = quint16(t[3][(crc ^ bytes[i]) & 0xFF] ^ t[2][(crc >> 8) ^ bytes[i + 1]]
                      ^ t[1][bytes[i + 2]] ^ t[0][bytes[i + 3]]);
    }
    for (; i < size; ++i)
        crc = quint16((crc >> 8) ^ t[0][(crc ^ bytes[i]) & 0xFF]);
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

quint8 CorrectionCode(int correction, int base)
{
    const long long code = correction >= 0 ? correction : base - (long long)correction;
    if (code > 2LL * base)
        return 0;
    return quint8(code);
}

int CorrectionOfCode(int code, int base)
{
    if (code < 0 || code > 2 * base)
        return 0;
    return code <= base ? code : base - code;
}
