#include "master/rtumaster.h"

#include "link/buserror.h"
#include "link/commports.h"
#include "link/frames.h"
#include "link/linkaddress.h"
#include "link/modbustcp.h"
#include "link/tcplink.h"

#include <QRegularExpression>
#include <QSerialPortInfo>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <modbus.h>
#include <poll.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// A Modbus server's answer that it is busy with other work.
constexpr int ServerBusy = 0x06;
// The exceptions of a Modbus gateway for a device it could not reach.
constexpr int GatewayPathUnavailable = 0x0A;
constexpr int GatewayTargetSilent = 0x0B;

// How long the reply in rsp is, as far as its first bytes tell (libmodbus
// does not say when it refuses a reply's CRC).
int replyLength(const uint8_t *rsp)
{
    if (rsp[1] & 0x80)
        return 5;
    if (rsp[1] == FunctionReadHolding)
        return 5 + rsp[2];
    return 8;
}

QString openFailure(const QString &device, int error)
{
    QString text = QStringLiteral("cannot open %1: %2").arg(device, QString::fromLocal8Bit(std::strerror(error)));
    if (error == EACCES || error == EPERM)
        text += QStringLiteral(" (serial ports need membership of the dialout group: "
                               "sudo usermod -aG dialout $USER, then log in again)");
    else if (error == EBUSY) {
        // Held with TIOCEXCL; its lock file may say by whom.
        const PortHolder holder = FindPortHolder(device);
        text += holder.isSet() ? QStringLiteral(" (held by %1)").arg(holder.text())
                               : QStringLiteral(" (another program has it open)");
    }
    return text;
}

} // namespace

int LineOptions::defaultTimeoutUs(int requestBytes) const
{
    return int(std::lround(requestBytes * serial.charMicros())) + 30000;
}

bool LineOptions::isNetwork() const
{
    return IsNetworkAddress(port);
}

int LineOptions::gatewayDelay() const
{
    LinkAddress address;
    QString why;
    if (!ParseLinkAddress(port, &address, &why))
        return 0;
    if (gatewayDelayUs >= 0)
        return gatewayDelayUs;
    return address.kind == LinkAddress::ModbusTcp ? ModbusTcpDelayUs : SerialServerDelayUs;
}

int LineOptions::timeoutFor(int requestBytes) const
{
    return (timeoutUs ? timeoutUs : defaultTimeoutUs(requestBytes)) + gatewayDelay();
}

int LineOptions::byteGapUs() const
{
    // Bytes of a reply follow each other at once; a pause of 20 ms inside one
    // is a broken frame, whatever the speed. A network may hold a frame's
    // pieces apart for as long as its delay.
    return 20000 + int(2 * serial.charMicros()) + gatewayDelay();
}

int LineOptions::frameGapUs() const
{
    return serial.baud > 19200 ? 1750 : int(std::lround(3.5 * serial.charMicros()));
}

QString ExceptionName(int code)
{
    // libmodbus names the exceptions it has an EMBX code for.
    static const int named[] = {EMBXILFUN, EMBXILADD, EMBXILVAL, EMBXSFAIL, EMBXACK,
                                EMBXSBUSY, EMBXNACK,  EMBXMEMPAR, EMBXGPATH, EMBXGTAR};
    for (const int error : named) {
        if (error == MODBUS_ENOBASE + code) {
            const QString name = QString::fromLatin1(modbus_strerror(error));
            return name.left(1).toLower() + name.mid(1);
        }
    }
    return QStringLiteral("exception code %1").arg(code);
}

RtuMaster::RtuMaster(const LineOptions &line, std::FILE *log) : m_line(line), m_log(log) {}

RtuMaster::~RtuMaster()
{
    close();
}

void RtuMaster::close()
{
    if (m_ctx) {
        ReleaseExclusive(modbus_get_socket(m_ctx));
        modbus_close(m_ctx);
        modbus_free(m_ctx);
        m_ctx = nullptr;
    }
    m_lock.release();
    if (m_net)
        m_net->close();
}

