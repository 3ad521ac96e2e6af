// psuctl's metrics: the text exposition in-process, the HTTP server on real
// sockets, and a real Prometheus scraping serve and status --watch over
// simulated supplies, with promtool checking the page and the alert rules.

#include "ctl/metrics.h"
#include "ctl/metricshttp.h"
#include "link/frames.h"
#include "sim/simbus.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace {

const QString Examples = QStringLiteral(PSUTOOL_EXAMPLE_PLANS "/..");

// What a raw HTTP client gets back from port for request, read to the close.
QByteArray exchange(int port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    if (!socket.waitForConnected(5000))
        return QByteArray();
    socket.write(request);
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000)) {
    }
    return socket.readAll();
}

QByteArray curl(const QString &url)
{
    QProcess process;
    process.start(QStringLiteral("curl"), {QStringLiteral("-sf"), url});
    process.waitForFinished(20000);
    return process.exitCode() == 0 ? process.readAllStandardOutput() : QByteArray();
}

// A Prometheus instant query's result vector.
QJsonArray query(int port, const QString &expression)
{
    const QByteArray body = curl(QStringLiteral("http://127.0.0.1:%1/api/v1/query?query=%2")
                                     .arg(port)
                                     .arg(QString::fromLatin1(QUrl::toPercentEncoding(expression))));
    return QJsonDocument::fromJson(body).object().value(QStringLiteral("data")).toObject().value(QStringLiteral("result")).toArray();
}

int freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// A psuctl program that prints where it serves: the port from the first line
// of its stderr (read so far into seen) that pattern matches.
int announcedPort(QProcess &process, QByteArray &seen, const QRegularExpression &pattern)
{
    int port = 0;
    // A port of 0 (the program ended or never said) is the caller's failure.
    (void)QTest::qWaitFor([&] {
        seen += process.readAllStandardError();
        const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(seen));
        port = match.hasMatch() ? match.captured(1).toInt() : 0;
        return port != 0 || process.state() == QProcess::NotRunning;
    }, 20000);
    return port;
}

} // namespace

class TestMetrics : public QObject
{
    Q_OBJECT

private slots:
    void labelEscaping_data();
    void labelEscaping();
    void valuesAndHistogram();
    void countersNamedAsTheFormatAsks();
    void httpAnswers_data();
    void httpAnswers();
    void silentClientHoldsNobodyUp();
    void prometheusScrapesTheBench();
};

void TestMetrics::labelEscaping_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("line");
    QTest::newRow("plain") << "bench 3" << "g{bench=\"bench 3\"} 1";
    QTest::newRow("backslash") << "C:\\lab" << "g{bench=\"C:\\\\lab\"} 1";
    QTest::newRow("quote") << "say \"hi\"" << "g{bench=\"say \\\"hi\\\"\"} 1";
    QTest::newRow("line feed") << "two\nlines" << "g{bench=\"two\\nlines\"} 1";
    QTest::newRow("utf-8 as it is") << QStringLiteral("实验台") << QStringLiteral("g{bench=\"实验台\"} 1");
}

void TestMetrics::labelEscaping()
{
    QFETCH(QString, value);
    QFETCH(QString, line);
    MetricsRegistry registry;
    registry.declare("g", MetricsRegistry::Kind::Gauge, "A \\ help\nin two lines");
    registry.set("g", {{"bench", value.toStdString()}}, 1);
    QCOMPARE(QString::fromStdString(registry.page()),
             QStringLiteral("# HELP g A \\\\ help\\nin two lines\n# TYPE g gauge\n") + line + QLatin1Char('\n'));
}

