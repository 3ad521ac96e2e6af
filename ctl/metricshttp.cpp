#include "ctl/metricshttp.h"

#include "ctl/ctlerror.h"
#include "ctl/serve.h"
#include "ctl/service.h"

#include <QRegularExpression>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char *reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 414:
        return "URI Too Long";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Bad Request";
    }
}

std::string answerBytes(const HttpAnswer &answer, const std::function<std::string()> &page)
{
    std::string body = answer.status == 200 ? page() : std::string(reason(answer.status)) + '\n';
    std::string head = "HTTP/1.1 " + std::to_string(answer.status) + ' ' + reason(answer.status) + "\r\n";
    head += answer.status == 200 ? "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                                 : "Content-Type: text/plain; charset=utf-8\r\n";
    if (answer.status == 405)
        head += "Allow: GET, HEAD\r\n";
    head += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    return answer.withBody ? head + body : head;
}

struct Connection {
    int fd = -1;
    std::string in;
    std::string out;
    std::size_t sent = 0;
    bool answering = false;
    Clock::time_point since;
};

} // namespace

HttpAnswer AnswerTo(const std::string &head)
{
    const std::size_t lineEnd = head.find("\r\n");
    const std::string line = head.substr(0, lineEnd);
    if (line.size() > std::size_t(MetricsHttpServer::MaxRequestLine))
        return {414, true};
    const std::size_t firstSpace = line.find(' ');
    const std::size_t secondSpace = line.find(' ', firstSpace + 1);
    if (firstSpace == std::string::npos || secondSpace == std::string::npos
        || line.compare(secondSpace + 1, 7, "HTTP/1.") != 0 || line.find(' ', secondSpace + 1) != std::string::npos)
        return {400, true};
    const std::string method = line.substr(0, firstSpace);
    const std::string target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const bool head_ = method == "HEAD";
    if (method != "GET" && !head_)
        return {405, true};
    if (target.substr(0, target.find('?')) != "/metrics")
        return {404, !head_};
    return {200, !head_};
}

void ParseMetricsAddress(const QString &text, QString *host, int *port)
{
    static const QRegularExpression form(QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([^:\\[\\]]*)):(\\d{1,5})$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch() || match.captured(3).toInt() > 65535)
        Fail(ExitUsage, QStringLiteral("--metrics '%1': not ADDR:PORT, :PORT or [IPV6]:PORT with a port of 0 to 65535 "
                                       "(0: one the system picks)")
                            .arg(text));
    *host = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
    if (host->isEmpty())
        *host = QStringLiteral("127.0.0.1");
    *port = match.captured(3).toInt();
}

MetricsHttpServer::MetricsHttpServer(std::function<std::string()> page) : m_page(std::move(page)) {}

MetricsHttpServer::~MetricsHttpServer()
{
    if (m_thread.joinable()) {
        const char stop = 's';
        while (::write(m_wake[1], &stop, 1) == -1 && errno == EINTR) {
        }
        m_thread.join();
    }
    for (const int fd : {m_listenFd, m_wake[0], m_wake[1]}) {
        if (fd != -1)
            ::close(fd);
    }
}

void MetricsHttpServer::start(const QString &host, int port)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const QString where = QStringLiteral("%1:%2").arg(host).arg(port);
    const int looked = ::getaddrinfo(host.toLatin1().constData(), QByteArray::number(port).constData(), &hints, &found);
    if (looked != 0)
        Fail(ExitPort, QStringLiteral("--metrics %1: %2").arg(where, QString::fromLocal8Bit(::gai_strerror(looked))));
    int error = 0;
    for (addrinfo *at = found; at && m_listenFd == -1; at = at->ai_next) {
        const int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (fd != -1 && ::bind(fd, at->ai_addr, at->ai_addrlen) == 0 && ::listen(fd, 16) == 0) {
            m_listenFd = fd;
            break;
        }
        error = errno;
        if (fd != -1)
            ::close(fd);
    }
    ::freeaddrinfo(found);
    if (m_listenFd == -1)
        Fail(ExitPort, QStringLiteral("cannot listen on %1 for the metrics: %2")
                           .arg(where, QString::fromLocal8Bit(std::strerror(error))));
    sockaddr_storage bound = {};
    socklen_t length = sizeof bound;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&bound), &length);
    m_where = PeerText(reinterpret_cast<const sockaddr *>(&bound));
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) == -1)
        Fail(ExitPort, QStringLiteral("metrics: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    // The stop signals belong to the thread that works the bus: this one
    // starts with them blocked.
    sigset_t before;
    BlockStopSignals(&before);
    m_thread = std::thread(&MetricsHttpServer::run, this);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void MetricsHttpServer::run()
{
    // Named, so that a look at the process's threads finds its share of the time.
    pthread_setname_np(pthread_self(), "psuctl-metrics");
    std::vector<Connection> connections;
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign({pollfd{m_wake[0], POLLIN, 0}, pollfd{m_listenFd, POLLIN, 0}});
        for (const Connection &c : connections)
            fds.push_back(pollfd{c.fd, short(c.answering ? POLLOUT : POLLIN), 0});
        ::poll(fds.data(), nfds_t(fds.size()), 500);
        if (fds[0].revents)
            return;
        const Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection &c = connections[i];
            const short events = fds[i + 2].revents;
            if (!c.answering && (events & (POLLIN | POLLHUP | POLLERR))) {
                char chunk[2048];
                const ssize_t got = ::recv(c.fd, chunk, sizeof chunk, 0);
                if (got <= 0 && !(got < 0 && (errno == EAGAIN || errno == EINTR))) {
                    c.since = Clock::time_point(); // gone: closed below
                    continue;
                }
                if (got > 0)
                    c.in.append(chunk, std::size_t(got));
                const std::size_t end = c.in.find("\r\n\r\n");
                const bool lineTooLong = c.in.find("\r\n") == std::string::npos && c.in.size() > std::size_t(MaxRequestLine);
                HttpAnswer answer;
                if (end != std::string::npos && end + 4 <= std::size_t(MaxHead))
                    answer = AnswerTo(c.in.substr(0, end + 4));
                else if (lineTooLong)
                    answer = {414, true};
                else if (c.in.size() > std::size_t(MaxHead))
                    answer = {431, true};
                else
                    continue;
                c.out = answerBytes(answer, m_page);
                c.answering = true;
                c.since = now;
            }
            if (c.answering && (events & (POLLOUT | POLLHUP | POLLERR))) {
                const ssize_t sent = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
                if (sent > 0)
                    c.sent += std::size_t(sent);
                else if (!(sent < 0 && (errno == EAGAIN || errno == EINTR)))
                    c.since = Clock::time_point();
            }
        }
        // Answered, gone or too slow: closed.
        for (auto it = connections.begin(); it != connections.end();) {
            const auto limit = std::chrono::milliseconds(it->answering ? AnswerTimeoutMs : HeadTimeoutMs);
            const bool done = it->answering && it->sent == it->out.size();
            if (!done && now - it->since < limit) {
                ++it;
                continue;
            }
            if (done)
                ::shutdown(it->fd, SHUT_WR);
            ::close(it->fd);
            it = connections.erase(it);
        }
        if (fds[1].revents & POLLIN) {
            for (;;) {
                const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd == -1)
                    break;
                if (connections.size() >= std::size_t(MaxClients)) {
                    ::close(fd);
                    continue;
                }
                connections.push_back(Connection{fd, {}, {}, 0, false, now});
            }
        }
    }
}
