#include "plan/scpiclient.h"

#include <QStringList>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

speed_t speedOf(int baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

} // namespace

ScpiClient::ScpiClient(const QString &link, double timeoutSeconds)
    : m_link(link), m_timeoutMs(std::max(1, int(std::lround(timeoutSeconds * 1000))))
{
}

ScpiClient::~ScpiClient()
{
    close();
}

void ScpiClient::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_pending.clear();
}

void ScpiClient::open()
{
    close();
    if (m_link.startsWith(QLatin1String("tcp://"))) {
        const QString rest = m_link.mid(6);
        const int colon = rest.lastIndexOf(QLatin1Char(':'));
        bool ok = colon > 0;
        const int port = ok ? rest.mid(colon + 1).toInt(&ok) : 0;
        if (!ok || port < 1 || port > 65535)
            throw ScpiError(ScpiError::Unreachable, QStringLiteral("%1: not tcp://HOST:PORT").arg(m_link));
        QString host = rest.left(colon);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        openSocket(host, port);
    } else if (m_link.startsWith(QLatin1String("serial:"))) {
        openSerial(m_link.mid(7));
    } else if (m_link.startsWith(QLatin1String("/dev/"))) {
        m_fd = ::open(m_link.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            throw ScpiError(ScpiError::Unreachable, QStringLiteral("%1: %2").arg(m_link, systemText(errno)));
    } else {
        throw ScpiError(ScpiError::Unreachable,
                        QStringLiteral("%1: a link is tcp://HOST:PORT, /dev/usbtmcN or serial:DEVICE:BAUD:8N1").arg(m_link));
    }
}

void ScpiClient::openSocket(const QString &host, int port)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int rc = ::getaddrinfo(host.toUtf8().constData(), QByteArray::number(port).constData(), &hints, &found);
    if (rc != 0)
        throw ScpiError(ScpiError::Unreachable, QStringLiteral("%1: %2").arg(m_link, QString::fromLocal8Bit(gai_strerror(rc))));
    int lastError = ETIMEDOUT;
    for (addrinfo *a = found; a && m_fd < 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0 || errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int error = 0;
            socklen_t length = sizeof error;
            if (::poll(&p, 1, m_timeoutMs) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0
                && error == 0) {
                m_fd = fd;
                break;
            }
            lastError = error ? error : ETIMEDOUT;
        } else {
            lastError = errno;
        }
        ::close(fd);
    }
    ::freeaddrinfo(found);
    if (m_fd < 0)
        throw ScpiError(ScpiError::Unreachable, QStringLiteral("%1: %2").arg(m_link, systemText(lastError)));
}

void ScpiClient::openSerial(const QString &settings)
{
    // DEVICE:BAUD:8N1, the frame optional (8N1).
    const QStringList parts = settings.split(QLatin1Char(':'));
    bool ok = parts.size() >= 2;
    const int baud = ok ? parts.at(1).toInt(&ok) : 0;
    const QString frame = parts.value(2, QStringLiteral("8N1")).toUpper();
    if (!ok || speedOf(baud) == B0 || parts.size() > 3 || frame.size() != 3 || !QStringLiteral("5678").contains(frame[0])
        || !QStringLiteral("NEO").contains(frame[1]) || !QStringLiteral("12").contains(frame[2]))
        throw ScpiError(ScpiError::Unreachable, QStringLiteral("%1: not serial:DEVICE:BAUD[:8N1]").arg(m_link));
    m_fd = ::open(parts.at(0).toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        throw ScpiError(ScpiError::Unreachable, QStringLiteral("%1: %2").arg(m_link, systemText(errno)));
    termios tio{};
    if (::tcgetattr(m_fd, &tio) != 0) {
        const int error = errno;
        close();
        throw ScpiError(ScpiError::Unreachable, QStringLiteral("%1: %2").arg(m_link, systemText(error)));
    }
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, speedOf(baud));
    ::cfsetospeed(&tio, speedOf(baud));
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB);
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= sizes[frame[0].unicode() - '5'] | CLOCAL | CREAD;
    if (frame[1] != QLatin1Char('N'))
        tio.c_cflag |= PARENB | (frame[1] == QLatin1Char('O') ? PARODD : 0);
    if (frame[2] == QLatin1Char('2'))
        tio.c_cflag |= CSTOPB;
    ::tcsetattr(m_fd, TCSANOW, &tio);
}

