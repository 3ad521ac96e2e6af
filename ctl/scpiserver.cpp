#include "ctl/scpiserver.h"

#include "ctl/cli.h"
#include "ctl/ctlerror.h"
#include "ctl/metricsbench.h"
#include "ctl/service.h"
#include "ctl/tcpclients.h"
#include "ctl/values.h"
#include "link/modelcatalogue.h"

#include <QList>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// The longest program message taken; the rest of a longer one, up to its
// newline, is read off and dropped with -100 in the queue. No message a
// supply's commands make comes near it.
constexpr int MaxMessage = 16 * 1024;
// Messages read ahead of the one carried out; beyond them the client's bytes
// wait in the kernel, so a client that sends faster than the line answers is
// slowed down, not cut off.
constexpr int MaxWaiting = 8;
// Answers a client has not taken (held here and unacknowledged in the
// socket's send queue); more is a client that does not read, cut off.
constexpr int MaxUnread = 64 * 1024;

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// One SCPI server over one serial line, in one thread, as serve is: a poll()
// over the listening sockets and the clients between transactions, one
// transaction at a time on the line. Clients take turns, a turn being one
// unit that goes on the line (and those before it that do not): a message of
// many units holds the line no longer than one unit at a time.
class ScpiServer
{
public:
    ScpiServer(const LineOptions &line, const ScpiOptions &options, std::FILE *err);
    ~ScpiServer();
    ScpiServer(const ScpiServer &) = delete;
    ScpiServer &operator=(const ScpiServer &) = delete;

    int run();

private:
    struct Listener {
        int fd = -1;
        ScpiSupply supply;
    };
    struct Message {
        QByteArray text;
        bool overflow = false; // longer than MaxMessage, dropped
    };
    struct Client {
        Client(int fd, const ScpiSupply &supply) : fd(fd), session(supply) {}
        int fd;
        quint64 id = 0;
        int address = 0;
        QString peer;
        QByteArray in;         // the message being read
        bool skipping = false; // the rest of a message too long is read off
        QList<Message> waiting;
        QVector<ScpiCommand> units; // of the message being carried out
        int next = 0;
        QStringList answers;   // its queries' answers so far
        QByteArray out;
        ScpiSession session;   // its status, error queue and tally
        QSet<int> logged;      // the errors already logged for it
        QString ending;        // why it goes, once it goes

        bool hasWork() const { return next < units.size() || !waiting.isEmpty(); }
    };

    void listen(const ScpiPort &port);
    void acceptClients(const Listener &listener);
    void readFrom(Client &client);
    void take(Client &client, const char *bytes, int size);
    void flush(Client &client);
    void end(Client &client, const QString &why);
    void sweep();
    Client *nextTurn();
    void serveOne();
    void log(const QString &text);

    LineOptions m_line;
    ScpiOptions m_options;
    std::FILE *m_err;
    PortKeeper m_port;
    std::vector<Listener> m_listeners;
    std::vector<std::unique_ptr<Client>> m_clients;
    quint64 m_nextId = 1;
    quint64 m_lastServed = 0;
};

ScpiServer::ScpiServer(const LineOptions &line, const ScpiOptions &options, std::FILE *err)
    : m_line(line), m_options(options), m_err(err), m_port(line, err, QStringLiteral("queries fail with -200 meanwhile"))
{
}

ScpiServer::~ScpiServer()
{
    for (const auto &client : m_clients)
        ::close(client->fd);
    for (const Listener &listener : m_listeners)
        ::close(listener.fd);
}

void ScpiServer::log(const QString &text)
{
    PrintLine(m_err, QStringLiteral("psuctl: %1: %2").arg(TimeNow(), text));
}

