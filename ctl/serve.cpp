#include "ctl/serve.h"

#include "ctl/cli.h"
#include "ctl/commands.h"
#include "ctl/ctlerror.h"
#include "ctl/metricsbench.h"
#include "ctl/service.h"
#include "ctl/tcpclients.h"
#include "ctl/values.h"
#include "link/frames.h"

#include <QRegularExpression>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <map>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A client may queue this many requests behind the one on the line; one more
// is a flood. Clients that wait for each answer (mbpoll, pymodbus, the
// window, the bridge) never have more than one.
constexpr int MaxWaiting = 8;
// The bytes of one request come in one piece on any network; a request begun
// and not finished within this time is a half frame.
constexpr auto FrameTimeout = std::chrono::seconds(1);
// Bytes of answers a client has not taken: those serve still holds and those
// in the kernel's send queue that the client has not acknowledged. Eight
// waiting answers of 125 registers are 2 KiB; more than this is a client
// that does not read. (What the client's own kernel took and acknowledged
// cannot be seen from here: its receive buffer fills first.)
constexpr int MaxUnread = 16 * 1024;
// A client beyond --max-clients is kept this long for its first request, to
// answer it with ServerBusy instead of a bare close; at most this many at once.
constexpr auto RefusalGrace = std::chrono::seconds(2);
constexpr std::size_t MaxRefusedWaiting = 16;
QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Written by the SIGUSR1 handler, read and cleared by the server's loop.
volatile std::sig_atomic_t g_statsWanted = 0;

void onStatsSignal(int)
{
    g_statsWanted = 1;
}

bool inRanges(const QVector<AddressRange> &ranges, const QByteArray &address)
{
    return std::any_of(ranges.cbegin(), ranges.cend(),
                       [&](const AddressRange &range) { return range.contains(address); });
}

double seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

QString percent(Clock::duration part, Clock::duration whole)
{
    return QString::number(whole.count() > 0 ? 100 * seconds(part) / seconds(whole) : 0, 'f', 1);
}

} // namespace

bool AddressRange::contains(const QByteArray &address) const
{
    for (int bit = 0; bit < bits; bit += 8) {
        const int index = bit / 8;
        const int take = qMin(8, bits - bit);
        const quint8 mask = quint8(0xFF << (8 - take));
        if ((quint8(address.at(index)) & mask) != (quint8(network.at(index)) & mask))
            return false;
    }
    return true;
}

QVector<AddressRange> ParseAllowList(const QString &text, const QString &option)
{
    QVector<AddressRange> ranges;
    for (const QString &piece : text.split(QLatin1Char(','))) {
        const QString item = piece.trimmed();
        const QString host = item.section(QLatin1Char('/'), 0, 0);
        const QString length = item.section(QLatin1Char('/'), 1);
        AddressRange range;
        range.network = QByteArray(16, 0);
        in_addr v4 = {};
        const QByteArray hostBytes = host.toLatin1();
        int widest = 128;
        if (inet_pton(AF_INET, hostBytes.constData(), &v4) == 1) {
            range.network[10] = char(0xFF);
            range.network[11] = char(0xFF);
            std::memcpy(range.network.data() + 12, &v4, 4);
            widest = 32;
        } else if (inet_pton(AF_INET6, hostBytes.constData(), range.network.data()) != 1) {
            Fail(ExitUsage, QStringLiteral("%1 '%2': not an IPv4 or IPv6 address").arg(option, item));
        }
        bool ok = true;
        const int bits = length.isEmpty() ? widest : length.toInt(&ok);
        if (!ok || bits < 0 || bits > widest || (item.contains(QLatin1Char('/')) && length.isEmpty()))
            Fail(ExitUsage, QStringLiteral("%1 '%2': the prefix length is 0 to %3").arg(option, item).arg(widest));
        range.bits = bits + (widest == 32 ? 96 : 0);
        ranges.append(range);
    }
    return ranges;
}

QByteArray PeerAddress(const sockaddr *address)
{
    QByteArray bytes(16, 0);
    if (address->sa_family == AF_INET) {
        bytes[10] = char(0xFF);
        bytes[11] = char(0xFF);
        std::memcpy(bytes.data() + 12, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, 4);
    } else if (address->sa_family == AF_INET6) {
        std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr, 16);
    }
    return bytes;
}

