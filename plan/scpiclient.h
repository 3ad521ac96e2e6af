#pragma once

// A SCPI instrument on the end of a link: a raw socket (tcp://HOST:PORT, the
// instrument's own port, 5025 by custom), a USB test and measurement device
// file (/dev/usbtmc0), or a serial port (serial:/dev/ttyUSB0:9600:8N1).
// Messages are one line each, ended by a newline either way. Every call waits
// at most the time-out for its answer; a failure raises ScpiError.

#include "link/systemerror.h"

#include <QByteArray>
#include <QString>

class ScpiError : public SystemError
{
public:
    enum Kind {
        Unreachable, // the link cannot be opened
        Timeout,     // no whole answer in time
        Lost,        // the instrument closed the link or the device went away
        Instrument   // the instrument's error queue holds an error
    };
    ScpiError(Kind kind, const QString &text) : SystemError(text), m_kind(kind) {}
    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

class ScpiClient
{
public:
    // The longest answer taken: an instrument that sends more without a
    // newline is not speaking SCPI to us.
    static constexpr int MaxAnswer = 1 << 20;

    ScpiClient(const QString &link, double timeoutSeconds);
    ~ScpiClient();
    ScpiClient(const ScpiClient &) = delete;
    ScpiClient &operator=(const ScpiClient &) = delete;

    void open();
    void close();
    bool isOpen() const { return m_fd >= 0; }
    QString link() const { return m_link; }

    void write(const QString &command);
    // Writes a query and returns its answer without the line end.
    QString query(const QString &command);
    // The answer of a query as a number; an answer that is none raises
    // ScpiError (Instrument) naming the query and the answer.
    double queryNumber(const QString &command);
    // Asks the error queue with errorQuery until it answers 0 and raises
    // ScpiError (Instrument) with the first error it held ("-113,"Undefined
    // header""), after command, which caused it.
    void checkErrors(const QString &errorQuery, const QString &command);

private:
    void openSocket(const QString &host, int port);
    void openSerial(const QString &settings);
    QByteArray readLine(const QString &command);
    [[noreturn]] void lost(const QString &why);

    QString m_link;
    int m_timeoutMs;
    int m_fd = -1;
    QByteArray m_pending; // bytes read past the last answer's newline
};
