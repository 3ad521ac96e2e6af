#pragma once

#include "link/linkaddress.h"

#include <QByteArray>
#include <QString>

#include <chrono>

// One TCP connection to the far end of a tcp:// or rtu+tcp:// link, on plain
// sockets, for a reader that waits for its bytes (the Modbus master): reads
// with a deadline for the first byte and a gap between bytes. Failures raise
// BusError: Refused when it cannot be made, PortLost when it fails under way.
// POSIX only; on Windows the tool's windows reach the network through Qt.
class TcpLink
{
public:
    using Clock = std::chrono::steady_clock;

    // How long connect() waits for the server to accept.
    static constexpr int ConnectTimeoutMs = 5000;

    TcpLink() = default;
    ~TcpLink();
    TcpLink(const TcpLink &) = delete;
    TcpLink &operator=(const TcpLink &) = delete;

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
