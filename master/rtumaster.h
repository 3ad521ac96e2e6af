#pragma once

#include "link/linesettings.h"
#include "link/setwrites.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <chrono>
#include <cstdio>

struct _modbus;

// The serial line as psuctl's global options give it.
struct LineOptions {
    QString port = QStringLiteral("COM1"); // COM1..COM12 or a device path
    LineSettings serial;                   // 9600 8N1 unless told otherwise
    int timeoutUs = 0;                     // wait for a reply to begin; 0: what the line needs
    int retries = 1;                       // further tries after a timeout or a spoilt reply
    bool verbose = false;                  // every frame in hex on stderr

    // The default wait for a reply to begin: the request's own time on the
    // line plus 30 ms for the supply to turn round.
    int defaultTimeoutUs(int requestBytes) const;
    // The wait for the reply to a request of that many bytes: -o when given,
    // else the default.
    int timeoutFor(int requestBytes) const;
};

// The name of a Modbus exception code as libmodbus gives it ("illegal data
// address"), or "exception code N" for one it does not know.
QString ExceptionName(int code);

// A Modbus RTU master on one serial line, over libmodbus (framing, CRC,
// timeouts). Each request waits for its own reply: replies of other addresses
// and other functions are passed over until the timeout. A timeout or a
// spoilt reply (a failed CRC, a read's wrong byte count, a write's
// acknowledgement that echoes another register or count) is retried; an
// exception reply is not. Failures raise CtlError with the exit status they
// stand for; a port that fails under way (the device gone) raises ExitPort.
class RtuMaster
{
public:
    enum class Probe { Silent, Answered, Garbled };

    explicit RtuMaster(const LineOptions &line, std::FILE *log = stderr);
    ~RtuMaster();
    RtuMaster(const RtuMaster &) = delete;
    RtuMaster &operator=(const RtuMaster &) = delete;

    // Resolves COMn the way the tool does and opens the device (again, after close()).
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
        enum Kind { Reply, Timeout, Spoilt, Exception } kind = Timeout;
        QByteArray reply;
        int exceptionCode = 0;
        QString spoilt; // what was wrong with a spoilt reply
    };

    Outcome exchange(const QByteArray &request);
    QByteArray transact(const QByteArray &request, const QString &what);
    void logFrame(const char *direction, const QByteArray &bytes, const char *note = "");

    LineOptions m_line;
    std::FILE *m_log;
    QString m_device;
    _modbus *m_ctx = nullptr;
    std::chrono::steady_clock::time_point m_opened;
};