void ScpiServer::listen(const ScpiPort &port)
{
    const bool v6 = m_options.host.contains(QLatin1Char(':'));
    const QString asked = QStringLiteral("%1%2%3:%4")
                              .arg(v6 ? QStringLiteral("[") : QString(), m_options.host,
                                   v6 ? QStringLiteral("]") : QString())
                              .arg(port.port);
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int resolved = ::getaddrinfo(m_options.host.toLatin1().constData(),
                                       QByteArray::number(port.port).constData(), &hints, &found);
    if (resolved != 0)
        Fail(ExitPort, QStringLiteral("cannot listen on %1: %2").arg(asked, QString::fromLocal8Bit(gai_strerror(resolved))));
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    const int off = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // [::] takes IPv4 clients too.
    if (found->ai_family == AF_INET6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    const bool bound = fd != -1 && ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 64) == 0;
    const int error = errno;
    ::freeaddrinfo(found);
    if (!bound) {
        if (fd != -1)
            ::close(fd);
        Fail(ExitPort, QStringLiteral("cannot listen on %1: %2").arg(asked, systemText(error)));
    }
    m_listeners.push_back(Listener{fd, port.supply});
    sockaddr_storage address = {};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    log(QStringLiteral("serving address %1 (%2) of %3 on %4")
            .arg(port.supply.address)
            .arg(QLatin1String(port.supply.model->caption), m_port.ready()->device(),
                 PeerText(reinterpret_cast<const sockaddr *>(&address))));
}

void ScpiServer::acceptClients(const Listener &listener)
{
    for (;;) {
        sockaddr_storage address = {};
        socklen_t length = sizeof address;
        const int fd = ::accept4(listener.fd, reinterpret_cast<sockaddr *>(&address), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd == -1)
            return;
        const sockaddr *peer = reinterpret_cast<const sockaddr *>(&address);
        const QString text = PeerText(peer);
        const QByteArray bytes = PeerAddress(peer);
        const bool allowed = m_options.allow.isEmpty()
                             || std::any_of(m_options.allow.cbegin(), m_options.allow.cend(),
                                            [&](const AddressRange &range) { return range.contains(bytes); });
        if (!allowed || int(m_clients.size()) >= m_options.maxClients) {
            log(QStringLiteral("client %1 refused: %2")
                    .arg(text, allowed ? QStringLiteral("%1 clients already (--max-clients)").arg(m_options.maxClients)
                                       : QStringLiteral("not in --allow")));
            ::close(fd);
            continue;
        }
        TuneClientSocket(fd);
        auto client = std::make_unique<Client>(fd, listener.supply);
        client->id = m_nextId++;
        client->address = listener.supply.address;
        client->peer = text;
        m_clients.push_back(std::move(client));
        log(QStringLiteral("client %1 connected to address %2 (%3 of %4)")
                .arg(text)
                .arg(listener.supply.address)
                .arg(m_clients.size())
                .arg(m_options.maxClients));
    }
}

void ScpiServer::end(Client &client, const QString &why)
{
    if (client.ending.isEmpty())
        client.ending = why;
}

void ScpiServer::readFrom(Client &client)
{
    char chunk[4096];
    while (client.waiting.size() < MaxWaiting && client.ending.isEmpty()) {
        const ssize_t got = ::recv(client.fd, chunk, sizeof chunk, 0);
        if (got == 0)
            return end(client, QStringLiteral("left"));
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                end(client, QStringLiteral("gone (%1)").arg(systemText(errno)));
            return;
        }
        take(client, chunk, int(got));
    }
}

// Cuts what came into messages at each newline (a CR before it is dropped).
void ScpiServer::take(Client &client, const char *bytes, int size)
{
    while (size > 0) {
        const char *newline = static_cast<const char *>(std::memchr(bytes, '\n', size_t(size)));
        const int piece = newline ? int(newline - bytes) : size;
        if (!client.skipping)
            client.in.append(bytes, piece);
        if (!client.skipping && client.in.size() > MaxMessage) {
            client.in.clear();
            client.skipping = true;
            client.waiting.append(Message{QByteArray(), true});
        }
        if (newline) {
            if (!client.skipping) {
                if (client.in.endsWith('\r'))
                    client.in.chop(1);
                client.waiting.append(Message{client.in, false});
            }
            client.in.clear();
            client.skipping = false;
        }
        bytes += piece + (newline ? 1 : 0);
        size -= piece + (newline ? 1 : 0);
    }
}

void ScpiServer::flush(Client &client)
{
    const QString why = SendWaiting(client.fd, client.out, MaxUnread);
    if (!why.isEmpty())
        end(client, why);
}

