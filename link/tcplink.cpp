#include "link/tcplink.h"

#ifndef Q_OS_WIN

#include "link/buserror.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Waits until fd is ready for events or the deadline passes; false on the latter.
bool waitFor(int fd, short events, TcpLink::Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - TcpLink::Clock::now()).count();
        pollfd entry{fd, events, 0};
        // poll() counts whole milliseconds: rounded up, a wait never ends early.
        const int result = ::poll(&entry, 1, left <= 0 ? 0 : int((left + 999) / 1000));
        if (result > 0)
            return true;
        if (result < 0 && errno != EINTR)
            return true; // the read or write that follows says what is wrong
        if (left <= 0)
            return false;
    }
}

} // namespace

TcpLink::~TcpLink()
{
    close();
}

void TcpLink::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void TcpLink::connect(const LinkAddress &address)
{
    close();
    m_where = address.text();
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const QByteArray host = address.host.toUtf8();
    const QByteArray service = QByteArray::number(address.port);
    const int lookup = ::getaddrinfo(host.constData(), service.constData(), &hints, &found);
    if (lookup != 0)
        throw BusError(BusError::Kind::Refused,
                       QStringLiteral("%1: cannot find the host %2 (%3)")
                           .arg(m_where, address.host,
                                QString::fromLocal8Bit(lookup == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(lookup))));
    QString failure;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ConnectTimeoutMs);
    for (addrinfo *candidate = found; candidate && m_fd < 0; candidate = candidate->ai_next) {
        const int fd = ::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                candidate->ai_protocol);
        if (fd < 0) {
            failure = systemText(errno);
            continue;
        }
        int error = 0;
        if (::connect(fd, candidate->ai_addr, candidate->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                socklen_t size = sizeof error;
                error = waitFor(fd, POLLOUT, deadline) ? 0 : ETIMEDOUT;
                if (!error && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                    error = errno;
            }
        }
        if (error) {
            failure = error == ETIMEDOUT ? QStringLiteral("no answer within %1 s").arg(ConnectTimeoutMs / 1000)
                                         : systemText(error);
            ::close(fd);
            continue;
        }
        // Frames are small and each waits for its answer: no coalescing.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_fd = fd;
    }
    ::freeaddrinfo(found);
    if (m_fd < 0)
        throw BusError(BusError::Kind::Refused, QStringLiteral("cannot connect to %1: %2").arg(m_where, failure));
}

void TcpLink::lost(int error)
{
    if (error == ECONNRESET || error == EPIPE)
        lost(QStringLiteral("the server closed the connection"));
    lost(QStringLiteral("connection lost (%1)").arg(systemText(error)));
}

void TcpLink::lost(const QString &why)
{
    close();
    throw BusError(BusError::Kind::PortLost, QStringLiteral("%1: %2").arg(m_where, why));
}

bool TcpLink::closedByServer(int waitMs)
{
    if (m_fd < 0)
        return false;
    pollfd ready{m_fd, POLLIN, 0};
    if (::poll(&ready, 1, waitMs) <= 0)
        return false;
    char byte;
    return ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void TcpLink::discard()
{
    char buffer[512];
    for (;;) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            continue;
        if (n == 0)
            lost(QStringLiteral("the server closed the connection"));
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            lost(errno);
        return;
    }
}

void TcpLink::send(const QByteArray &bytes)
{
    qsizetype sent = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ConnectTimeoutMs);
    while (sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n >= 0) {
            sent += n;
            continue;
        }
        if (errno == EINTR)
            continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(m_fd, POLLOUT, deadline))
            continue;
        lost(errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno);
    }
}

bool TcpLink::read(QByteArray *into, int count, Clock::time_point firstDeadline, std::chrono::microseconds byteGap)
{
    const qsizetype wanted = into->size() + count;
    Clock::time_point deadline = firstDeadline;
    while (into->size() < wanted) {
        if (!waitFor(m_fd, POLLIN, deadline))
            return false;
        char buffer[260];
        const ssize_t n = ::recv(m_fd, buffer, size_t(qMin<qsizetype>(wanted - into->size(), sizeof buffer)), 0);
        if (n == 0)
            lost(QStringLiteral("the server closed the connection"));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            lost(errno);
        }
        into->append(buffer, n);
        deadline = Clock::now() + byteGap;
#ifdef TCP_QUICKACK
        // Acknowledge each piece at once: a server that sends a reply in
        // pieces as they come off its line, with Nagle's algorithm on, holds
        // the next piece until this one is acknowledged, and a delayed
        // acknowledgement would cost up to 40 ms a reply.
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
    }
    return true;
}

#endif
