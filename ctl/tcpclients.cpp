#include "ctl/tcpclients.h"

#include <cerrno>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

void TuneClientSocket(int fd)
{
    // Answers go out at once, not after Nagle's wait for more.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // A client whose machine died sends no end: after a minute of silence
    // it is asked three times, 10 s apart, and then counts as gone, so it
    // does not hold a place of --max-clients for ever.
    const int idleSeconds = 60;
    const int intervalSeconds = 10;
    const int probes = 3;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    // The same limit for an answer it never acknowledges.
    const unsigned userTimeoutMs = (idleSeconds + probes * intervalSeconds) * 1000;
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
}

QString SendWaiting(int fd, QByteArray &out, int maxUnread)
{
    while (!out.isEmpty()) {
        const ssize_t sent = ::send(fd, out.constData(), size_t(out.size()), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return QStringLiteral("gone (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)));
            break;
        }
        out.remove(0, int(sent));
    }
    int unacknowledged = 0;
    ::ioctl(fd, SIOCOUTQ, &unacknowledged);
    if (out.size() + unacknowledged > maxUnread)
        return QStringLiteral("cut off: does not read its answers (%1 bytes unread)").arg(out.size() + unacknowledged);
    return QString();
}
