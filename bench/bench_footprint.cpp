// bench_footprint: what the tool costs the machine it runs on.
//
//   bench_footprint --startup [runs]        start-up time to the main window
//                                           painted, and resident memory then
//   bench_footprint --poll <seconds> [--samples <file>] [--trend]
//                                           the tool with the monitor polling a
//                                           simulated supply (psusim in its own
//                                           process): CPU time per minute and
//                                           resident memory over the run; with
//                                           --trend the trend is shown too at
//                                           1920 x 1080, ten minutes of readings
//                                           in it and ten minutes shown,
//                                           following the readings (keys then
//                                           start with "trend_")
//   bench_footprint --allocations <listeners>
//                                           heap allocations per status reading
//                                           decoded and delivered to the trend
//                                           and to <listeners> more listeners
//
// Each mode prints "key value" lines that bench/run.sh turns into the table.
// --startup re-runs this program as a child (--startup-child) so that every
// run is a fresh process: dynamic linking, toolkit and font set-up included.

#include "app/forms.h"
#include "app/mainwindow.h"
#include "bench/resident.h"
#include "bench/simprocess.h"
#include "link/commports.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "link/readingformat.h"
#include "link/replydispatcher.h"
#include "link/serialchannel.h"
#include "link/statusfeed.h"
#include "panels/monitorpanel.h"
#include "panels/trend.h"
#include "widgets/errorreport.h"
#include "widgets/spinedit.h"

#include <qcustomplot.h>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTextStream>
#include <QTimer>

#if __has_include("record/trendmodel.h")
#include "record/trendmodel.h"
#else
#include "link/trendmodel.h"
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/resource.h>
#include <vector>

// Every heap allocation of the process, counted for --allocations: operator
// new and Qt's containers and strings alike end in malloc, so the C library's
// allocator is wrapped here.
std::atomic<long> g_allocations{0};

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *block, std::size_t size);

void *malloc(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

void *calloc(std::size_t count, std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

void *realloc(void *block, std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}
}

namespace {

qint64 monotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// User plus system CPU time of this process, in microseconds.
qint64 cpuUs()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 + usage.ru_utime.tv_usec
        + usage.ru_stime.tv_usec;
}

// Put before every key printed (the trend run's keys stand beside the monitor's).
const char *g_keyPrefix = "";
// The trend's repaints in the --trend run.
long g_replots = 0;

void print(const char *key, double value)
{
    std::printf("%s%s %.3f\n", g_keyPrefix, key, value);
    std::fflush(stdout);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Catches the first paint of the main window: the moment it is really shown.
class FirstPaint : public QObject
{
public:
    explicit FirstPaint(QObject *parent) : QObject(parent) {}
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            m_atNs = monotonicNs();
            QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        }
        return QObject::eventFilter(watched, event);
    }
    qint64 atNs() const { return m_atNs; }

private:
    bool m_seen = false;
    qint64 m_atNs = 0;
};

// One start of the tool exactly as app/main.cpp starts it, timed from the
// moment the parent spawned this process.
int startupChild(int argc, char **argv)
{
    const qint64 spawnedNs = qEnvironmentVariable("PSUTOOL_BENCH_SPAWN_NS").toLongLong();
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("精密数控电源测试软件"));
    QApplication::setQuitOnLastWindowClosed(false);
    CreateForms();
    auto *paint = new FirstPaint(&app);
    MAIN->installEventFilter(paint);
    MAIN->show();
    QTimer::singleShot(5000, &app, [] { QCoreApplication::exit(1); });
    if (app.exec() != 0)
        return 1;
    std::printf("%.3f %lld\n", (paint->atNs() - spawnedNs) / 1e6, residentKiB());
    return 0;
}

int startupRuns(int argc, char **argv, int runs)
{
    QCoreApplication app(argc, argv);
    std::vector<double> times;
    std::vector<double> rss;
    for (int i = 0; i < runs; ++i) {
        QProcess child(&app);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("PSUTOOL_BENCH_SPAWN_NS"), QString::number(monotonicNs()));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--startup-child")});
        if (!child.waitForFinished(10000) || child.exitCode() != 0) {
            std::fprintf(stderr, "start-up run %d failed: %s\n", i, child.readAllStandardError().constData());
            return 1;
        }
        const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
        times.push_back(fields.value(0).toDouble());
        rss.push_back(fields.value(1).toDouble());
    }
    print("startup_runs", runs);
    print("startup_ms_median", median(times));
    print("startup_ms_max", *std::max_element(times.begin(), times.end()));
    print("startup_rss_mb", median(rss) / 1024.0);
    return 0;
}

