#pragma once

#include <QString>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

// What a request head asks for, as the metrics server answers it.
struct HttpAnswer {
    int status = 200;     // 200, 400, 404, 405, 414 or 431
    bool withBody = true; // false for HEAD
};
// The answer to a whole request head (up to and including its blank line):
// GET or HEAD of /metrics (a query is passed over) is 200; another path 404;
// another method 405; a request line of more than MaxRequestLine bytes 414;
// a line that is not METHOD TARGET HTTP/x 400.
HttpAnswer AnswerTo(const std::string &head);

// A small HTTP/1.1 server that answers GET /metrics with page(), on a thread
// of its own with a poll() over its sockets, so that neither a scrape nor a
// client that does not read ever holds up the thread that works the bus: the
// page is made under the registry's lock and the bus waits at most for that.
// One answer per connection (Connection: close). A head of more than
// MaxHead bytes, or one not complete within HeadTimeoutMs, is cut off; so is
// an answer not taken within AnswerTimeoutMs; clients beyond MaxClients are
// closed at once.
class MetricsHttpServer
{
public:
    static constexpr int MaxRequestLine = 1024;
    static constexpr int MaxHead = 8192;
    static constexpr int MaxClients = 32;
    static constexpr int HeadTimeoutMs = 5000;
    static constexpr int AnswerTimeoutMs = 10000;

    explicit MetricsHttpServer(std::function<std::string()> page);
    ~MetricsHttpServer();
    MetricsHttpServer(const MetricsHttpServer &) = delete;
    MetricsHttpServer &operator=(const MetricsHttpServer &) = delete;

    // Listens on host:port (port 0: one the system picks) and starts the
    // thread; raises CtlError (ExitPort) when it cannot listen.
    void start(const QString &host, int port);
    // "127.0.0.1:9105" or "[::1]:9105", as bound.
    QString where() const { return m_where; }

private:
    void run();

    std::function<std::string()> m_page;
    int m_listenFd = -1;
    int m_wake[2] = {-1, -1};
    QString m_where;
    std::thread m_thread;
};

// "HOST:PORT", ":PORT" (loopback) or "[V6]:PORT" of --metrics; raises CtlError
// (ExitUsage) for anything else.
void ParseMetricsAddress(const QString &text, QString *host, int *port);