void ScpiServer::sweep()
{
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        Client &client = **it;
        if (client.ending.isEmpty()) {
            ++it;
            continue;
        }
        const ScpiTally &tally = client.session.tally();
        log(QStringLiteral("client %1 of address %2 %3 after %4 commands (%5 refused)%6")
                .arg(client.peer)
                .arg(client.address)
                .arg(client.ending)
                .arg(tally.commands)
                .arg(tally.refused)
                .arg(client.in.isEmpty() ? QString()
                                         : QStringLiteral("; %1 bytes of an unfinished message dropped").arg(client.in.size())));
        ::close(client.fd);
        it = m_clients.erase(it);
    }
}

ScpiServer::Client *ScpiServer::nextTurn()
{
    Client *first = nullptr;
    for (const auto &client : m_clients) {
        if (!client->hasWork() || !client->ending.isEmpty())
            continue;
        if (client->id > m_lastServed)
            return client.get();
        if (!first)
            first = client.get();
    }
    return first;
}

void ScpiServer::serveOne()
{
    Client *client = nextTurn();
    if (!client)
        return;
    m_lastServed = client->id;
    for (;;) {
        if (client->next >= client->units.size()) {
            if (client->waiting.isEmpty())
                return;
            const Message message = client->waiting.takeFirst();
            client->units = message.overflow ? QVector<ScpiCommand>{} : ParseProgramMessage(message.text);
            client->next = 0;
            client->answers.clear();
            if (message.overflow) {
                ScpiCommand dropped;
                dropped.error = CommandError;
                dropped.detail = QStringLiteral("a message longer than %1 bytes, dropped").arg(MaxMessage);
                client->units = {dropped};
            }
            continue;
        }
        const ScpiCommand &unit = client->units.at(client->next++);
        const bool onLine = ScpiSession::usesLine(unit);
        const int error = client->session.execute(unit, m_port, client->answers);
        if (error && !client->logged.contains(error)) {
            client->logged.insert(error);
            log(QStringLiteral("client %1 of address %2: %3 (each error once per client)")
                    .arg(client->peer)
                    .arg(client->address)
                    .arg(client->session.lastError()));
        }
        const bool done = client->next >= client->units.size();
        if (done && !client->answers.isEmpty()) {
            client->out.append(client->answers.join(QLatin1Char(';')).toLatin1() + '\n');
            client->answers.clear();
            flush(*client);
        }
        // A turn ends with a unit on the line or with its message.
        if (onLine || done)
            return;
    }
}

int ScpiServer::run()
{
    m_port.open();
    int next = m_options.port;
    for (ScpiPort port : m_options.ports) {
        if (!port.port)
            port.port = next ? next++ : 0;
        listen(port);
    }
    CatchStopSignals();
    std::vector<pollfd> fds;
    while (!StopRequested()) {
        fds.clear();
        for (const Listener &listener : m_listeners)
            fds.push_back(pollfd{listener.fd, POLLIN, 0});
        bool work = false;
        for (const auto &client : m_clients) {
            const bool reads = client->waiting.size() < MaxWaiting;
            fds.push_back(pollfd{client->fd, short((reads ? POLLIN : 0) | (client->out.isEmpty() ? 0 : POLLOUT)), 0});
            work = work || client->hasWork();
        }
        const std::size_t clients = m_clients.size();
        if (::poll(fds.data(), nfds_t(fds.size()), work ? 0 : 250) == -1 && errno != EINTR)
            Fail(ExitPort, QStringLiteral("poll: %1").arg(systemText(errno)));
        const std::size_t listeners = m_listeners.size();
        for (std::size_t i = 0; i < clients; ++i) {
            const short events = fds[listeners + i].revents;
            if (events & (POLLIN | POLLHUP | POLLERR))
                readFrom(*m_clients[i]);
            if (events & POLLOUT)
                flush(*m_clients[i]);
        }
        // Those that went make room for those that come.
        sweep();
        for (std::size_t i = 0; i < listeners; ++i) {
            if (fds[i].revents & POLLIN)
                acceptClients(m_listeners[i]);
        }
        serveOne();
        sweep();
    }
    for (const auto &client : m_clients)
        end(*client, QStringLiteral("closed as scpi ends"));
    sweep();
    log(QStringLiteral("scpi ends"));
    return ExitSuccess;
}

} // namespace