// The tool as an operator leaves it for a shift: port open on a supply,
// model chosen, monitor panel shown and polling every 500 ms.
int pollRun(int argc, char **argv, int seconds, const QString &samplesPath, bool withTrend)
{
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("精密数控电源测试软件"));
    QApplication::setQuitOnLastWindowClosed(false);

    QProcess sim(&app);
    const QString device = StartSimProcess(
        sim, {QStringLiteral("-s"), QStringLiteral("1"), QStringLiteral("--load"), QStringLiteral("1=10"),
              QStringLiteral("--preset"), QStringLiteral("1=1200,1000,on"), QStringLiteral("--noise"),
              QStringLiteral("1=3")});
    if (device.isEmpty())
        return 1;

    CreateForms();
    MAIN->show();
    MapCommPort(1, device);
    long replies = 0;
    long polls = 0;
    SetSendObserver([&polls](const QByteArray &) { ++polls; });
    SetReplyHandler([&replies](const QByteArray &reply) {
        ++replies;
        DispatchReply(reply);
    });
    try {
        SelectModel(1);
        MAIN->MSComm1->SetCommPort(1);
        MAIN->MSComm1->SetSettings(QStringLiteral("9600,n,8,1"));
        MAIN->MSComm1->SetPortOpen(true);
        POWER_TEST->SpinEdit1->SetValue(1);
        ShowWindow(POWER_TEST);
        POWER_TEST->Button11->click();
        if (withTrend) {
            // Ten minutes of readings already in the trend, ten minutes shown,
            // the window as large as a maximised one on a full-HD screen.
            TTREND *trend = POWER_TEST->Trend;
            const QDateTime now = QDateTime::currentDateTime();
            for (int n = 1200; n > 0; --n) {
                const quint16 noise = quint16((quint32(n) * 2654435761u) >> 30);
                trend->AddReading(DecodeReading({1200, 1000, quint16(1198 + noise), quint16(1198 + noise), true},
                                                &ModelCatalogue[0], 1, now.addMSecs(-500 * n)));
            }
            POWER_TEST->Button12->click();
            QObject::connect(trend->Plot, &QCustomPlot::afterReplot, trend, [] { ++g_replots; });
            trend->resize(1920, 1080);
            trend->SetSpanSeconds(600);
        }
    } catch (const SystemError &e) {
        std::fprintf(stderr, "set-up failed: %s\n", qPrintable(e.text()));
        return 1;
    }
    QCoreApplication::processEvents();
    const qint64 rssStart = residentKiB();

    QFile samples(samplesPath);
    QTextStream out(&samples);
    if (!samplesPath.isEmpty() && samples.open(QIODevice::WriteOnly | QIODevice::Text))
        out << "# seconds cpu_ms_since_last_sample rss_kb polls replies readout\n" << Qt::flush;

    std::vector<double> cpuPerMinute;
    std::vector<qint64> rssAtMinute;
    QElapsedTimer clock;
    clock.start();
    qint64 lastCpu = cpuUs();
    int minute = 0;
    // One sample a minute; a run shorter than six minutes takes six samples,
    // its CPU time scaled to a minute.
    const int sampleMs = seconds >= 360 ? 60000 : std::max(1, seconds * 1000 / 6);
    QTimer sampler(&app);
    sampler.setTimerType(Qt::PreciseTimer);
    QObject::connect(&sampler, &QTimer::timeout, &app, [&] {
        ++minute;
        const qint64 cpu = cpuUs();
        const double usedMs = (cpu - lastCpu) / 1000.0;
        lastCpu = cpu;
        const qint64 rss = residentKiB();
        cpuPerMinute.push_back(usedMs * 60000.0 / sampleMs);
        rssAtMinute.push_back(rss);
        if (samples.isOpen())
            out << clock.elapsed() / 1000 << ' ' << usedMs << ' ' << rss << ' ' << polls << ' ' << replies << ' '
                << POWER_TEST->StaticText5->text() << '\n' << Qt::flush;
        if (qint64(minute) * sampleMs >= qint64(seconds) * 1000)
            QCoreApplication::exit(0);
    });
    sampler.start(sampleMs);
    app.exec();

    MAIN->MSComm1->SetPortOpen(false);
    sim.terminate();
    sim.waitForFinished(3000);

    const double minutes = double(cpuPerMinute.size());
    double cpuTotal = 0;
    for (double v : cpuPerMinute)
        cpuTotal += v;
    print("poll_seconds", clock.elapsed() / 1000.0);
    print("poll_count", double(polls));
    print("poll_replies", double(replies));
    if (withTrend)
        print("replots", double(g_replots));
    print("cpu_ms_per_min_mean", cpuTotal / std::max(1.0, minutes));
    print("cpu_ms_per_min_max", *std::max_element(cpuPerMinute.begin(), cpuPerMinute.end()));
    print("rss_mb_start", rssStart / 1024.0);
    print("rss_mb_first_sample", rssAtMinute.front() / 1024.0);
    print("sample_seconds", sampleMs / 1000.0);
    print("rss_mb_end", rssAtMinute.back() / 1024.0);
    print("rss_mb_max", *std::max_element(rssAtMinute.begin(), rssAtMinute.end()) / 1024.0);
    // Growth after a warm-up of two samples (a third of a short run, two
    // minutes of a long one): by then every code path has run and the glyph
    // cache holds every digit the readouts show.
    const qint64 warm = rssAtMinute.size() > 1 ? rssAtMinute[1] : rssAtMinute.front();
    print("rss_mb_warm", warm / 1024.0);
    print("warm_seconds", 2 * sampleMs / 1000.0);
    print("rss_kb_growth", double(rssAtMinute.back() - warm));
    return replies > 0 ? 0 : 1;
}

