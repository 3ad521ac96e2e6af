// bench_trend: the trend with a day of readings.
//
//   bench_trend --render       172,800 readings (24 h at two a second) loaded
//                              into the trend at its default size: a full
//                              redraw (10 min shown, and the whole day), one
//                              reading appended and repainted; the same day as
//                              three Qt Charts line series for comparison
//   bench_trend --memory       resident memory of the tool with the monitor
//                              panel shown, then with the day loaded into the
//                              trend and the trend shown
//
// Prints "key value" lines for bench/run.sh.

#include "app/forms.h"
#include "bench/resident.h"
#include "link/modelcatalogue.h"
#include "link/readingformat.h"
#include "panels/monitorpanel.h"
#include "panels/trend.h"

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QDateTimeAxis>
#include <QElapsedTimer>
#include <QLineSeries>
#include <QValueAxis>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <qcustomplot.h>
#include <vector>

namespace {

constexpr int kDay = 172800;

void print(const char *key, double value)
{
    std::printf("%s %.3f\n", key, value);
    std::fflush(stdout);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double timeMs(const std::function<void()> &work)
{
    QElapsedTimer clock;
    clock.start();
    work();
    return clock.nsecsElapsed() / 1e6;
}

// Reading n of a day on supply 1 (QELT30-05 into 10 ohm): 12 V with a few
// counts of noise, 15 V for ten minutes every two hours, the output off for
// five minutes every six hours, a power read every minute.
Reading reading(const QDateTime &start, int n)
{
    const int second = n / 2;
    const bool stepped = second % 7200 < 600;
    const bool off = second % 21600 >= 21000;
    const quint16 setVolts = stepped ? 1500 : 1200;
    const int noise = int((quint32(n) * 2654435761u) >> 29) - 4;
    const int volts = off ? 0 : std::max(0, setVolts + noise);
    const int amps = off ? 0 : std::min(1500, volts + noise);
    std::optional<quint16> power;
    if (n % 120 == 0)
        power = quint16(volts * std::max(0, amps) / 1000);
    return DecodeReading({setVolts, 1500, quint16(volts), quint16(std::max(0, amps)), !off}, &ModelCatalogue[0], 1,
                         start.addMSecs(qint64(n) * 500), power);
}

int renderRun(int argc, char **argv)
{
    QApplication app(argc, argv);
    CreateForms();
    TTREND *trend = POWER_TEST->Trend;
    const QDateTime start = QDateTime::currentDateTime().addSecs(-kDay / 2);
    QElapsedTimer load;
    load.start();
    for (int n = 0; n < kDay; ++n)
        trend->AddReading(reading(start, n));
    print("trend_load_ms", load.elapsed());
    trend->show();
    QCoreApplication::processEvents();
    print("trend_width", trend->width());
    print("trend_height", trend->height());

    const auto redraws = [trend](int count) {
        std::vector<double> times;
        for (int i = 0; i < count; ++i)
            times.push_back(timeMs([trend] { trend->Plot->replot(QCustomPlot::rpImmediateRefresh); }));
        return median(times);
    };
    trend->SetSpanSeconds(600);
    redraws(3);
    print("trend_redraw_10min_ms_median", redraws(30));
    trend->SetSpanSeconds(0);
    redraws(3);
    print("trend_redraw_day_ms_median", redraws(30));

    // Appending while following the newest reading, 10 minutes shown.
    trend->SetSpanSeconds(600);
    std::vector<double> appends;
    for (int n = kDay; n < kDay + 200; ++n) {
        const Reading next = reading(start, n);
        appends.push_back(timeMs([trend, &next] {
            trend->AddReading(next);
            trend->Plot->replot(QCustomPlot::rpImmediateRefresh);
        }));
    }
    print("trend_append_ms_median", median(appends));
    trend->SetSpanSeconds(0);
    appends.clear();
    for (int n = kDay + 200; n < kDay + 300; ++n) {
        const Reading next = reading(start, n);
        appends.push_back(timeMs([trend, &next] {
            trend->AddReading(next);
            trend->Plot->replot(QCustomPlot::rpImmediateRefresh);
        }));
    }
    print("trend_append_day_ms_median", median(appends));

    // The same day as three line series in one Qt Charts view of the same size.
    QList<QPointF> volts, amps, watts;
    for (int n = 0; n < kDay; ++n) {
        const Reading s = reading(start, n);
        const qreal key = qreal(s.time.toMSecsSinceEpoch());
        volts.append({key, s.volts});
        amps.append({key, s.amps});
        if (s.watts)
            watts.append({key, *s.watts});
    }
    auto *chart = new QChart;
    auto *axisTime = new QDateTimeAxis;
    chart->addAxis(axisTime, Qt::AlignBottom);
    QLineSeries *series[3] = {new QLineSeries, new QLineSeries, new QLineSeries};
    const QList<QPointF> *data[3] = {&volts, &amps, &watts};
    for (int i = 0; i < 3; ++i) {
        series[i]->replace(*data[i]);
        chart->addSeries(series[i]);
        auto *axis = new QValueAxis;
        axis->setRange(0, i == 0 ? 16 : i == 1 ? 2 : 25);
        chart->addAxis(axis, i == 0 ? Qt::AlignLeft : Qt::AlignRight);
        series[i]->attachAxis(axisTime);
        series[i]->attachAxis(axis);
    }
    axisTime->setRange(QDateTime::fromMSecsSinceEpoch(qint64(volts.first().x())),
                       QDateTime::fromMSecsSinceEpoch(qint64(volts.last().x())));
    QChartView view(chart);
    view.resize(trend->Plot->size());
    view.show();
    QCoreApplication::processEvents();
    std::vector<double> chartDraws;
    for (int i = 0; i < 5; ++i)
        chartDraws.push_back(timeMs([&view] { view.grab(); }));
    print("charts_redraw_day_ms_median", median(chartDraws));
    std::vector<double> chartAppends;
    for (int n = kDay; n < kDay + 10; ++n) {
        const Reading s = reading(start, n);
        chartAppends.push_back(timeMs([&] {
            series[0]->append(qreal(s.time.toMSecsSinceEpoch()), s.volts);
            series[1]->append(qreal(s.time.toMSecsSinceEpoch()), s.amps);
            view.grab();
        }));
    }
    print("charts_append_day_ms_median", median(chartAppends));
    DestroyForms();
    return 0;
}

int memoryRun(int argc, char **argv)
{
    QApplication app(argc, argv);
    CreateForms();
    SelectModel(1);
    POWER_TEST->show();
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    const qint64 monitorOnly = residentKiB();
    TTREND *trend = POWER_TEST->Trend;
    const QDateTime start = QDateTime::currentDateTime().addSecs(-kDay / 2);
    for (int n = 0; n < kDay; ++n)
        trend->AddReading(reading(start, n));
    trend->show();
    trend->Plot->replot(QCustomPlot::rpImmediateRefresh);
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    const qint64 withDay = residentKiB();
    print("trend_rss_monitor_mb", monitorOnly / 1024.0);
    print("trend_rss_day_mb", withDay / 1024.0);
    print("trend_rss_added_mb", (withDay - monitorOnly) / 1024.0);
    DestroyForms();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == QLatin1String("--render"))
        return renderRun(argc, argv);
    if (mode == QLatin1String("--memory"))
        return memoryRun(argc, argv);
    std::fprintf(stderr, "usage: bench_trend --render | --memory\n");
    return 2;
}