QVector<ScpiPort> ParsePortMap(const QString &text)
{
    static const QRegularExpression item(QStringLiteral("^(\\d{1,5})=(\\d{1,3})(?::(.+))?$"));
    QVector<ScpiPort> ports;
    for (const QString &piece : text.split(QLatin1Char(','))) {
        const QRegularExpressionMatch match = item.match(piece.trimmed());
        const int port = match.captured(1).toInt();
        const int address = match.captured(2).toInt();
        if (!match.hasMatch() || port < 1 || port > 65535 || address < 1 || address > 247)
            Fail(ExitUsage, QStringLiteral("--map '%1': not PORT=ADDR[:MODEL] with a port of 1 to 65535 and an "
                                           "address of 1 to 247").arg(piece));
        ScpiPort entry;
        entry.port = port;
        entry.supply.address = address;
        if (!match.captured(3).isEmpty()) {
            entry.supply.model = FindModel(ModelItemFromText(match.captured(3)));
            if (!entry.supply.model)
                Fail(ExitUsage, QStringLiteral("--map '%1': no such model ('psuctl models' lists them)").arg(piece));
        }
        for (const ScpiPort &known : ports) {
            if (known.port == port || known.supply.address == address)
                Fail(ExitUsage, QStringLiteral("--map '%1': port or address given twice").arg(piece));
        }
        ports.append(entry);
    }
    return ports;
}

int RunScpiServer(const LineOptions &line, const ScpiOptions &options, std::FILE *err)
{
    ScpiServer server(line, options, err);
    return server.run();
}

namespace {

// The options as scpi reads them; raises CtlError (ExitUsage).
ScpiOptions scpiOptions(const Invocation &inv)
{
    ScpiOptions options;
    ServeOptions listen;
    listen.port = options.port;
    if (inv.has("listen"))
        ParseListenAddress(inv.text("listen"), listen);
    options.host = listen.host;
    options.port = listen.port;
    if (inv.has("allow"))
        options.allow = ParseAllowList(inv.text("allow"));
    options.maxClients = inv.whole("max-clients", options.maxClients);
    if (inv.has("map") == !inv.supplies.isEmpty())
        Fail(ExitUsage, QStringLiteral("scpi serves the supplies of -a or of --map: one or the other"));
    if (inv.has("map")) {
        options.ports = ParsePortMap(inv.text("map"));
    } else {
        for (const SupplyRef &supply : inv.supplies) {
            ScpiPort port;
            port.supply.address = supply.address;
            port.supply.model = FindModel(supply.modelItem);
            options.ports.append(port);
        }
    }
    const QStringList serials = inv.text("serial").split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (serials.size() > options.ports.size())
        Fail(ExitUsage, QStringLiteral("--serial: %1 serial numbers for %2 supplies").arg(serials.size()).arg(options.ports.size()));
    for (int i = 0; i < options.ports.size(); ++i) {
        ScpiSupply &supply = options.ports[i].supply;
        if (!supply.model)
            supply.model = FindModel(inv.modelItem());
        if (!supply.model)
            Fail(ExitUsage, QStringLiteral("scpi needs the model (-m) of address %1").arg(supply.address));
        supply.serial = serials.value(i).trimmed();
        supply.manufacturer = inv.text("manufacturer");
    }
    return options;
}

} // namespace

void CheckScpi(const Invocation &inv)
{
    try {
        scpiOptions(inv);
    } catch (const CtlError &error) {
        UsageError(error.text(), inv.command);
    }
}

int RunScpi(const Invocation &inv, std::FILE *, std::FILE *err)
{
    const ScpiOptions options = scpiOptions(inv);
    // --metrics: the line's health per address, reported by every exchange
    // the instruments make.
    LineOptions line = inv.line;
    const std::unique_ptr<MetricsFace> metrics = StartMetrics(inv, line, err);
    return RunScpiServer(line, options, err);
}
