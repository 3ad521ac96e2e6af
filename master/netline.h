#pragma once

#include "link/linkaddress.h"

#include <QByteArray>
#include <QString>

#include <chrono>

// One TCP connection of the Modbus master, on plain sockets: the far end of a
// tcp:// or rtu+tcp:// link. Failures raise BusError: Refused
// when it cannot be made, PortLost when it fails under way.
class NetLine
{
public:
    using Clock = std::chrono::steady_clock;

    // How long connect() waits for the server to accept.
    static constexpr int ConnectTimeoutMs = 5000;

    NetLine() = default;
    ~NetLine();
    NetLine(const NetLine &) = delete;
    NetLine &operator=(const NetLine &) = delete;

    // Looks the host up and connects; raises BusError (Refused) with a line
    // naming the address when the name does not resolve, the server refuses
    // or does not answer.
    void connect(const LinkAddress &address);
    void close();
    bool isOpen() const { return m_fd >= 0; }

    // Throws away whatever has arrived and not been read.
    void discard();
    void send(const QByteArray &bytes);
    // Reads count more bytes onto *into: the first by firstDeadline, each
    // further one within byteGap of the one before. False when the time ran
    // out first (*into holds what came); a connection closed or broken by the
    // server raises BusError (PortLost).
    bool read(QByteArray *into, int count, Clock::time_point firstDeadline, std::chrono::microseconds byteGap);
    // True when the server ends the connection within waitMs with nothing
    // more to read (psuctl serve closes after refusing a client).
    bool closedByServer(int waitMs);

private:
    [[noreturn]] void lost(const QString &why);
    [[noreturn]] void lost(int error);

    int m_fd = -1;
    QString m_where;
};