QString PeerText(const sockaddr *address)
{
    const QByteArray bytes = PeerAddress(address);
    const int port = ntohs(address->sa_family == AF_INET ? reinterpret_cast<const sockaddr_in *>(address)->sin_port
                                                          : reinterpret_cast<const sockaddr_in6 *>(address)->sin6_port);
    char text[INET6_ADDRSTRLEN] = {};
    if (bytes.startsWith(QByteArray(10, 0) + QByteArray(2, char(0xFF)))) {
        inet_ntop(AF_INET, bytes.constData() + 12, text, sizeof text);
        return QStringLiteral("%1:%2").arg(QLatin1String(text)).arg(port);
    }
    inet_ntop(AF_INET6, bytes.constData(), text, sizeof text);
    return QStringLiteral("[%1]:%2").arg(QLatin1String(text)).arg(port);
}

void ParseListenAddress(const QString &text, ServeOptions &options)
{
    static const QRegularExpression form(QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([^:\\[\\]]*))(?::(\\d{1,5}))?$"));
    const QRegularExpressionMatch match = form.match(text);
    const int port = match.captured(3).isEmpty() ? options.port : match.captured(3).toInt();
    const QString host = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
    if (!match.hasMatch() || port > 65535 || (host.isEmpty() && match.captured(3).isEmpty()))
        Fail(ExitUsage, QStringLiteral("--listen '%1': not ADDR, ADDR:PORT, :PORT or [IPV6]:PORT with a port of 0 "
                                       "to 65535 (0: one the system picks)")
                            .arg(text));
    if (!host.isEmpty())
        options.host = host;
    options.port = port;
}

namespace {

// One Modbus TCP server over one serial line, in one thread: a poll() over
// the listening socket and the clients between transactions, and one
// transaction at a time on the line. Clients take turns: the next request
// is the first waiting of the client after the one served last, so a client
// that queues many gets no more of the line than one that waits for each
// answer. While the line is busy the sockets wait in the kernel; nothing a
// client does can hold the line or the other clients up.
class BusServer
{
public:
    BusServer(const LineOptions &line, const ServeOptions &options, std::FILE *err);
    ~BusServer();
    BusServer(const BusServer &) = delete;
    BusServer &operator=(const BusServer &) = delete;

    int run();

private:
    // What a client or a unit id had from the line.
    struct Tally {
        qint64 requests = 0;
        qint64 exceptions = 0; // answers that were exceptions, serve's own included
        Clock::duration busy{}; // on the line for its requests
    };
    struct Client {
        int fd = -1;
        quint64 id = 0;
        QString peer;
        bool mayWrite = true;
        QByteArray in;
        QByteArray out;
        QVector<MbapFrame> waiting;
        Clock::time_point partialSince; // when the unfinished request in `in` began
        Clock::time_point since;        // connected
        Clock::time_point lastActive;   // its last request or answer
        int answered = 0;
        Tally tally;
        QString ending; // why it goes, once it goes
    };
    // A client beyond --max-clients, waiting for its first request to be
    // answered with ServerBusy.
    struct Refused {
        int fd = -1;
        QByteArray in;
        Clock::time_point since;
        bool answered = false; // then only read to its end, so the close does not reset the answer away
        bool done = false;
    };

    void listen();
    void acceptClients();
    void readFrom(Client &client);
    void readRefused(Refused &refused);
    void logStats();
    void flush(Client &client);
    void send(Client &client, const QByteArray &frame);
    void end(Client &client, const QString &why);
    void sweep();
    Client *nextTurn();
    void serveOne();
    void log(const QString &text);
    int pollTimeoutMs() const;