void RtuMaster::open()
{
    close();
    if (m_line.isNetwork())
        openNetwork();
    else
        openSerial();
    m_opened = Clock::now();
}

void RtuMaster::openNetwork()
{
    LinkAddress address;
    QString why;
    m_device = m_line.port;
    if (!ParseLinkAddress(m_line.port, &address, &why))
        throw BusError(BusError::Kind::Refused, QStringLiteral("%1: %2").arg(m_line.port, why));
    m_device = address.text();
    m_modbusTcp = address.kind == LinkAddress::ModbusTcp;
    m_unanswered.clear();
    if (!m_net)
        m_net = std::make_unique<TcpLink>();
    m_net->connect(address);
}

void RtuMaster::openSerial()
{
    static const QRegularExpression comPort(QStringLiteral("^COM(\\d+)$"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch com = comPort.match(m_line.port);
    m_device = m_line.port;
    if (com.hasMatch()) {
        m_device = CommPortDevice(com.captured(1).toInt());
        if (m_device.isEmpty())
            throw BusError(BusError::Kind::Refused, QStringLiteral("%1: no such serial port here (%2 found)")
                                                        .arg(m_line.port.toUpper())
                                                        .arg(QSerialPortInfo::availablePorts().size()));
    }
    // One program at a time on a port.
    PortHolder holder;
    QString why;
    if (m_line.lockFile && !m_lock.acquire(m_device, &holder, &why))
        throw BusError(BusError::Kind::Refused,
                       CanMakePortLock() ? why : why + QStringLiteral(" (--no-lock uses the port without one)"));
    const LineSettings &serial = m_line.serial;
    const char parity = serial.parity == QSerialPort::EvenParity ? 'E' : serial.parity == QSerialPort::OddParity ? 'O' : 'N';
    m_ctx = modbus_new_rtu(m_device.toLocal8Bit().constData(), serial.baud, parity, int(serial.dataBits),
                           serial.stopBits == QSerialPort::TwoStop ? 2 : 1);
    if (!m_ctx) {
        m_lock.release();
        throw BusError(BusError::Kind::Refused, openFailure(m_device, errno));
    }
    if (modbus_connect(m_ctx) == -1) {
        const int error = errno;
        modbus_free(m_ctx);
        m_ctx = nullptr;
        m_lock.release();
        throw BusError(BusError::Kind::Refused, openFailure(m_device, error));
    }
    MakeExclusive(modbus_get_socket(m_ctx));
    modbus_set_byte_timeout(m_ctx, 0, uint32_t(m_line.byteGapUs()));
}

QVector<quint16> RtuMaster::read(int address, quint16 start, int count)
{
    const QByteArray request = BuildReadRequest(address, start, quint16(count));
    const QByteArray reply = transact(request, QStringLiteral("read of ") + RegisterText(start, count));
    QVector<quint16> values;
    for (int i = 0; i < count; ++i)
        values.append(RegisterAt(reply, 3 + 2 * i));
    return values;
}

void RtuMaster::write(int address, quint16 start, const QVector<quint16> &values)
{
    transact(BuildWriteRequest(address, start, values),
             QStringLiteral("write of ") + RegisterText(start, int(values.size())));
}

RtuMaster::Probe RtuMaster::probe(int address)
{
    switch (exchange(BuildReadRequest(address, VoltageSetpoint, 1)).kind) {
    case Outcome::Timeout:
    case Outcome::NoAnswer:
        return Probe::Silent;
    case Outcome::Spoilt:
        return Probe::Garbled;
    default:
        return Probe::Answered;
    }
}

QByteArray RtuMaster::transact(const QByteArray &request, const QString &what)
{
    const int address = quint8(request.at(0));
    Outcome outcome;
    for (int attempt = 0; attempt <= m_line.retries; ++attempt) {
        outcome = exchange(request);
        if (outcome.kind == Outcome::Reply)
            return outcome.reply;
        if (outcome.kind == Outcome::Exception) {
            QString text = QStringLiteral("address %1: the %2 was refused with exception %3, %4")
                               .arg(address)
                               .arg(what)
                               .arg(outcome.exceptionCode, 2, 10, QLatin1Char('0'))
                               .arg(ExceptionName(outcome.exceptionCode));
            // psuctl serve answers "busy" and closes when every client place
            // is taken; a supply's own busy answer leaves the link open.
            if (m_modbusTcp && outcome.exceptionCode == ServerBusy && m_net && m_net->closedByServer(500))
                text = QStringLiteral("serve refused: its clients already fill every place (--max-clients); ") + text;
            throw BusError(BusError::Kind::Exception, text, address, quint8(request.at(1)), outcome.exceptionCode);
        }
    }
    const int tries = m_line.retries + 1;
    QString cause = QStringLiteral("no reply within %1 ms").arg(m_line.timeoutFor(int(request.size())) / 1000.0);
    if (outcome.kind == Outcome::Spoilt)
        cause = QStringLiteral("the last reply ") + outcome.spoilt;
    else if (outcome.kind == Outcome::NoAnswer)
        cause = QStringLiteral("the gateway answered exception %1, %2")
                    .arg(outcome.exceptionCode, 2, 10, QLatin1Char('0'))
                    .arg(ExceptionName(outcome.exceptionCode));
    throw BusError(outcome.kind == Outcome::Spoilt ? BusError::Kind::SpoiltReply : BusError::Kind::Timeout,
                   QStringLiteral("address %1: no valid reply to the %2 in %3 %4 (%5)")
                       .arg(address)
                       .arg(what)
                       .arg(tries)
                       .arg(tries == 1 ? QStringLiteral("try") : QStringLiteral("tries"))
                       .arg(cause),
                   address, quint8(request.at(1)));
}

namespace {

// What is wrong with a reply of the right address and function, or an empty
// text: a read carries the count of bytes asked for, a write's acknowledgement
// echoes the register and count written.
QString spoiltReply(const QByteArray &request, const QByteArray &reply)
{
    const int count = RegisterAt(request, 4);
    if (quint8(request.at(1)) == FunctionReadHolding) {
        if (reply.size() != 5 + 2 * count || quint8(reply.at(2)) != 2 * count)
            return QStringLiteral("carried %1 bytes of data, not %2").arg(quint8(reply.at(2))).arg(2 * count);
        return QString();
    }
    if (reply.size() != 8 || reply.mid(2, 4) != request.mid(2, 4))
        return QStringLiteral("acknowledged %1 registers at %2, not %3 at %4")
            .arg(reply.size() >= 6 ? RegisterAt(reply, 4) : 0)
            .arg(HexWord(reply.size() >= 6 ? RegisterAt(reply, 2) : 0))
            .arg(count)
            .arg(HexWord(RegisterAt(request, 2)));
    return QString();
}

// libmodbus's errors for a reply that came but cannot be taken; any other
// error is the port's.
bool isSpoiltReplyError(int error)
{
    return error == EMBBADCRC || error == EMBBADDATA || error == EMBBADEXC || error == EMBUNKEXC
           || error == EMBMDATA || error == EMBBADSLAVE;
}

} // namespace

RtuMaster::Outcome RtuMaster::exchange(const QByteArray &request)
{
    if (!m_line.observer)
        return exchangeOnLine(request);
    const Clock::time_point begun = Clock::now();
    const Outcome outcome = exchangeOnLine(request);
    static const LineExchange::Result results[] = {LineExchange::Reply, LineExchange::Timeout, LineExchange::Spoilt,
                                                   LineExchange::Exception, LineExchange::NoAnswer};
    LineExchange record;
    record.address = quint8(request.at(0));
    record.result = outcome.badCrc ? LineExchange::BadCrc : results[outcome.kind];
    record.exceptionCode = outcome.exceptionCode;
    record.took = Clock::now() - begun;
    m_line.observer(record);
    return outcome;
}

RtuMaster::Outcome RtuMaster::exchangeOnLine(const QByteArray &request)
{
    if (m_net && m_net->isOpen())
        return exchangeNetwork(request);
    if (!m_ctx)
        throw BusError(BusError::Kind::PortLost, QStringLiteral("%1: not open").arg(m_device));
    const int address = quint8(request.at(0));
    const int timeoutUs = m_line.timeoutFor(int(request.size()));

    modbus_set_slave(m_ctx, address);
    // Half duplex: a late reply to an earlier request must end, and must not
    // be taken for this one.
    waitForQuietLine(timeoutUs);
    logFrame("->", request);
    // libmodbus appends the CRC itself; it comes out as the one our builder made.
    if (modbus_send_raw_request(m_ctx, reinterpret_cast<const uint8_t *>(request.constData()),
                                int(request.size()) - 2)
        == -1)
        portLost(errno);

    const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(timeoutUs);
    Outcome outcome;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        modbus_set_response_timeout(m_ctx, uint32_t(left / 1000000), uint32_t(left % 1000000));
        uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH] = {};
        const int length = modbus_receive_confirmation(m_ctx, rsp);
        const int error = errno;
        if (length != -1 || error != ETIMEDOUT)
            m_heard = Clock::now();
        if (length == -1) {
            if (error == ETIMEDOUT)
                break;
            if (!isSpoiltReplyError(error))
                portLost(error);
            // A reply that fails its CRC, or whose header makes no sense.
            logFrame("<-", QByteArray(reinterpret_cast<const char *>(rsp), qMin(replyLength(rsp), int(sizeof rsp))),
                     error == EMBBADCRC ? "  (bad CRC)" : "  (malformed)");
            outcome.kind = Outcome::Spoilt;
            outcome.badCrc = error == EMBBADCRC;
            outcome.spoilt = error == EMBBADCRC ? QStringLiteral("failed its CRC check") : QStringLiteral("was malformed");
            return outcome;
        }
        // libmodbus hands back a reply of another address as an empty one, but
        // one from address 0 in full: neither is this supply's.
        if (length < 4 || rsp[0] != address)
            continue;
        const QByteArray reply(reinterpret_cast<const char *>(rsp), length);
        logFrame("<-", reply, judge(request, reply, &outcome) ? outcomeNote(outcome) : "  (another function, passed over)");
        if (outcome.kind != Outcome::Timeout)
            return outcome;
    }
    if (m_line.verbose)
        std::fprintf(m_log, "%12.3f ms    no reply from %d\n",
                     std::chrono::duration<double, std::milli>(Clock::now() - m_opened).count(), address);
    outcome.kind = Outcome::Timeout;
    return outcome;
}