void ScpiClient::lost(const QString &why)
{
    close();
    throw ScpiError(ScpiError::Lost, QStringLiteral("%1: %2").arg(m_link, why));
}

void ScpiClient::write(const QString &command)
{
    if (m_fd < 0)
        open();
    QByteArray bytes = command.toLatin1() + '\n';
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_timeoutMs);
    while (!bytes.isEmpty()) {
        const ssize_t n = ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
        const int error = errno;
        if (n < 0 && error == ENOTSOCK) {
            const ssize_t w = ::write(m_fd, bytes.constData(), size_t(bytes.size()));
            if (w < 0 && errno != EAGAIN && errno != EINTR)
                lost(systemText(errno));
            if (w > 0)
                bytes.remove(0, int(w));
        } else if (n < 0 && error != EAGAIN && error != EINTR) {
            lost(systemText(error));
        } else if (n > 0) {
            bytes.remove(0, int(n));
        }
        if (bytes.isEmpty())
            break;
        pollfd p{m_fd, POLLOUT, 0};
        if (::poll(&p, 1, msLeft(deadline)) <= 0)
            throw ScpiError(ScpiError::Timeout, QStringLiteral("%1: '%2' could not be sent in time").arg(m_link, command));
    }
}

QByteArray ScpiClient::readLine(const QString &command)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_timeoutMs);
    for (;;) {
        const int end = m_pending.indexOf('\n');
        if (end >= 0) {
            QByteArray line = m_pending.left(end);
            m_pending.remove(0, end + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            return line;
        }
        if (m_pending.size() > MaxAnswer)
            lost(QStringLiteral("an answer to '%1' of more than %2 bytes without a line end").arg(command).arg(MaxAnswer));
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, msLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            throw ScpiError(ScpiError::Timeout,
                            QStringLiteral("%1: no answer to '%2' within %3 s").arg(m_link, command).arg(m_timeoutMs / 1000.0));
        char buffer[4096];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n == 0)
            lost(QStringLiteral("the instrument closed the link"));
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            lost(systemText(errno));
        }
        m_pending.append(buffer, int(n));
    }
}

QString ScpiClient::query(const QString &command)
{
    m_pending.clear(); // an answer nobody asked for is not this one's
    write(command);
    return QString::fromLatin1(readLine(command)).trimmed();
}

double ScpiClient::queryNumber(const QString &command)
{
    const QString answer = query(command);
    bool ok = false;
    const double value = answer.toDouble(&ok);
    // 9.9E37 is the overload an instrument answers for a reading beyond its range.
    if (!ok || !std::isfinite(value) || std::abs(value) >= 9.9e37)
        throw ScpiError(ScpiError::Instrument, QStringLiteral("%1: '%2' answered '%3', not a reading").arg(m_link, command, answer));
    return value;
}

void ScpiClient::checkErrors(const QString &errorQuery, const QString &command)
{
    QString first;
    // A queue holds a bounded number of errors; more than that is an
    // instrument that does not empty it.
    for (int i = 0; i < 32; ++i) {
        const QString answer = query(errorQuery);
        bool ok = false;
        const int code = answer.section(QLatin1Char(','), 0, 0).trimmed().toInt(&ok);
        if (!ok)
            throw ScpiError(ScpiError::Instrument, QStringLiteral("%1: '%2' answered '%3', not an error entry").arg(m_link, errorQuery, answer));
        if (code == 0)
            break;
        if (first.isEmpty())
            first = answer;
    }
    if (!first.isEmpty())
        throw ScpiError(ScpiError::Instrument, QStringLiteral("%1: '%2' gave %3").arg(m_link, command, first));
}