// The type the status feed hands its listeners, whatever it is called.
template <typename Signal>
struct SignalArgument;
template <typename Owner, typename Argument>
struct SignalArgument<void (Owner::*)(const Argument &)> {
    using type = Argument;
};
using FeedReading = SignalArgument<decltype(&StatusFeed::statusRead)>::type;

// Status blocks decoded by the feed as the reply dispatcher has them decoded,
// each delivered to the trend's model and to listeners more direct
// listeners; prints the heap allocations per reading, after a warm-up that
// lets the trend's storage grow to its size.
int allocationRun(int argc, char **argv, int listeners)
{
    QCoreApplication app(argc, argv);
    SelectModel(1);
    StatusFeed *feed = TheStatusFeed();
    TrendModel trend;
    trend.listenTo(feed);
    QObject context;
    long delivered = 0;
    for (int n = 0; n < listeners; ++n)
        QObject::connect(feed, &StatusFeed::statusRead, &context, [&delivered](const FeedReading &) { ++delivered; });
    const int warmUp = 4096, readings = 4096;
    const auto announce = [feed](int n) {
        feed->NotePoll(1);
        feed->AnnounceStatus({1200, 1500, quint16(1198 + n % 5), 1200, true}, 1);
    };
    for (int n = 0; n < warmUp; ++n)
        announce(n);
    const long before = g_allocations.load();
    for (int n = 0; n < readings; ++n)
        announce(n);
    const long counted = g_allocations.load() - before;
    print("listeners", listeners);
    print("allocations_per_reading", double(counted) / readings);
    return delivered == long(listeners) * (warmUp + readings) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == QLatin1String("--startup-child"))
        return startupChild(argc, argv);
    if (mode == QLatin1String("--startup"))
        return startupRuns(argc, argv, argc > 2 ? std::atoi(argv[2]) : 10);
    if (mode == QLatin1String("--poll") && argc > 2) {
        const QString samples = argc > 4 && QLatin1String(argv[3]) == QLatin1String("--samples")
            ? QString::fromLocal8Bit(argv[4])
            : QString();
        const bool withTrend = QLatin1String(argv[argc - 1]) == QLatin1String("--trend");
        if (withTrend)
            g_keyPrefix = "trend_";
        return pollRun(argc, argv, std::atoi(argv[2]), samples, withTrend);
    }
    if (mode == QLatin1String("--allocations") && argc > 2)
        return allocationRun(argc, argv, std::atoi(argv[2]));
    std::fprintf(stderr, "usage: bench_footprint --startup [runs] | --poll <seconds> [--samples <file>] [--trend]"
                         " | --allocations <listeners>\n");
    return 2;
}