void RtuMaster::waitForQuietLine(int timeoutUs)
{
    // A reply that began may go on for as long as the longest frame takes.
    const long longestFrameUs = std::lround(MODBUS_RTU_MAX_ADU_LENGTH * m_line.serial.charMicros());
    const Clock::time_point giveUp = Clock::now() + std::chrono::microseconds(timeoutUs + longestFrameUs);
    const std::chrono::microseconds gap(m_line.frameGapUs());
    QByteArray late;
    for (;;) {
        const Clock::time_point now = Clock::now();
        // Bytes already waiting came at a time unknown: as if just now.
        if (!hear(&late, std::max(now, std::min(m_heard + gap, giveUp))))
            break;
        m_heard = Clock::now();
        if (m_heard >= giveUp)
            break;
    }
    if (!late.isEmpty())
        logFrame("<-", late, "  (late, passed over)");
}

bool RtuMaster::hear(QByteArray *bytes, Clock::time_point deadline)
{
    if (m_net && m_net->isOpen())
        return m_net->read(bytes, 1, deadline, std::chrono::microseconds(0));
    const int fd = modbus_get_socket(m_ctx);
    for (;;) {
        const long long left =
            std::max<long long>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count());
        const timespec wait{time_t(left / 1000000000), long(left % 1000000000)};
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::ppoll(&entry, 1, &wait, nullptr);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return false;
        break;
    }
    const qsizetype before = bytes->size();
    char buffer[256];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            bytes->append(buffer, n);
            continue;
        }
        // A port set to return at once reads 0 bytes, or fails with EAGAIN,
        // when nothing more is there.
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        if (errno != EINTR)
            portLost(errno);
    }
    return bytes->size() > before;
}

