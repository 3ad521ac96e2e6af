#include "ctl/serve.h"

#include "link/frames.h"

// What serve answers a request with: the rules a request must keep before it
// goes on the line, and the request carried out on the master.

namespace {

// Write single register, which Modbus TCP clients use for one value.
constexpr quint8 FunctionWriteSingle = 0x06;

void appendWord(QByteArray &bytes, quint16 word)
{
    bytes.append(char(word >> 8));
    bytes.append(char(word & 0xFF));
}

} // namespace

QByteArray ExceptionPdu(quint8 function, quint8 code)
{
    QByteArray pdu;
    pdu.append(char(function | 0x80));
    pdu.append(char(code));
    return pdu;
}

QByteArray FailureAnswer(quint8 function, const BusError &error)
{
    if (error.kind() == BusError::Kind::Exception)
        return ExceptionPdu(function, quint8(error.exceptionCode()));
    return ExceptionPdu(function, GatewayTargetFailed);
}

QByteArray RequestFault(quint8 unit, const QByteArray &pdu)
{
    const quint8 function = quint8(pdu.at(0));
    if (function != FunctionReadHolding && function != FunctionWriteMultiple && function != FunctionWriteSingle)
        return ExceptionPdu(function, IllegalFunction);
    const bool read = function == FunctionReadHolding;
    if (pdu.size() < (function == FunctionWriteMultiple ? 6 : 5))
        return ExceptionPdu(function, IllegalDataValue);
    const int count = function == FunctionWriteSingle ? 1 : RegisterAt(pdu, 3);
    const bool fits = function == FunctionReadHolding   ? count >= 1 && count <= 125 && pdu.size() == 5
                      : function == FunctionWriteSingle ? pdu.size() == 5
                                                        : count >= 1 && count <= 123 && quint8(pdu.at(5)) == 2 * count
                                                              && pdu.size() == 6 + 2 * count;
    if (!fits)
        return ExceptionPdu(function, IllegalDataValue);
    if (RegisterAt(pdu, 1) + count > 0x10000)
        return ExceptionPdu(function, IllegalDataAddress);
    if (unit > 247 || (unit == 0 && read))
        return ExceptionPdu(function, GatewayPathUnavailable);
    return QByteArray();
}

bool IsBroadcastWrite(quint8 unit, const QByteArray &pdu)
{
    return unit == 0 && quint8(pdu.at(0)) != FunctionReadHolding;
}

QByteArray RequestRefusal(quint8 unit, const QByteArray &pdu, bool mayWrite, const ServeOptions &options, QString *why)
{
    const quint8 function = quint8(pdu.at(0));
    if (function == FunctionReadHolding)
        return QByteArray();
    const int start = RegisterAt(pdu, 1);
    const int count = function == FunctionWriteSingle ? 1 : RegisterAt(pdu, 3);
    quint8 code = IllegalFunction;
    if (!mayWrite) {
        *why = options.readOnly ? QStringLiteral("serve is read-only (--read-only)")
                                : QStringLiteral("not in --allow-write");
    } else if (unit == 0 && !options.allowBroadcast) {
        *why = QStringLiteral("a broadcast (--allow-broadcast)");
    } else if (start <= BusAddress && BusAddress < start + count && !options.allowAddressChange) {
        *why = QStringLiteral("an address change (--allow-address-change)");
        code = IllegalDataAddress;
    } else {
        return QByteArray();
    }
    return ExceptionPdu(function, code);
}

QByteArray WriteAcknowledgement(const QByteArray &pdu)
{
    return pdu.left(5);
}

QByteArray CarryOut(RtuMaster &master, int retries, quint8 unit, const QByteArray &pdu)
{
    const QByteArray fault = RequestFault(unit, pdu);
    if (!fault.isEmpty())
        return fault;
    const quint8 function = quint8(pdu.at(0));
    const quint16 start = RegisterAt(pdu, 1);
    const int count = function == FunctionReadHolding ? RegisterAt(pdu, 3) : 0;
    // The supplies take writes as 0x10 only: a single-register write goes on
    // the line as one of one register, as the window writes one.
    QVector<quint16> values;
    if (function == FunctionWriteSingle)
        values.append(RegisterAt(pdu, 3));
    for (int i = 0; function == FunctionWriteMultiple && i < RegisterAt(pdu, 3); ++i)
        values.append(RegisterAt(pdu, 6 + 2 * i));
    for (int attempt = 0; attempt <= retries; ++attempt) {
        try {
            if (function != FunctionReadHolding) {
                master.write(unit, start, values);
                return WriteAcknowledgement(pdu);
            }
            QByteArray answer;
            answer.append(char(function));
            answer.append(char(2 * count));
            for (const quint16 value : master.read(unit, start, count))
                appendWord(answer, value);
            return answer;
        } catch (const BusError &error) {
            if (error.isPortFailure())
                throw;
            if (error.kind() == BusError::Kind::Exception)
                return FailureAnswer(function, error);
            // Nothing answers a broadcast: the timeout has passed, and with it
            // the time the supplies take to carry it out.
            if (unit == 0)
                return WriteAcknowledgement(pdu);
        }
    }
    return ExceptionPdu(function, GatewayTargetFailed);
}