// Values as the format spells them, series in a stable order whatever order
// they came in, and a histogram's buckets cumulated with a value at a bound
// and one just beyond it.
void TestMetrics::valuesAndHistogram()
{
    MetricsRegistry registry;
    registry.declare("v", MetricsRegistry::Kind::Gauge, "Values.");
    registry.declare("rt_seconds", MetricsRegistry::Kind::Histogram, "Round trips.", {0.0078125, 0.125});
    registry.declare("unused", MetricsRegistry::Kind::Gauge, "Never set: not on the page.");
    registry.set("v", {{"a", "5"}}, 0.1);
    registry.set("v", {{"a", "17"}}, std::numeric_limits<double>::infinity());
    registry.set("v", {{"a", "1"}}, 12);
    registry.set("v", {{"a", "2"}}, std::nan(""));
    registry.set("v", {{"a", "3"}}, -1e-7);
    for (const double seconds : {0.00390625, 0.0078125, std::nextafter(0.0078125, 1.0), 0.125, 8.0})
        registry.observe("rt_seconds", {{"a", "1"}}, seconds);
    QCOMPARE(QString::fromStdString(registry.page()),
             QStringLiteral("# HELP v Values.\n# TYPE v gauge\n"
                            "v{a=\"1\"} 12\nv{a=\"17\"} +Inf\nv{a=\"2\"} NaN\nv{a=\"3\"} -1e-07\nv{a=\"5\"} 0.1\n"
                            "# HELP rt_seconds Round trips.\n# TYPE rt_seconds histogram\n"
                            "rt_seconds_bucket{a=\"1\",le=\"0.0078125\"} 2\n"
                            "rt_seconds_bucket{a=\"1\",le=\"0.125\"} 4\n"
                            "rt_seconds_bucket{a=\"1\",le=\"+Inf\"} 5\n"
                            "rt_seconds_sum{a=\"1\"} 8.14453125\n"
                            "rt_seconds_count{a=\"1\"} 5\n"));
}

void TestMetrics::countersNamedAsTheFormatAsks()
{
    MetricsRegistry registry;
    registry.declare("psu_bus_timeouts_total", MetricsRegistry::Kind::Counter, "Timeouts.");
    QVERIFY_THROWS_EXCEPTION(std::logic_error,
                             registry.declare("psu_bus_timeouts", MetricsRegistry::Kind::Counter, "No _total."));
    QVERIFY_THROWS_EXCEPTION(std::logic_error,
                             registry.declare("psu_up_total", MetricsRegistry::Kind::Gauge, "A gauge in _total."));
    QVERIFY_THROWS_EXCEPTION(std::logic_error, registry.add("psu_undeclared_total", {}));
    registry.add("psu_bus_timeouts_total", {{"address", "1"}});
    registry.add("psu_bus_timeouts_total", {{"address", "1"}}, 2);
    QVERIFY(registry.page().find("\npsu_bus_timeouts_total{address=\"1\"} 3\n") != std::string::npos);
}

void TestMetrics::httpAnswers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<bool>("withPage");
    const QByteArray end = "\r\nHost: x\r\n\r\n";
    QTest::newRow("GET /metrics") << "GET /metrics HTTP/1.1" + end << QByteArray("HTTP/1.1 200 OK") << true;
    QTest::newRow("a query") << "GET /metrics?x=1 HTTP/1.0" + end << QByteArray("HTTP/1.1 200 OK") << true;
    QTest::newRow("HEAD") << "HEAD /metrics HTTP/1.1" + end << QByteArray("HTTP/1.1 200 OK") << false;
    QTest::newRow("another path") << "GET / HTTP/1.1" + end << QByteArray("HTTP/1.1 404 Not Found") << false;
    QTest::newRow("POST") << "POST /metrics HTTP/1.1" + end << QByteArray("HTTP/1.1 405 Method Not Allowed") << false;
    QTest::newRow("not HTTP") << QByteArray("\x01\x02 garbage\r\n\r\n") << QByteArray("HTTP/1.1 400 Bad Request") << false;
    const QByteArray longest = "GET /metrics?" + QByteArray(MetricsHttpServer::MaxRequestLine - 22, 'x') + " HTTP/1.1";
    QTest::newRow("request line at its bound") << longest + end << QByteArray("HTTP/1.1 200 OK") << true;
    QTest::newRow("one byte beyond") << "GET /metrics?x" + longest.mid(13) + end << QByteArray("HTTP/1.1 414 URI Too Long") << false;
    QTest::newRow("no end of line") << QByteArray(MetricsHttpServer::MaxRequestLine + 1, 'G')
                                    << QByteArray("HTTP/1.1 414 URI Too Long") << false;
    QTest::newRow("head beyond its bound")
        << "GET /metrics HTTP/1.1\r\n" + QByteArray(MetricsHttpServer::MaxHead, 'h')
        << QByteArray("HTTP/1.1 431 Request Header Fields Too Large") << false;
}