    LineOptions m_line;
    ServeOptions m_options;
    std::FILE *m_err;
    PortKeeper m_port;
    modbus_t *m_listener = nullptr;
    int m_listenFd = -1;
    QString m_where; // the address listened on, as the log gives it
    std::vector<Client> m_clients;
    std::vector<Refused> m_refused;
    std::map<int, Tally> m_units;
    Clock::time_point m_nextStats;
    quint64 m_nextId = 1;
    quint64 m_lastServed = 0;
    Clock::time_point m_started;
    Clock::duration m_busy{};
    qint64 m_transactions = 0;
};

LineOptions withoutRetries(LineOptions line)
{
    line.retries = 0;
    return line;
}

BusServer::BusServer(const LineOptions &line, const ServeOptions &options, std::FILE *err)
    : m_line(line), m_options(options), m_err(err),
      m_port(withoutRetries(line), err, QStringLiteral("answering 0x0B meanwhile"))
{
}

BusServer::~BusServer()
{
    for (Client &client : m_clients)
        ::close(client.fd);
    for (Refused &refused : m_refused)
        ::close(refused.fd);
    if (m_listenFd != -1)
        ::close(m_listenFd);
    if (m_listener)
        modbus_free(m_listener);
}

void BusServer::log(const QString &text)
{
    PrintLine(m_err, QStringLiteral("psuctl: %1: %2").arg(TimeNow(), text));
}

void BusServer::listen()
{
    const QByteArray host = m_options.host.toLatin1();
    const QByteArray port = QByteArray::number(m_options.port);
    const bool v6 = m_options.host.contains(QLatin1Char(':'));
    const QString where = QStringLiteral("%1%2%3:%4")
                              .arg(v6 ? QStringLiteral("[") : QString(), m_options.host,
                                   v6 ? QStringLiteral("]") : QString())
                              .arg(m_options.port);
    m_listener = modbus_new_tcp_pi(host.constData(), port.constData());
    if (m_listener)
        m_listenFd = modbus_tcp_pi_listen(m_listener, 64);
    if (m_listenFd == -1)
        Fail(ExitPort, QStringLiteral("cannot listen on %1: %2").arg(where, systemText(errno)));
    ::fcntl(m_listenFd, F_SETFL, ::fcntl(m_listenFd, F_GETFL) | O_NONBLOCK);
    // Port 0 is one the system picks: the log says which.
    sockaddr_storage bound = {};
    socklen_t length = sizeof bound;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&bound), &length);
    m_where = PeerText(reinterpret_cast<const sockaddr *>(&bound));
}

void BusServer::acceptClients()
{
    for (;;) {
        sockaddr_storage address = {};
        socklen_t length = sizeof address;
        const int fd = ::accept4(m_listenFd, reinterpret_cast<sockaddr *>(&address), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd == -1)
            return;
        const sockaddr *peer = reinterpret_cast<const sockaddr *>(&address);
        const QString text = PeerText(peer);
        const QByteArray bytes = PeerAddress(peer);
        const bool allowed = m_options.allow.isEmpty() || inRanges(m_options.allow, bytes);
        if (!allowed || int(m_clients.size()) >= m_options.maxClients) {
            // Logged first, so the line is there by the time the client sees the end.
            log(QStringLiteral("client %1 refused: %2")
                    .arg(text, allowed ? QStringLiteral("%1 clients already (--max-clients)").arg(m_options.maxClients)
                                       : QStringLiteral("not in --allow")));
            // One of ours that found no place is told so in Modbus, when it
            // asks; a stranger is told nothing.
            if (m_options.metrics)
                m_options.metrics->clientRefusal(text, allowed ? "place" : "address");
            if (allowed && m_refused.size() < MaxRefusedWaiting)
                m_refused.push_back(Refused{fd, QByteArray(), Clock::now()});
            else
                ::close(fd);
            continue;
        }
        TuneClientSocket(fd);
        Client client;
        client.fd = fd;
        client.id = m_nextId++;
        client.peer = text;
        client.mayWrite = !m_options.readOnly && (m_options.writers.isEmpty() || inRanges(m_options.writers, bytes));
        client.since = client.lastActive = Clock::now();
        m_clients.push_back(client);
        log(QStringLiteral("client %1 connected (%2 of %3)").arg(text).arg(m_clients.size()).arg(m_options.maxClients));
    }
}

void BusServer::end(Client &client, const QString &why)
{
    if (client.ending.isEmpty())
        client.ending = why;
}