const char *RtuMaster::outcomeNote(const Outcome &outcome)
{
    return outcome.kind == Outcome::Exception ? "  (exception)" : outcome.kind == Outcome::Spoilt ? "  (spoilt)" : "";
}

bool RtuMaster::judge(const QByteArray &request, const QByteArray &reply, Outcome *outcome)
{
    const quint8 function = quint8(request.at(1));
    outcome->reply = reply;
    if (quint8(reply.at(1)) == function) {
        outcome->spoilt = spoiltReply(request, reply);
        outcome->kind = outcome->spoilt.isEmpty() ? Outcome::Reply : Outcome::Spoilt;
        return true;
    }
    if (quint8(reply.at(1)) == (function | 0x80)) {
        outcome->kind = Outcome::Exception;
        outcome->exceptionCode = quint8(reply.at(2));
        return true;
    }
    outcome->kind = Outcome::Timeout;
    return false;
}

RtuMaster::Outcome RtuMaster::exchangeNetwork(const QByteArray &request)
{
    const int address = quint8(request.at(0));
    const int timeoutUs = m_line.timeoutFor(int(request.size()));
    // A late reply to an earlier request must not be taken for this one; on
    // a serial server the line behind it is half duplex, and it must end first.
    if (m_modbusTcp)
        m_net->discard();
    else
        waitForQuietLine(timeoutUs);
    QByteArray wire = request;
    if (m_modbusTcp) {
        wire = MbapFromRtu(request, ++m_transaction);
        m_unanswered.push_back(m_transaction);
        // Replies later than a few requests are not waited for.
        while (m_unanswered.size() > 16)
            m_unanswered.pop_front();
    }
    logFrame("->", wire);
    m_net->send(wire);

    const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(timeoutUs);
    Outcome outcome;
    for (;;) {
        QByteArray received;
        QByteArray rtu;
        const bool whole = receiveNetwork(request, deadline, &received, &rtu, &outcome);
        if (!received.isEmpty())
            m_heard = Clock::now();
        if (!whole) {
            if (received.isEmpty())
                break;
            logFrame("<-", received, outcome.kind == Outcome::Spoilt ? "  (spoilt)" : "  (passed over)");
            if (outcome.kind == Outcome::Spoilt) {
                // Whatever follows a broken frame cannot be framed: start afresh.
                m_net->discard();
                return outcome;
            }
            continue;
        }
        if (quint8(rtu.at(0)) != address) {
            logFrame("<-", received, "  (another address, passed over)");
            continue;
        }
        const bool decided = judge(request, rtu, &outcome);
        // A gateway says so when the supply behind it did not answer: that
        // is the supply's silence, not its refusal.
        if (decided && outcome.kind == Outcome::Exception
            && (outcome.exceptionCode == GatewayPathUnavailable || outcome.exceptionCode == GatewayTargetSilent)) {
            logFrame("<-", received, "  (the gateway had no answer)");
            outcome.kind = Outcome::NoAnswer;
            return outcome;
        }
        logFrame("<-", received, decided ? outcomeNote(outcome) : "  (another function, passed over)");
        if (decided)
            return outcome;
    }
    if (m_line.verbose)
        std::fprintf(m_log, "%12.3f ms    no reply from %d\n",
                     std::chrono::duration<double, std::milli>(Clock::now() - m_opened).count(), address);
    outcome.kind = Outcome::Timeout;
    return outcome;
}

