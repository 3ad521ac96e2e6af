#pragma once

#include "link/linesettings.h"
#include "link/portlock.h"
#include "link/setwrites.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>

struct _modbus;
class TcpLink;

// One try of one request on the line and what came of it, as the master tells
// whoever watches the line (psuctl's metrics). took runs from the wait for a
// quiet line to the end of the reply or of the timeout.
struct LineExchange {
    enum Result { Reply, Exception, Timeout, BadCrc, Spoilt, NoAnswer };
    int address = 0;
    Result result = Timeout;
    int exceptionCode = 0;
    std::chrono::nanoseconds took{0};
};

// The line as psuctl's global options give it.
struct LineOptions {
    // COM1..COM12, a device path, or a network link: tcp://HOST:PORT (Modbus
    // TCP) or rtu+tcp://HOST:PORT (RTU frames over a raw socket).
    QString port = QStringLiteral("COM1");
    LineSettings serial;                   // 9600 8N1 unless told otherwise
    int timeoutUs = 0;                     // wait for a reply to begin; 0: what the line needs
    int retries = 1;                       // further tries after a timeout or a spoilt reply
    bool verbose = false;                  // every frame in hex on stderr
    bool lockFile = true;                  // a serial port's lock file, besides TIOCEXCL
    // On a network link, the far end's own time on top of the line's: the
    // network and the gateway or serial server in between. -1: the link's
    // default (gatewayDelay()).
    int gatewayDelayUs = -1;
    // Told of every exchange, on the master's thread; none when empty.
    std::function<void(const LineExchange &)> observer;

    bool isNetwork() const;
    // The far end's time on this link: gatewayDelayUs when set; else on
    // tcp:// ModbusTcpDelayUs, as a Modbus TCP server (a gateway, psuctl
    // serve) queues each request behind those of its other clients; on
    // rtu+tcp:// SerialServerDelayUs, the network alone; 0 on a serial port.
    int gatewayDelay() const;
    static constexpr int ModbusTcpDelayUs = 1000000;
    static constexpr int SerialServerDelayUs = 100000;

    // The default wait for a reply to begin: the request's own time on the
    // line plus 30 ms for the supply to turn round.
    int defaultTimeoutUs(int requestBytes) const;
    // The wait for the reply to a request of that many bytes: -o when given,
    // else the default; on a network link the gateway's delay on top.
    int timeoutFor(int requestBytes) const;
    // The longest pause between two bytes of one reply.
    int byteGapUs() const;
    // The silence that ends a frame and frees the line: 3.5 characters,
    // 1750 us above 19200 baud.
    int frameGapUs() const;
};

// The name of a Modbus exception code as libmodbus gives it ("illegal data
// address"), or "exception code N" for one it does not know.
QString ExceptionName(int code);

// A Modbus RTU master on one serial line, over libmodbus (framing, CRC,
// timeouts), or on a network link: Modbus TCP, where a reply whose
// transaction id, length or unit is not the request's counts as spoilt (a
// late reply to an earlier request is passed over), or RTU frames over TCP.
// The serial port is taken for this process alone (its lock file and
// TIOCEXCL): a port another program holds is refused naming the holder, and
// a port whose lock cannot be made where others look is refused as well.
// Each request waits for its own reply: replies of other addresses
// and other functions are passed over until the timeout. A timeout or a
// spoilt reply (a failed CRC, a read's wrong byte count, a write's
// acknowledgement that echoes another register or count) is retried; an
// exception reply is not; a gateway's exception for a supply it could not
// reach (0x0A, 0x0B) is that supply's silence, retried and named. The line is
// half duplex: a request (a retry, or the next one) goes out only once the
// line has been quiet for 3.5 characters since the last byte heard, or a
// reply's time-out and the longest frame's time have passed with the line
// still busy. Failures raise BusError: a port that cannot be had is
// Refused, one that fails under way (the device gone) PortLost.
class RtuMaster
{
public:
    enum class Probe { Silent, Answered, Garbled };

    explicit RtuMaster(const LineOptions &line, std::FILE *log = stderr);
    ~RtuMaster();
    RtuMaster(const RtuMaster &) = delete;
    RtuMaster &operator=(const RtuMaster &) = delete;

    // Resolves COMn the way the tool does and opens the device (again, after
    // close()), or connects to the network link.
    void open();
    void close();
    QString device() const { return m_device; }

    // Read holding registers (0x03); returns count values.
    QVector<quint16> read(int address, quint16 start, int count);
    // Write multiple registers (0x10); one value is the tool's single-register write.
    void write(int address, quint16 start, const QVector<quint16> &values);
    // One read of VoltageSetpoint at address, never retried: anything that
    // comes back from that address, a spoilt reply included, shows a device.
    Probe probe(int address);

private:
    struct Outcome {
        // NoAnswer: a gateway's exception (0x0A, 0x0B) for a supply it
        // could not reach, its code in exceptionCode.
        enum Kind { Reply, Timeout, Spoilt, Exception, NoAnswer } kind = Timeout;
        QByteArray reply;
        int exceptionCode = 0;
        QString spoilt; // what was wrong with a spoilt reply
        bool badCrc = false;
    };

    // exchangeOnLine, with the line's observer told.
    Outcome exchange(const QByteArray &request);
    Outcome exchangeOnLine(const QByteArray &request);
    // Holds the next request back until the line has been quiet for a frame
    // gap since the last byte heard, reading off (and logging) whatever still
    // arrives: a late reply, the rest of a spoilt one. A line that is not
    // quiet within timeoutUs and the time of the longest frame is taken as
    // jammed and the wait ends.
    void waitForQuietLine(int timeoutUs);
    // Reads whatever has come by deadline onto *bytes (at least one byte);
    // false when nothing came.
    bool hear(QByteArray *bytes, std::chrono::steady_clock::time_point deadline);
    Outcome exchangeNetwork(const QByteArray &request);
    bool receiveNetwork(const QByteArray &request, std::chrono::steady_clock::time_point deadline, QByteArray *wire,
                        QByteArray *rtu, Outcome *outcome);
    // Whether reply (a whole RTU frame, CRC checked) ends the exchange, and how.
    bool judge(const QByteArray &request, const QByteArray &reply, Outcome *outcome);
    static const char *outcomeNote(const Outcome &outcome);
    void openSerial();
    void openNetwork();
    QByteArray transact(const QByteArray &request, const QString &what);
    [[noreturn]] void portLost(int error);
    void logFrame(const char *direction, const QByteArray &bytes, const char *note = "");

    LineOptions m_line;
    std::FILE *m_log;
    QString m_device;
    _modbus *m_ctx = nullptr;
    PortLock m_lock;
    std::unique_ptr<TcpLink> m_net;
    bool m_modbusTcp = false;
    quint16 m_transaction = 0;
    std::deque<quint16> m_unanswered; // transaction ids sent whose replies have not come
    std::chrono::steady_clock::time_point m_opened;
    std::chrono::steady_clock::time_point m_heard; // when the last byte came off the line
};