void BusServer::readFrom(Client &client)
{
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::recv(client.fd, chunk, sizeof chunk, 0);
        if (got == 0)
            return end(client, QStringLiteral("left"));
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                end(client, QStringLiteral("gone (%1)").arg(systemText(errno)));
            break;
        }
        client.lastActive = Clock::now();
        if (client.in.isEmpty())
            client.partialSince = client.lastActive;
        client.in.append(chunk, int(got));
        MbapFrame request;
        for (;;) {
            const MbapCut cut = CutMbapFrame(client.in, request);
            if (cut == MbapCut::Junk)
                return end(client, QStringLiteral("cut off: not Modbus TCP (%1)")
                                       .arg(QString::fromLatin1(client.in.left(8).toHex(' '))));
            if (cut == MbapCut::Incomplete)
                break;
            client.waiting.append(request);
            client.partialSince = Clock::now();
            if (client.waiting.size() > MaxWaiting)
                return end(client, QStringLiteral("cut off: more than %1 requests waiting").arg(MaxWaiting));
        }
    }
}

void BusServer::readRefused(Refused &refused)
{
    char chunk[512];
    for (;;) {
        const ssize_t got = ::recv(refused.fd, chunk, sizeof chunk, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            refused.done = true;
            return;
        }
        if (got < 0 || refused.answered)
            return;
        refused.in.append(chunk, int(got));
        MbapFrame request;
        const MbapCut cut = CutMbapFrame(refused.in, request);
        if (cut == MbapCut::Junk)
            refused.done = true;
        if (cut != MbapCut::Frame)
            continue;
        const QByteArray busy = MbapBytes(request.transaction, request.unit,
                                         ExceptionPdu(quint8(request.pdu.at(0)), ServerBusy));
        ::send(refused.fd, busy.constData(), size_t(busy.size()), MSG_NOSIGNAL);
        ::shutdown(refused.fd, SHUT_WR);
        refused.answered = true;
    }
}

void BusServer::flush(Client &client)
{
    const QString why = SendWaiting(client.fd, client.out, MaxUnread);
    if (!why.isEmpty())
        end(client, why);
}

void BusServer::send(Client &client, const QByteArray &frame)
{
    ++client.answered;
    client.lastActive = Clock::now();
    client.out.append(frame);
    flush(client);
}

void BusServer::sweep()
{
    const Clock::time_point now = Clock::now();
    for (Client &client : m_clients) {
        if (client.ending.isEmpty() && !client.in.isEmpty() && now - client.partialSince > FrameTimeout)
            end(client, QStringLiteral("cut off: %1 bytes of a request and no more within %2 s")
                            .arg(client.in.size())
                            .arg(std::chrono::duration_cast<std::chrono::seconds>(FrameTimeout).count()));
        const bool quiet = client.in.isEmpty() && client.waiting.isEmpty() && client.out.isEmpty();
        if (client.ending.isEmpty() && quiet && m_options.idleSeconds > 0
            && now - client.lastActive > std::chrono::seconds(m_options.idleSeconds))
            end(client, QStringLiteral("cut off: idle for %1 s (--idle)").arg(m_options.idleSeconds));
    }
    for (auto it = m_refused.begin(); it != m_refused.end();) {
        if (!it->done && now - it->since < RefusalGrace) {
            ++it;
            continue;
        }
        ::close(it->fd);
        it = m_refused.erase(it);
    }
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        if (it->ending.isEmpty()) {
            ++it;
            continue;
        }
        log(QStringLiteral("client %1 %2 after %3 answers").arg(it->peer, it->ending).arg(it->answered));
        ::close(it->fd);
        it = m_clients.erase(it);
    }
}

BusServer::Client *BusServer::nextTurn()
{
    Client *first = nullptr;
    for (Client &client : m_clients) {
        if (client.waiting.isEmpty() || !client.ending.isEmpty())
            continue;
        if (client.id > m_lastServed)
            return &client;
        if (!first)
            first = &client;
    }
    return first;
}