// Reads one reply off the network link into *wire (the bytes as they came)
// and *rtu (the RTU frame they stand for, CRC checked). False when no whole
// reply came by the deadline (wire empty), or with outcome Spoilt when what
// came is not one; false with outcome Timeout for a late reply to an earlier
// request, which is passed over.
bool RtuMaster::receiveNetwork(const QByteArray &request, Clock::time_point deadline, QByteArray *wire,
                               QByteArray *rtu, Outcome *outcome)
{
    const std::chrono::microseconds gap(m_line.byteGapUs());
    const auto spoilt = [outcome](const QString &why) {
        outcome->kind = Outcome::Spoilt;
        outcome->spoilt = why;
        return false;
    };
    outcome->kind = Outcome::Timeout;
    if (m_modbusTcp) {
        if (!m_net->read(wire, MbapHeaderSize, deadline, gap))
            return wire->isEmpty() ? false : spoilt(QStringLiteral("was cut short"));
        const int length = MbapFrameLength(*wire);
        if (length < 0)
            return spoilt(QStringLiteral("had a header that is not Modbus TCP (protocol %1, length %2)")
                              .arg(RegisterAt(*wire, 2))
                              .arg(RegisterAt(*wire, 4)));
        if (!m_net->read(wire, length - MbapHeaderSize, Clock::now() + gap, gap))
            return spoilt(QStringLiteral("was cut short (%1 of the %2 bytes its header announced)")
                              .arg(wire->size() - 6)
                              .arg(length - 6));
        const quint16 transaction = MbapTransaction(*wire);
        if (transaction != m_transaction) {
            const auto earlier = std::find(m_unanswered.begin(), m_unanswered.end(), transaction);
            if (earlier == m_unanswered.end())
                return spoilt(QStringLiteral("carried transaction id %1, not %2").arg(transaction).arg(m_transaction));
            m_unanswered.erase(earlier);
            return false;
        }
        const int unit = quint8(wire->at(6));
        if (unit != quint8(request.at(0)))
            return spoilt(QStringLiteral("came from unit %1, not %2").arg(unit).arg(quint8(request.at(0))));
        m_unanswered.erase(std::remove(m_unanswered.begin(), m_unanswered.end(), transaction), m_unanswered.end());
        *rtu = RtuFromMbap(*wire);
        return true;
    }
    if (!m_net->read(wire, 2, deadline, gap))
        return wire->isEmpty() ? false : spoilt(QStringLiteral("was cut short"));
    int length = RtuReplyLength(*wire);
    if (length == 0) {
        if (!m_net->read(wire, 1, Clock::now() + gap, gap))
            return spoilt(QStringLiteral("was cut short"));
        length = RtuReplyLength(*wire);
    }
    if (length < 0) {
        // Whatever it is, it is over when the line goes quiet.
        while (m_net->read(wire, 1, Clock::now() + gap, gap) && wire->size() < 256) {
        }
        return spoilt(QStringLiteral("was malformed"));
    }
    if (!m_net->read(wire, length - int(wire->size()), Clock::now() + gap, gap))
        return spoilt(QStringLiteral("was cut short"));
    if (ModbusCrc16(wire->constData(), length - 2) != quint16(quint8(wire->at(length - 2)) | (quint8(wire->at(length - 1)) << 8))) {
        outcome->badCrc = true;
        return spoilt(QStringLiteral("failed its CRC check"));
    }
    *rtu = *wire;
    return true;
}

void RtuMaster::portLost(int error)
{
    throw BusError(BusError::Kind::PortLost,
                   QStringLiteral("%1: port lost (%2)").arg(m_device, QString::fromLocal8Bit(std::strerror(error))));
}

void RtuMaster::logFrame(const char *direction, const QByteArray &bytes, const char *note)
{
    if (!m_line.verbose)
        return;
    std::fprintf(m_log, "%12.3f ms %s %s%s\n",
                 std::chrono::duration<double, std::milli>(Clock::now() - m_opened).count(), direction,
                 bytes.toHex(' ').toUpper().constData(), note);
    std::fflush(m_log);
}