void TestMetrics::httpAnswers()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, statusLine);
    QFETCH(bool, withPage);
    MetricsHttpServer server([] { return std::string("psu_output_volts 12\n"); });
    server.start(QStringLiteral("127.0.0.1"), 0);
    const QByteArray answer = exchange(server.where().section(QLatin1Char(':'), -1).toInt(), request);
    QVERIFY2(answer.startsWith(statusLine + "\r\n"), answer.left(80).constData());
    QCOMPARE(answer.endsWith("\r\n\r\npsu_output_volts 12\n"), withPage);
    QCOMPARE(answer.contains("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), statusLine.contains("200"));
}

// Clients that send half a request, or never read, take none of the answer
// of the next.
void TestMetrics::silentClientHoldsNobodyUp()
{
    MetricsHttpServer server([] { return std::string(4 << 20, '#') + '\n'; });
    server.start(QStringLiteral("127.0.0.1"), 0);
    const quint16 port = quint16(server.where().section(QLatin1Char(':'), -1).toInt());
    QTcpSocket half;
    QTcpSocket neverReads;
    half.connectToHost(QStringLiteral("127.0.0.1"), port);
    neverReads.connectToHost(QStringLiteral("127.0.0.1"), port);
    QVERIFY(half.waitForConnected(5000) && neverReads.waitForConnected(5000));
    half.write("GET /metr");
    neverReads.write("GET /metrics HTTP/1.1\r\n\r\n");
    half.flush();
    neverReads.flush();
    QElapsedTimer timer;
    timer.start();
    const QByteArray answer = exchange(port, "GET /metrics HTTP/1.1\r\n\r\n");
    QVERIFY(answer.startsWith("HTTP/1.1 200 OK"));
    QCOMPARE(answer.size() - answer.indexOf("\r\n\r\n") - 4, (4 << 20) + 1);
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
}

// serve owns the simulated line and status --watch reads two supplies
// through it; a real Prometheus scrapes both, and its API gives back the
// simulator's own voltage under each supply's labels.
void TestMetrics::prometheusScrapesTheBench()
{
    SimBus bus;
    const struct {
        int address, modelItem;
        QVector<quint16> setpoints;
        double ohms;
    } supplies[] = {{1, 1, {1200, 1500}, 10.0}, {5, 2, {2400, 500}, 30.0}};
    for (const auto &s : supplies) {
        const int index = bus.addSupply(s.address, s.modelItem);
        bus.updateSupply(index, [&s](SimSupply &supply) {
            supply.writeRegisters(VoltageSetpoint, s.setpoints);
            supply.writeRegisters(OutputSwitch, {1});
            supply.setLoadOhms(s.ohms);
        });
    }
    const QString device = bus.openPty();
    bus.start(SimBus::Threading::OwnThread);
    const QString list = QStringLiteral("1:%1,5:%2")
                             .arg(QLatin1String(bus.supply(0).model().caption), QLatin1String(bus.supply(1).model().caption));

    static const QRegularExpression metricsAt(QStringLiteral("metrics on http://127.0.0.1:(\\d+)/metrics"));
    static const QRegularExpression servingAt(QStringLiteral("serving .* on 127.0.0.1:(\\d+)"));
    QProcess serve;
    serve.start(QStringLiteral(PSUCTL_PROGRAM), {"-p", device, "serve", "--listen", "127.0.0.1:0", "--metrics",
                                                 ":0", "-a", list, "--bench", "lab7"});
    QByteArray serveLog;
    const int serveMetrics = announcedPort(serve, serveLog, metricsAt);
    const int servePort = announcedPort(serve, serveLog, servingAt);
    QVERIFY2(serveMetrics && servePort, serveLog.constData());
    QProcess status;
    status.start(QStringLiteral(PSUCTL_PROGRAM),
                 {"-p", QStringLiteral("tcp://127.0.0.1:%1").arg(servePort), "status", "-a", list, "--watch", "200",
                  "--format", "csv", "--metrics", "127.0.0.1:0", "--bench", "lab7"});
    QByteArray statusLog;
    const int statusMetrics = announcedPort(status, statusLog, metricsAt);
    QVERIFY2(statusMetrics, statusLog.constData());

    QTemporaryDir dir;
    const int prometheusPort = freePort();
    QFile config(dir.filePath(QStringLiteral("prometheus.yml")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral("global:\n  scrape_interval: 1s\nrule_files: ['%1/prometheus/psu-alerts.yml']\n"
                                "scrape_configs:\n"
                                "  - job_name: serve\n    static_configs: [{targets: ['127.0.0.1:%2']}]\n"
                                "  - job_name: status\n    static_configs: [{targets: ['127.0.0.1:%3']}]\n")
                     .arg(Examples)
                     .arg(serveMetrics)
                     .arg(statusMetrics)
                     .toUtf8());
    config.close();
    QProcess prometheus;
    prometheus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    prometheus.start(QStringLiteral("prometheus"),
                     {"--config.file=" + config.fileName(), "--storage.tsdb.path=" + dir.filePath(QStringLiteral("data")),
                      QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(prometheusPort)});
    QVERIFY(prometheus.waitForStarted(10000));

    // The simulator's own readings, as its registers count them.
    for (int i = 0; i < 2; ++i) {
        const SimSupply supply = bus.supply(i);
        const double volts = double(supply.voltageReading()) / supply.model().voltageScale;
        for (const char *job : {"status", "serve"}) {
            const QString selector = QStringLiteral("psu_output_volts{job=\"%1\",bench=\"lab7\",address=\"%2\",model=\"%3\",port=\"%4\"}")
                                         .arg(QLatin1String(job))
                                         .arg(supply.address())
                                         .arg(QLatin1String(supply.model().caption))
                                         .arg(QLatin1String(job) == QLatin1String("serve") ? device : QStringLiteral("tcp://127.0.0.1:%1").arg(servePort));
            QTRY_COMPARE_WITH_TIMEOUT(query(prometheusPort, selector).size(), 1, 60000);
            QCOMPARE(query(prometheusPort, selector).at(0).toObject().value("value").toArray().at(1).toString().toDouble(), volts);
        }
    }
    QTRY_VERIFY_WITH_TIMEOUT(!query(prometheusPort, "psu_serve_client_requests_total{client=\"127.0.0.1\"} > 10").isEmpty(), 30000);

    // promtool on the pages and on the alert rules.
    for (const int port : {serveMetrics, statusMetrics}) {
        QProcess check;
        check.start(QStringLiteral("promtool"), {"check", "metrics"});
        check.write(curl(QStringLiteral("http://127.0.0.1:%1/metrics").arg(port)));
        check.closeWriteChannel();
        QVERIFY(check.waitForFinished(20000));
        QVERIFY2(check.exitCode() == 0, check.readAll().constData());
    }
    QProcess rules;
    rules.start(QStringLiteral("promtool"), {"check", "rules", Examples + "/prometheus/psu-alerts.yml"});
    QVERIFY(rules.waitForFinished(20000));
    QVERIFY2(rules.exitCode() == 0, rules.readAll().constData());

    // Every query of the dashboard returns data, its variables as Grafana
    // puts them in for all benches.
    QFile dashboard(Examples + "/grafana/psu-supplies.json");
    QVERIFY(dashboard.open(QIODevice::ReadOnly));
    int queries = 0;
    for (const QJsonValue panel : QJsonDocument::fromJson(dashboard.readAll()).object().value("panels").toArray()) {
        for (const QJsonValue target : panel.toObject().value("targets").toArray()) {
            QString expression = target.toObject().value("expr").toString();
            expression.replace("$bench", ".*").replace("$__rate_interval", "30s").replace("$__range", "30s");
            QTRY_VERIFY2_WITH_TIMEOUT(!query(prometheusPort, expression).isEmpty(), qPrintable(expression), 60000);
            ++queries;
        }
    }
    QVERIFY(queries >= 10);

    for (QProcess *process : {&prometheus, &status, &serve}) {
        process->terminate();
        QVERIFY(process->waitForFinished(20000));
    }
    QCOMPARE(status.exitCode(), 0);
    QCOMPARE(serve.exitCode(), 0);
    bus.stop();
}

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