void BusServer::serveOne()
{
    Client *client = nextTurn();
    if (!client)
        return;
    m_lastServed = client->id;
    const MbapFrame request = client->waiting.takeFirst();
    const quint8 function = quint8(request.pdu.at(0));
    Tally &unit = m_units[request.unit];
    ++client->tally.requests;
    ++unit.requests;
    QByteArray answer = RequestFault(request.unit, request.pdu);
    QString why;
    if (answer.isEmpty())
        answer = RequestRefusal(request.unit, request.pdu, client->mayWrite, m_options, &why);
    if (m_options.metrics)
        m_options.metrics->clientRequest(client->peer, !why.isEmpty());
    if (!why.isEmpty())
        log(QStringLiteral("client %1: a write to unit %2 at 0x%3 refused, %4: answered exception %5")
                .arg(client->peer)
                .arg(request.unit)
                .arg(RegisterAt(request.pdu, 1), 4, 16, QLatin1Char('0'))
                .arg(why)
                .arg(quint8(answer.at(1)), 2, 16, QLatin1Char('0')));
    RtuMaster *master = m_port.ready();
    if (answer.isEmpty() && !master)
        answer = ExceptionPdu(function, GatewayTargetFailed);
    // Nothing answers a broadcast on the line: its client need not wait for
    // the silence after it.
    const bool broadcast = answer.isEmpty() && IsBroadcastWrite(request.unit, request.pdu);
    if (broadcast)
        send(*client, MbapBytes(request.transaction, request.unit, WriteAcknowledgement(request.pdu)));
    if (answer.isEmpty()) {
        const Clock::time_point begun = Clock::now();
        try {
            answer = CarryOut(*master, m_line.retries, request.unit, request.pdu);
        } catch (const BusError &error) {
            if (!error.isPortFailure())
                throw;
            m_port.lost(error.text());
            answer = FailureAnswer(function, error);
        }
        const Clock::duration busy = Clock::now() - begun;
        m_busy += busy;
        client->tally.busy += busy;
        unit.busy += busy;
        ++m_transactions;
    }
    if (m_options.metrics)
        m_options.metrics->passingRead(request.unit, request.pdu, answer);
    if (quint8(answer.at(0)) & 0x80) {
        ++client->tally.exceptions;
        ++unit.exceptions;
    }
    // The client may have gone meanwhile; then its answer goes nowhere and
    // the socket's error ends it.
    if (!broadcast)
        send(*client, MbapBytes(request.transaction, request.unit, answer));
}

void BusServer::logStats()
{
    const Clock::time_point now = Clock::now();
    const Clock::duration running = now - m_started;
    log(QStringLiteral("statistics after %1 s: %2 transactions, the line busy %3 %, %4 clients")
            .arg(seconds(running), 0, 'f', 1)
            .arg(m_transactions)
            .arg(percent(m_busy, running))
            .arg(m_clients.size()));
    for (const Client &client : m_clients)
        log(QStringLiteral("statistics: client %1: %2 requests, %3 exceptions, the line busy for it %4 % of its %5 s")
                .arg(client.peer)
                .arg(client.tally.requests)
                .arg(client.tally.exceptions)
                .arg(percent(client.tally.busy, now - client.since))
                .arg(seconds(now - client.since), 0, 'f', 1));
    for (const auto &[unit, tally] : m_units)
        log(QStringLiteral("statistics: unit %1: %2 requests, %3 exceptions, the line busy for it %4 %")
                .arg(unit)
                .arg(tally.requests)
                .arg(tally.exceptions)
                .arg(percent(tally.busy, running)));
}

int BusServer::pollTimeoutMs() const
{
    for (const Client &client : m_clients) {
        if (!client.waiting.isEmpty())
            return 0;
    }
    Clock::time_point due = Clock::now() + std::chrono::milliseconds(250);
    if (m_port.isLost())
        due = std::min(due, m_port.nextTry());
    for (const Client &client : m_clients) {
        if (!client.in.isEmpty())
            due = std::min(due, client.partialSince + FrameTimeout + std::chrono::milliseconds(1));
    }
    return int(std::max<qint64>(0, std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count()));
}

