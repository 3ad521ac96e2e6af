// The overview with sixteen supplies at 9600 baud: psusim (a process of its
// own, so that its work is not the tool's) serves addresses 1 to 16; the tool
// opens the port, lists 1-16 in the overview and polls them for a while. For
// every address the largest gap between two of its readings, and the tool's
// CPU time over the run, are printed as "key value" lines.
//
//   bench_overview [seconds] [--no-trend]   (default 60 s)
//
// --no-trend: the trend window's listener is taken off the status feed, to
// see the overview's own share.

#include "app/forms.h"
#include "bench/simprocess.h"
#include "app/mainwindow.h"
#include "link/commports.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "link/statusfeed.h"
#include "link/systemerror.h"
#include "panels/monitorpanel.h"
#include "panels/overview.h"
#include "panels/trend.h"
#include "roster/supplyroster.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sys/resource.h>
#include <vector>

namespace {

constexpr int kSupplies = 16;
// Readings before this are the first round settling in and not measured.
constexpr int kSettleMs = 3000;

qint64 cpuUs()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 + usage.ru_utime.tv_usec
        + usage.ru_stime.tv_usec;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const QStringList arguments = QCoreApplication::arguments();
    const int seconds = arguments.size() > 1 ? std::max(10, arguments.at(1).toInt()) : 60;
    const bool trendFed = !arguments.contains(QStringLiteral("--no-trend"));

    QStringList simArguments;
    for (int address = 1; address <= kSupplies; ++address)
        simArguments << QStringLiteral("-s") << QString::number(address);
    simArguments << QStringLiteral("--load") << QStringLiteral("10") << QStringLiteral("--preset")
                 << QStringLiteral("1200,1000,on") << QStringLiteral("--noise") << QStringLiteral("2");
    QProcess sim(&app);
    const QString device = StartSimProcess(sim, simArguments);
    if (device.isEmpty())
        return 1;

    CreateForms();
    MAIN->show();
    MapCommPort(1, device);

    std::map<int, qint64> lastAt;
    std::map<int, qint64> largestGap;
    std::vector<qint64> gaps;
    long readings = 0;
    QElapsedTimer clock;
    clock.start();
    QObject listener;
    QObject::connect(TheStatusFeed(), &StatusFeed::statusRead, &listener, [&](const Reading &sample) {
        if (sample.replyAddress != sample.address)
            return;
        const qint64 now = clock.elapsed();
        ++readings;
        const auto last = lastAt.find(sample.address);
        if (last != lastAt.end() && last->second >= kSettleMs) {
            const qint64 gap = now - last->second;
            gaps.push_back(gap);
            largestGap[sample.address] = std::max(largestGap[sample.address], gap);
        }
        lastAt[sample.address] = now;
    });

    try {
        SelectModel(1);
        MAIN->MSComm1->SetCommPort(1);
        MAIN->MSComm1->SetSettings(QStringLiteral("9600,n,8,1"));
        MAIN->MSComm1->SetPortOpen(true);
        MAIN->BitBtn9->click();
        OVERVIEW->Edit1->setText(QStringLiteral("1-%1").arg(kSupplies));
        OVERVIEW->Button1->click();
        if (!trendFed)
            QObject::disconnect(TheStatusFeed(), nullptr, POWER_TEST->Trend, nullptr);
    } catch (const SystemError &error) {
        std::fprintf(stderr, "set-up failed: %s\n", qPrintable(error.text()));
        return 1;
    }

    qint64 cpuAtSettle = 0;
    QTimer::singleShot(kSettleMs, &app, [&] { cpuAtSettle = cpuUs(); });
    QTimer::singleShot(kSettleMs + seconds * 1000, &app, [] { QCoreApplication::quit(); });
    app.exec();
    const double cpuPercent = double(cpuUs() - cpuAtSettle) / (seconds * 1e6) * 100.0;

    int silent = 0;
    qint64 worst = 0;
    for (int address = 1; address <= kSupplies; ++address) {
        if (!largestGap.count(address))
            ++silent;
        else
            worst = std::max(worst, largestGap[address]);
    }
    std::sort(gaps.begin(), gaps.end());
    const auto percentile = [&gaps](double share) {
        return gaps.empty() ? 0.0 : double(gaps[std::min(gaps.size() - 1, size_t(share * gaps.size()))]);
    };
    const char *prefix = trendFed ? "" : "notrend_";
    const auto print = [prefix](const char *key, double value) {
        std::printf("%s%s %.3f\n", prefix, key, value);
    };
    print("overview_supplies", kSupplies);
    print("overview_seconds", seconds);
    print("overview_rhythm_ms", OVERVIEW->RhythmMs());
    print("overview_readings", double(readings));
    print("overview_unrefreshed_supplies", silent);
    print("overview_refresh_gap_ms_median", percentile(0.5));
    print("overview_refresh_gap_ms_p99", percentile(0.99));
    print("overview_refresh_gap_ms_max", double(worst));
    print("overview_cpu_percent", cpuPercent);

    MAIN->MSComm1->SetPortOpen(false);
    DestroyForms();
    sim.terminate();
    sim.waitForFinished(3000);
    return 0;
}