int BusServer::run()
{
    listen();
    m_port.open();
    log(QStringLiteral("serving %1 on %2").arg(m_port.ready()->device(), m_where));
    CatchStopSignals();
    struct sigaction action = {};
    action.sa_handler = onStatsSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
    g_statsWanted = 0;
    m_started = Clock::now();
    const auto statsEvery = std::chrono::minutes(m_options.statsEveryMinutes);
    m_nextStats = m_started + statsEvery;
    std::vector<pollfd> fds;
    while (!StopRequested()) {
        fds.assign(1, pollfd{m_listenFd, POLLIN, 0});
        for (const Client &client : m_clients)
            fds.push_back(pollfd{client.fd, short(POLLIN | (client.out.isEmpty() ? 0 : POLLOUT)), 0});
        const std::size_t clients = m_clients.size();
        for (const Refused &refused : m_refused)
            fds.push_back(pollfd{refused.fd, POLLIN, 0});
        if (::poll(fds.data(), nfds_t(fds.size()), pollTimeoutMs()) == -1 && errno != EINTR)
            Fail(ExitPort, QStringLiteral("poll: %1").arg(systemText(errno)));
        // The clients polled are the first of m_clients, and the refused ones
        // the first of m_refused: new ones go behind.
        for (std::size_t i = 1; i <= clients; ++i) {
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                readFrom(m_clients[i - 1]);
            if (fds[i].revents & POLLOUT)
                flush(m_clients[i - 1]);
        }
        for (std::size_t i = clients + 1; i < fds.size(); ++i) {
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                readRefused(m_refused[i - clients - 1]);
        }
        if (g_statsWanted || (statsEvery.count() > 0 && Clock::now() >= m_nextStats)) {
            g_statsWanted = 0;
            logStats();
            while (statsEvery.count() > 0 && m_nextStats <= Clock::now())
                m_nextStats += statsEvery;
        }
        // Those that went make room for those that come.
        sweep();
        if (fds[0].revents & POLLIN)
            acceptClients();
        // A lost port is tried again when due, whether or not a request waits.
        m_port.ready();
        serveOne();
        sweep();
    }
    logStats();
    for (Client &client : m_clients)
        end(client, QStringLiteral("closed as serve ends"));
    sweep();
    const Clock::duration running = Clock::now() - m_started;
    log(QStringLiteral("serve ends after %1 transactions; the line was busy %2 % of %3 s")
            .arg(m_transactions)
            .arg(percent(m_busy, running))
            .arg(seconds(running), 0, 'f', 1));
    return ExitSuccess;
}

} // namespace

int RunBusServer(const LineOptions &line, const ServeOptions &options, std::FILE *err)
{
    BusServer server(line, options, err);
    return server.run();
}

void CheckServe(const Invocation &inv)
{
    try {
        ServeOptions options;
        if (inv.has("listen"))
            ParseListenAddress(inv.text("listen"), options);
        if (inv.has("allow"))
            ParseAllowList(inv.text("allow"));
        if (inv.has("allow-write"))
            ParseAllowList(inv.text("allow-write"), QStringLiteral("--allow-write"));
        if (inv.has("read-only") && inv.has("allow-write"))
            Fail(ExitUsage, QStringLiteral("--read-only and --allow-write: one or the other"));
    } catch (const CtlError &error) {
        UsageError(error.text(), inv.command);
    }
}

int RunServe(const Invocation &inv, std::FILE *, std::FILE *err)
{
    ServeOptions options;
    if (inv.has("listen"))
        ParseListenAddress(inv.text("listen"), options);
    if (inv.has("allow"))
        options.allow = ParseAllowList(inv.text("allow"));
    if (inv.has("allow-write"))
        options.writers = ParseAllowList(inv.text("allow-write"), QStringLiteral("--allow-write"));
    options.maxClients = inv.whole("max-clients", options.maxClients);
    options.readOnly = inv.has("read-only");
    options.allowBroadcast = inv.has("allow-broadcast");
    options.allowAddressChange = inv.has("allow-address-change");
    options.idleSeconds = inv.whole("idle", options.idleSeconds);
    options.statsEveryMinutes = inv.whole("stats-every", options.statsEveryMinutes);
    LineOptions line = inv.line;
    const std::unique_ptr<MetricsFace> metrics = StartMetrics(inv, line, err);
    options.metrics = metrics ? &metrics->metrics : nullptr;
    return RunBusServer(line, options, err);
}
