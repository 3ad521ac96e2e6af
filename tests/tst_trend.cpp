// The trend and the recorder, fed by the real monitor polling the simulator on
// a pseudo-terminal: what the simulator answered is what the trend holds and
// what the recording says, row for row in psuctl's CSV.

#include "link/readingformat.h"
#include "record/readingrecorder.h"
#include "link/statusfeed.h"
#include "record/trendmodel.h"
#include "panels/trend.h"
#include "tst_endtoend.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <cmath>
#include <ctime>
#include <qcustomplot.h>

using namespace e2e;

namespace {

struct Point {
    double key;
    double value;
};

QVector<Point> pointsOf(const QCPGraph *graph)
{
    QVector<Point> points;
    for (auto it = graph->data()->constBegin(); it != graph->data()->constEnd(); ++it)
        points.append({it->key, it->value});
    return points;
}

QVector<Point> readingsOf(const QCPGraph *graph)
{
    QVector<Point> points;
    for (const Point &point : pointsOf(graph)) {
        if (!std::isnan(point.value))
            points.append(point);
    }
    return points;
}

int gapsIn(const QCPGraph *graph)
{
    int gaps = 0;
    for (const Point &point : pointsOf(graph))
        gaps += std::isnan(point.value) ? 1 : 0;
    return gaps;
}

// Opens the monitor panel on address, switches the monitor on and opens the trend.
bool startMonitorAndTrend(int address)
{
    return startMonitor(address) && click(POWER_TEST, QStringLiteral("Button12")) && POWER_TEST->Trend->isVisible();
}

QStringList linesOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The status replies the simulator sent, with the wall-clock time their last
// byte left it.
struct SentReply {
    qint64 endMs;
    QByteArray bytes;
};

QVector<SentReply> statusRepliesOf(const SimBus &bus, qint64 wallAtZeroMs)
{
    QVector<SentReply> replies;
    for (const SimFrameRecord &entry : bus.record()) {
        if (entry.direction == SimFrameRecord::Sent && entry.bytes.size() == 15 && quint8(entry.bytes.at(1)) == 0x03)
            replies.append({wallAtZeroMs + entry.endUs / 1000, entry.bytes});
    }
    return replies;
}

const ModelEntry *modelNamed(const char *name)
{
    return FindModel(ModelItemFromText(QLatin1String(name)));
}

// A reading of the supply at address under model at key seconds from start:
// raw counts as the supply sends them.
Reading readingAt(const QDateTime &start, double seconds, int address, const ModelEntry *model,
                       StatusBlock status, std::optional<quint16> power = std::nullopt)
{
    return DecodeReading(status, model, address, start.addMSecs(qint64(std::llround(seconds * 1000))), power);
}

// The tool's windows made, with the trend shown at the tests' size.
struct TrendFixture {
    ToolFixture fixture;
    TTREND *trend;
    const QDateTime start = QDateTime::currentDateTime().addSecs(-3600);
    TrendFixture()
    {
        CreateForms();
        SelectModel(1);
        trend = POWER_TEST->Trend;
        trend->show();
    }
    ~TrendFixture()
    {
        DestroyForms();
        ResetToolState();
    }
    double key(double seconds) const { return TTREND::KeyOf(start) + seconds; }
    // The view from start + lower to start + upper seconds.
    void view(double lower, double upper) const
    {
        trend->Plot->axisRect(0)->axis(QCPAxis::atBottom)->setRange(key(lower), key(upper));
        trend->Plot->replot(QCustomPlot::rpImmediateRefresh);
    }
    // Readings of address 1 (QELT30-05) one a second from 0 to 10 s, the
    // output voltage 10.00 V + n x 0.10 V, the current 1.000 A + n x 0.010 A.
    void tenSeconds(int address = 1) const
    {
        for (int n = 0; n <= 10; ++n)
            trend->AddReading(readingAt(start, n, address, &ModelCatalogue[0],
                                        {1500, 1500, quint16(1000 + 10 * n), quint16(1000 + 10 * n), true}));
    }
};

} // namespace

class TestTrend : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { quietenOffscreenPlatform(); }
    void readingsReachTrend();
    void missedPollLeavesGap();
    void newTraceOnAddressOrModel();
    void recordingIsPsuctlCsv();
    void recordingToFullDiskStops_data();
    void recordingToFullDiskStops();
    void badInputAddsNothing();
    void followingStopsOnZoom();
    void perAddressModel_data();
    void perAddressModel();
    void computedAndReadPower();
    void readoutInModelResolution_data();
    void readoutInModelResolution();
    void readoutGoneOnLeaveAndFromExport();
    void cursorDeltas();
    void statsOfVisibleRange_data();
    void statsOfVisibleRange();
    void csvOfVisibleRange();
    void fixedValueRange();
    void hiddenSeries();
    void dateOnTimeAxis_data();
    void dateOnTimeAxis();
};

// Every status reply the simulator sent is one point of the trace, with the
// simulator's values, decoded a little after the reply's last byte.
void TestTrend::readingsReachTrend()
{
    Bench bench;
    const qint64 wallAtZeroMs = QDateTime::currentMSecsSinceEpoch() - bench.bus->nowUs() / 1000;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(startMonitorAndTrend(1));
    TTREND *trend = POWER_TEST->Trend;
    QTRY_VERIFY_WITH_TIMEOUT(!trend->Traces().isEmpty() && trend->Traces().first().voltage->dataCount() >= 4,
                             kShortWaitMs);
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));
    QTRY_VERIFY_WITH_TIMEOUT(!PollActive, kShortWaitMs);
    QTest::qWait(100); // a reply still on the line is decoded

    QCOMPARE(trend->Traces().size(), 1);
    const TTrendTrace &trace = trend->Traces().first();
    QCOMPARE(trace.address, 1);
    QCOMPARE(trace.model, QStringLiteral("QELT30-05"));
    QVERIFY2(trace.label.contains(QStringLiteral("地址 1")) && trace.label.contains(QStringLiteral("QELT30-05")),
             qPrintable(trace.label));
    const QVector<SentReply> replies = statusRepliesOf(*bench.bus, wallAtZeroMs);
    const QVector<Point> volts = readingsOf(trace.voltage);
    const QVector<Point> amps = readingsOf(trace.current);
    QCOMPARE(volts.size(), replies.size());
    QCOMPARE(amps.size(), replies.size());
    for (int n = 0; n < replies.size(); ++n) {
        const StatusBlock block = DecodeStatusBlock(replies.at(n).bytes);
        QCOMPARE(volts.at(n).value, block.outputVoltage / 100.0);
        QCOMPARE(amps.at(n).value, block.outputCurrent / 1000.0);
        // Decoded after the line has been quiet for a poll of 30 ms; generous
        // on a loaded machine.
        const double lagMs = volts.at(n).key * 1000.0 - double(replies.at(n).endMs);
        QVERIFY2(lagMs > -20 && lagMs < 1000, qPrintable(QStringLiteral("reading %1 lags %2 ms").arg(n).arg(lagMs)));
    }
    QCOMPARE(volts.first().value, 12.0);
    QCOMPARE(amps.first().value, 1.2);
    // Setpoints as step lines, output on: no shading.
    QCOMPARE(readingsOf(trace.voltageSetpoint).last().value, 12.0);
    QCOMPARE(readingsOf(trace.currentSetpoint).last().value, 1.5);
    QCOMPARE(readingsOf(trace.outputOff[0]).size(), 0);
    // No power was read: no read power, and voltage x current at every reading.
    QCOMPARE(readingsOf(trace.power).size(), 0);
    const QVector<Point> computed = readingsOf(trace.computedPower);
    QCOMPARE(computed.size(), replies.size());
    QCOMPARE(computed.first().value, 12.0 * 1.2);

    // Hidden and shown again, the window keeps its data.
    trend->hide();
    QVERIFY(click(POWER_TEST, QStringLiteral("Button12")));
    QCOMPARE(readingsOf(trend->Traces().first().voltage).size(), replies.size());
    QVERIFY(trend->ReadoutAt(volts.at(1).key).contains(QStringLiteral("12.00 V  1.200 A  14.40 W（计算）")));
    QVERIFY(trend->Following());

    // A power read goes into the next reading only.
    QVERIFY(click(POWER_TEST, QStringLiteral("Button5")));
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("Edit1")), QStringLiteral("014.40"), kShortWaitMs);
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));
    QTRY_VERIFY_WITH_TIMEOUT(readingsOf(trend->Traces().first().voltage).size() >= replies.size() + 2, kShortWaitMs);
    const QVector<Point> watts = readingsOf(trend->Traces().first().power);
    QCOMPARE(watts.size(), 1);
    QCOMPARE(watts.first().value, 14.4);

    QVERIFY(click(trend, QStringLiteral("Button2")));
    QVERIFY(trend->Traces().isEmpty());
}

// Every fourth reply dropped by the simulator: the poll after each silent one
// puts a gap into the trace, and no line is drawn across it.
void TestTrend::missedPollLeavesGap()
{
    Bench bench;
    bench.bus->updateSupply(bench.indexOf(1), [](SimSupply &supply) { supply.faults().dropShare = 0.25; });
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(startMonitorAndTrend(1));
    TTREND *trend = POWER_TEST->Trend;
    QTRY_VERIFY_WITH_TIMEOUT(!trend->Traces().isEmpty() && gapsIn(trend->Traces().first().voltage) >= 2,
                             kLongWaitMs);
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));
    QTRY_VERIFY_WITH_TIMEOUT(!PollActive, kShortWaitMs);
    QTest::qWait(100);

    const QByteArray poll = BuildReadRequest(1, VoltageSetpoint, 5);
    const int dropped = notesOf(*bench.bus, poll).count(QStringLiteral("answered, reply dropped"));
    QVERIFY(dropped >= 2);
    const QVector<Point> points = pointsOf(trend->Traces().first().voltage);
    // A dropped reply is followed by the next poll's gap (the last one may
    // not have had its next poll).
    const int gaps = gapsIn(trend->Traces().first().voltage);
    QVERIFY2(gaps == dropped || gaps == dropped - 1, qPrintable(QStringLiteral("%1 gaps, %2 dropped").arg(gaps).arg(dropped)));
    // Between two readings more than one poll apart there is always a gap.
    for (int n = 1; n < points.size(); ++n) {
        if (std::isnan(points.at(n).value) || std::isnan(points.at(n - 1).value))
            continue;
        QVERIFY2(points.at(n).key - points.at(n - 1).key < 0.9,
                 qPrintable(QStringLiteral("line across %1 s").arg(points.at(n).key - points.at(n - 1).key)));
    }
    QVERIFY(std::isnan(pointsOf(trend->Traces().first().currentSetpoint).at(1).value)
            || gapsIn(trend->Traces().first().currentSetpoint) >= 1);
}

// Another model, then another address: each starts a trace of its own, and
// the earlier ones stay, labelled with their address and model.
void TestTrend::newTraceOnAddressOrModel()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(startMonitorAndTrend(1));
    TTREND *trend = POWER_TEST->Trend;
    QTRY_VERIFY_WITH_TIMEOUT(trend->Traces().size() == 1 && trend->Traces().first().voltage->dataCount() >= 2,
                             kShortWaitMs);
    E2E_CHOOSE_MODEL(7);
    QTRY_VERIFY_WITH_TIMEOUT(trend->Traces().size() == 2 && trend->Traces().at(1).voltage->dataCount() >= 2,
                             kShortWaitMs);
    QVERIFY(setNumber(POWER_TEST, QStringLiteral("SpinEdit1"), 5));
    QTRY_VERIFY_WITH_TIMEOUT(trend->Traces().size() == 3 && trend->Traces().at(2).voltage->dataCount() >= 2,
                             kShortWaitMs);
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));

    const QList<TTrendTrace> traces = trend->Traces();
    QCOMPARE(traces.at(0).address, 1);
    QCOMPARE(traces.at(0).model, QStringLiteral("QELT30-05"));
    QCOMPARE(traces.at(1).address, 1);
    QCOMPARE(traces.at(1).model, QStringLiteral("QELT60-05"));
    QCOMPARE(traces.at(2).address, 5);
    QCOMPARE(traces.at(2).model, QStringLiteral("QELT60-05"));
    QVERIFY(traces.at(2).label.contains(QStringLiteral("地址 5")));
    // The supply at 5 runs at 24 V into 30 ohm.
    QCOMPARE(readingsOf(traces.at(2).voltage).last().value, 24.0);
    QCOMPARE(readingsOf(traces.at(2).current).last().value, 0.8);
    // Each starts after the one before; all are in the legend of the traces.
    QVERIFY(traces.at(1).started >= traces.at(0).started && traces.at(2).started >= traces.at(1).started);
    QCOMPARE(trend->Plot->legend->itemCount(), 3);
    QCOMPARE(qobject_cast<QCPPlottableLegendItem *>(trend->Plot->legend->item(2))->plottable()->name(),
             traces.at(2).label);
}

// A recording holds one row per reading, in exactly the header and formats
// psuctl writes for the same state; the power column is empty unless read.
void TestTrend::recordingIsPsuctlCsv()
{
    Bench bench;
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString path = folder.filePath(QStringLiteral("burn-in.csv"));
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(startMonitorAndTrend(1));
    TTREND *trend = POWER_TEST->Trend;
    QList<Reading> readings;
    QVERIFY(trend->StartRecording(path));
    connect(TheStatusFeed(), &StatusFeed::statusRead, trend, [&readings](const Reading &s) { readings << s; });
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("Button13")), QStringLiteral("停止记录"));
    QTRY_VERIFY_WITH_TIMEOUT(readings.size() >= 3, kShortWaitMs);
    QVERIFY(click(POWER_TEST, QStringLiteral("Button5")));
    QTRY_VERIFY_WITH_TIMEOUT(readings.size() >= 5, kShortWaitMs);
    // The panel's button stops it; the rows handed over are still written.
    QVERIFY(click(POWER_TEST, QStringLiteral("Button13")));
    QVERIFY(!trend->Recorder->Recording());
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("Button13")), QStringLiteral("记录"));
    const int recorded = readings.size();
    QTRY_COMPARE_WITH_TIMEOUT(linesOf(path).size(), recorded + 1, kShortWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(trend->Recorder->RowsWritten(), qint64(recorded), kShortWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(textOf(trend, QStringLiteral("StaticText1")).contains(QString::number(recorded)), kShortWaitMs);

    const QStringList lines = linesOf(path);
    QCOMPARE(lines.size(), recorded + 1);
    QCOMPARE(lines.first(), QStringLiteral("time,address,model,voltage_set,current_set,voltage,current,output,power"));
    int withPower = 0;
    for (int n = 0; n < recorded; ++n) {
        const QString &row = lines.at(n + 1);
        // What psuctl writes for this supply in this state, field for field.
        const QString tail = row.section(QLatin1Char(','), 1);
        if (readings.at(n).watts) {
            QCOMPARE(tail, QStringLiteral("1,QELT30-05,12.00,1.500,12.00,1.200,on,14.40"));
            ++withPower;
        } else {
            QCOMPARE(tail, QStringLiteral("1,QELT30-05,12.00,1.500,12.00,1.200,on,"));
        }
        QCOMPARE(QDateTime::fromString(row.section(QLatin1Char(','), 0, 0), Qt::ISODateWithMs), readings.at(n).time);
    }
    QCOMPARE(withPower, 1);

    // Recording to the same file again appends without a second header.
    QVERIFY(trend->StartRecording(path));
    const int before = readings.size();
    QTRY_VERIFY_WITH_TIMEOUT(readings.size() >= before + 2, kShortWaitMs);
    trend->StopRecording();
    const int total = readings.size();
    QTRY_COMPARE_WITH_TIMEOUT(linesOf(path).size(), total + 1, kShortWaitMs);
    QCOMPARE(linesOf(path).filter(QStringLiteral("time,")).size(), 1);
}

void TestTrend::recordingToFullDiskStops_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("message");
    QTest::newRow("disk full") << "/dev/full"
                               << "记录已停止：写入文件 /dev/full 失败（磁盘已满）。已写入的行仍在文件中，监测继续进行。";
    QTest::newRow("no such folder") << "/nonexistent-folder/readings.csv"
                                    << "无法打开记录文件 /nonexistent-folder/readings.csv：文件夹不存在。未开始记录。";
}

// A file that cannot be written stops the recording with a message naming the
// file and the cause; the monitor and the trend go on.
void TestTrend::recordingToFullDiskStops()
{
    QFETCH(QString, path);
    QFETCH(QString, message);
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(startMonitorAndTrend(1));
    TTREND *trend = POWER_TEST->Trend;
    QTRY_VERIFY_WITH_TIMEOUT(!trend->Traces().isEmpty(), kShortWaitMs);
    const int boxes = bench.closer.texts().size();
    trend->StartRecording(path);
    QTRY_COMPARE_WITH_TIMEOUT(bench.closer.texts().mid(boxes), QStringList{message}, kShortWaitMs);
    QVERIFY(!trend->Recorder->Recording());
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("Button13")), QStringLiteral("记录"));
    QCOMPARE(textOf(trend, QStringLiteral("Button4")), QStringLiteral("开始记录"));
    const int points = trend->Traces().first().voltage->dataCount();
    QTRY_VERIFY_WITH_TIMEOUT(trend->Traces().first().voltage->dataCount() >= points + 2, kShortWaitMs);
    QVERIFY(MonitorRunning);
}

// A reply that does not decode adds nothing; a reading before any model has
// no units and adds nothing; a clock set back starts a new trace.
void TestTrend::badInputAddsNothing()
{
    ToolFixture fixture;
    CreateForms();
    TTREND *trend = POWER_TEST->Trend;
    SelectModel(1);
    const QByteArray status = QByteArray::fromHex("01030A04B005DC04B004B00001");
    DispatchReply(status.left(12)); // cut short: 11 to 14 bytes are ignored
    DispatchReply(QByteArray::fromHex("01830299C1"));
    QVERIFY(trend->Traces().isEmpty());
    DispatchReply(status + QByteArray::fromHex("0000"));
    QCOMPARE(trend->Traces().size(), 1);
    QCOMPARE(readingsOf(trend->Traces().first().voltage).first().value, 12.0);

    const Reading sample = DecodeReading(DecodeStatusBlock(status + QByteArray::fromHex("0000")), &ModelCatalogue[0], 1,
                                         QDateTime::currentDateTime().addSecs(-3600));
    trend->AddReading(sample);
    QCOMPARE(trend->Traces().size(), 2);
    QCOMPARE(trend->Traces().at(1).voltage->dataCount(), 1);

    ClearActiveModel();
    DispatchReply(status + QByteArray::fromHex("0000"));
    QCOMPARE(trend->Traces().size(), 2);
    QCOMPARE(trend->Traces().at(1).voltage->dataCount(), 1);
    DestroyForms();
    ResetToolState();
}

// The wheel zooms the time axis and stops the following; the follow button
// brings the newest reading back to the right edge with the chosen span.
void TestTrend::followingStopsOnZoom()
{
    ToolFixture fixture;
    CreateForms();
    TTREND *trend = POWER_TEST->Trend;
    trend->show();
    const QDateTime start = QDateTime::currentDateTime();
    Reading sample = DecodeReading({1200, 1500, 1200, 1200, true}, &ModelCatalogue[0], 1, start);
    for (int n = 0; n < 20; ++n) {
        sample.time = start.addMSecs(500 * n);
        trend->AddReading(sample);
    }
    QCPAxis *time = trend->Plot->axisRect(2)->axis(QCPAxis::atBottom);
    const double last = TTREND::KeyOf(sample.time);
    QCOMPARE(time->range().upper, last);
    QCOMPARE(time->range().size(), 600.0);

    const QPointF middle = trend->Plot->axisRect(1)->rect().center();
    QWheelEvent wheel(middle, trend->Plot->mapToGlobal(middle), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(trend->Plot, &wheel);
    QVERIFY(!trend->Following());
    QVERIFY(time->range().size() < 600.0);
    // All three plots keep one time axis.
    QCOMPARE(trend->Plot->axisRect(0)->axis(QCPAxis::atBottom)->range(), time->range());
    sample.time = start.addMSecs(500 * 20);
    trend->AddReading(sample);
    QVERIFY(time->range().upper < TTREND::KeyOf(sample.time));

    QVERIFY(click(trend, QStringLiteral("Button1")));
    QVERIFY(trend->Following());
    QCOMPARE(time->range().upper, TTREND::KeyOf(sample.time));
    trend->SetSpanSeconds(60);
    QCOMPARE(time->range().size(), 60.0);
    QCOMPARE(trend->Plot->axisRect(0)->axis(QCPAxis::atBottom)->range().size(), 60.0);
    DestroyForms();
    ResetToolState();
}

void TestTrend::perAddressModel_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<QString>("model");
    QTest::addColumn<double>("amps");
    // Active model QELT30-05 (1000 counts per ampere); 17 is a QELT36-03 (also
    // 1000) and 5 a QELT60-10 (100 counts per ampere).
    QTest::newRow("monitor's address: the active model") << 1 << "QELT30-05" << 0.8;
    QTest::newRow("17: its own") << 17 << "QELT36-03" << 0.8;
    QTest::newRow("5: its own, its own scale") << 5 << "QELT60-10" << 8.0;
}

// A reading takes the model set for its address, else the active one: in the
// trace, its label, the readout and the recording.
void TestTrend::perAddressModel()
{
    QFETCH(int, address);
    QFETCH(QString, model);
    QFETCH(double, amps);
    TrendFixture f;
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("r.csv"));
    QVERIFY(f.trend->StartRecording(path));
    f.trend->setAddressModel(17, modelNamed("QELT36-03"));
    f.trend->setAddressModel(5, modelNamed("QELT60-10"));
    QCOMPARE(ModelName, QStringLiteral("QELT30-05"));
    // The reply to a status poll of address, as the dispatcher sees it.
    TheStatusFeed()->NotePoll(address);
    QByteArray reply = QByteArray::fromHex("03 0A 04B0 05DC 04B0 0320 0001 0000");
    reply.prepend(char(address));
    DispatchReply(reply);
    QCOMPARE(f.trend->Traces().size(), 1);
    const TTrendTrace &trace = f.trend->Traces().first();
    QCOMPARE(trace.address, address);
    QCOMPARE(trace.model, model);
    QVERIFY(trace.label.contains(model));
    QCOMPARE(readingsOf(trace.current).first().value, amps);
    QVERIFY(f.trend->ReadoutAt(readingsOf(trace.current).first().key).contains(model));
    f.trend->StopRecording();
    QTRY_COMPARE_WITH_TIMEOUT(linesOf(path).size(), 2, kShortWaitMs);
    QCOMPARE(linesOf(path).at(1).section(QLatin1Char(','), 1, 2), QStringLiteral("%1,%2").arg(address).arg(model));
    // An unscaled model gives the address back to the active one.
    f.trend->setAddressModel(17, ReadingModel());
    QVERIFY(!f.trend->Model()->addressModel(17).scaled());
}

// Without a power reading the power is voltage x current, marked as computed;
// a power read is drawn as a dot and preferred wherever it exists.
void TestTrend::computedAndReadPower()
{
    TrendFixture f;
    f.trend->AddReading(readingAt(f.start, 0, 1, &ModelCatalogue[0], {1200, 1500, 1200, 1200, true}));
    f.trend->AddReading(readingAt(f.start, 1, 1, &ModelCatalogue[0], {1200, 1500, 1200, 1200, true}, 1450));
    const TTrendTrace &trace = f.trend->Traces().first();
    QCOMPARE(readingsOf(trace.computedPower).size(), 2);
    QCOMPARE(readingsOf(trace.computedPower).first().value, 12.0 * 1.2);
    QCOMPARE(readingsOf(trace.power).size(), 1);
    QCOMPARE(readingsOf(trace.power).first().value, 14.5);
    QVERIFY(f.trend->ReadoutAt(f.key(0)).contains(QStringLiteral("14.40 W（计算）")));
    QVERIFY(f.trend->ReadoutAt(f.key(1)).contains(QStringLiteral("14.50 W（读取）")));
    f.view(0, 1);
    QVERIFY2(f.trend->StatsText().contains(QStringLiteral("14.40 / 14.50 / 14.45 W（部分计算）")),
             qPrintable(f.trend->StatsText()));
    f.view(0.5, 1);
    QVERIFY2(f.trend->StatsText().endsWith(QStringLiteral("14.50 / 14.50 / 14.50 W")),
             qPrintable(f.trend->StatsText()));
    f.view(-1, 0.5);
    QVERIFY(f.trend->StatsText().contains(QStringLiteral("14.40 / 14.40 / 14.40 W（计算）")));
}

void TestTrend::readoutInModelResolution_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("expected");
    // Raw 1234 of every register: each model's scale and decimals.
    QTest::newRow("0.01 V, 0.001 A") << "QELT30-05" << "12.34 V  1.234 A  15.23 W（计算）  设定 12.34 V / 1.234 A  输出开";
    QTest::newRow("0.01 V, 0.01 A") << "QELT30-10" << "12.34 V  12.34 A  152.28 W（计算）  设定 12.34 V / 12.34 A  输出开";
    QTest::newRow("0.1 V, 0.001 A") << "QELT100-05" << "123.4 V  1.234 A  152.28 W（计算）  设定 123.4 V / 1.234 A  输出开";
}

void TestTrend::readoutInModelResolution()
{
    QFETCH(QString, model);
    QFETCH(QString, expected);
    TrendFixture f;
    f.trend->AddReading(readingAt(f.start, 0, 1, modelNamed(qPrintable(model)), {1234, 1234, 1234, 1234, true}));
    const QString readout = f.trend->ReadoutAt(f.key(0.4));
    QVERIFY2(readout.endsWith(expected), qPrintable(readout));
    // Beyond the reach of any reading, nothing of the trace.
    QVERIFY(!f.trend->ReadoutAt(f.key(-30)).contains(model));
}

// The readout and its line follow the mouse over the plot, go when it
// leaves, and are never in the exported picture.
void TestTrend::readoutGoneOnLeaveAndFromExport()
{
    TrendFixture f;
    f.tenSeconds();
    f.view(0, 10);
    QTemporaryDir folder;
    const QString hint = textOf(f.trend, QStringLiteral("StaticText2"));
    QVERIFY(f.trend->ExportPng(folder.filePath(QStringLiteral("plain.png"))));
    const QPoint middle = f.trend->Plot->axisRect(0)->rect().center();
    QTest::mouseMove(f.trend->Plot, middle);
    QTRY_VERIFY(textOf(f.trend, QStringLiteral("StaticText2")).contains(QStringLiteral("10.50 V")));
    QVERIFY(f.trend->Plot->item(0)->visible());
    QVERIFY(f.trend->ExportPng(folder.filePath(QStringLiteral("hover.png"))));
    QCOMPARE(QImage(folder.filePath(QStringLiteral("hover.png"))),
             QImage(folder.filePath(QStringLiteral("plain.png"))));
    QTest::mouseMove(f.trend->Plot, middle + QPoint(3, 0));
    QVERIFY(textOf(f.trend, QStringLiteral("StaticText2")).contains(QStringLiteral("10.50 V")));
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(f.trend->Plot, &leave);
    QCOMPARE(textOf(f.trend, QStringLiteral("StaticText2")), hint);
    for (int n = 0; n < 3; ++n)
        QVERIFY(!f.trend->Plot->item(n * 3)->visible());
}

// Two cursors: the differences of time and of each trace's voltage and current
// between the readings nearest to them.
void TestTrend::cursorDeltas()
{
    TrendFixture f;
    f.tenSeconds();
    f.view(0, 10);
    f.trend->SetCursors(f.key(2), f.key(7.2));
    const std::optional<TrendDelta> delta = f.trend->Model()->delta(0, f.key(2), f.key(7.2), 2.0);
    QVERIFY(delta.has_value());
    QVERIFY(std::fabs(delta->seconds - 5.2) < 1e-6); // keys are seconds since 1970
    QCOMPARE(delta->volts, 0.5);
    QVERIFY(std::fabs(delta->amps - 0.05) < 1e-9);
    QVERIFY2(f.trend->CursorText().contains(QStringLiteral("Δt +5.200 s")), qPrintable(f.trend->CursorText()));
    QVERIFY(f.trend->CursorText().contains(QStringLiteral("ΔV +0.50 V  ΔI +0.050 A")));
    // Swapped: the differences change sign.
    f.trend->SetCursors(f.key(7.2), f.key(2));
    QVERIFY(f.trend->CursorText().contains(QStringLiteral("Δt -5.200 s")));
    QVERIFY(f.trend->CursorText().contains(QStringLiteral("ΔV -0.50 V  ΔI -0.050 A")));
    // Cursor A dragged from 7.2 s to 4 s: the cursor moves, not the view.
    QCPAxis *time = f.trend->Plot->axisRect(1)->axis(QCPAxis::atBottom);
    const QCPRange view = time->range();
    const int y = f.trend->Plot->axisRect(1)->rect().center().y();
    const QPoint from(int(std::lround(time->coordToPixel(f.key(7.2)))), y);
    const QPoint to(int(std::lround(time->coordToPixel(f.key(4)))), y);
    QTest::mousePress(f.trend->Plot, Qt::LeftButton, Qt::NoModifier, from);
    QTest::mouseMove(f.trend->Plot, to);
    QTest::mouseRelease(f.trend->Plot, Qt::LeftButton, Qt::NoModifier, to);
    QCOMPARE(time->range(), view);
    QVERIFY2(f.trend->CursorText().contains(QStringLiteral("ΔV -0.20 V")), qPrintable(f.trend->CursorText()));
    // A cursor far from every reading: no differences for the trace.
    QVERIFY(!f.trend->Model()->delta(0, f.key(2), f.key(60), 2.0));
    f.trend->HideCursors();
    QVERIFY(f.trend->CursorText().isEmpty());
    QVERIFY(!f.trend->Button6->isChecked());
}

void TestTrend::statsOfVisibleRange_data()
{
    QTest::addColumn<double>("lower");
    QTest::addColumn<double>("upper");
    QTest::addColumn<QString>("volts");
    // Readings at whole seconds 0..10, 10.00 V + 0.10 V a second.
    QTest::newRow("edges on readings: both in") << 2.0 << 5.0 << "10.20 / 10.50 / 10.35 V";
    QTest::newRow("a millisecond inside: both out") << 2.001 << 4.999 << "10.30 / 10.40 / 10.35 V";
    QTest::newRow("the first reading at the start") << 0.0 << 0.5 << "10.00 / 10.00 / 10.00 V";
    QTest::newRow("the last reading at the end") << 9.5 << 10.0 << "11.00 / 11.00 / 11.00 V";
}

// Minimum, maximum and mean over the readings in view: a reading exactly at an
// edge counts, one just outside does not.
void TestTrend::statsOfVisibleRange()
{
    QFETCH(double, lower);
    QFETCH(double, upper);
    QFETCH(QString, volts);
    TrendFixture f;
    f.tenSeconds();
    f.view(lower, upper);
    QVERIFY2(f.trend->StatsText().contains(volts), qPrintable(f.trend->StatsText()));
    QVERIFY(f.trend->Plot->findChild<QCPTextElement *>(QStringLiteral("Stats"))->text().contains(volts));
}

// The export holds the readings of the shown traces in the visible range,
// edges included, in time order across the supplies, in psuctl's CSV; a
// hidden trace is not exported. The clock is China's (UTC+8, no summer time),
// so the times read the same on every machine.
void TestTrend::csvOfVisibleRange()
{
    const QByteArray zone = qgetenv("TZ");
    qputenv("TZ", "CST-8");
    tzset();
    const auto restore = qScopeGuard([&zone] {
        zone.isNull() ? qunsetenv("TZ") : qputenv("TZ", zone);
        tzset();
    });
    TrendFixture f;
    const QDateTime start(QDate(2026, 3, 14), QTime(9, 0));
    // Address 1 (QELT30-05) at whole seconds, rising, its power read at 4 s;
    // address 5 (QELT15-20) half a second later, falling, its output off at 5 s.
    for (int n = 0; n <= 10; ++n) {
        f.trend->AddReading(readingAt(start, n, 1, &ModelCatalogue[0],
                                      {1200, 1500, quint16(1200 + 7 * n), quint16(800 + 3 * n), true},
                                      n == 4 ? std::optional<quint16>(986) : std::nullopt));
        f.trend->AddReading(readingAt(start, n + 0.5, 5, modelNamed("QELT15-20"),
                                      {500, 200, quint16(n == 5 ? 0 : 500 - 2 * n), quint16(n == 5 ? 0 : 150 + n),
                                       n != 5}));
    }
    QCOMPARE(f.trend->Traces().size(), 2);
    const double from = TTREND::KeyOf(start);
    f.trend->Plot->axisRect(0)->axis(QCPAxis::atBottom)->setRange(from + 3, from + 6);
    QTemporaryDir folder;
    const auto exportTo = [&f](const QString &path) {
        QSignalSpy done(f.trend, &TTREND::csvExported);
        f.trend->ExportCsv(path);
        return done.wait(kShortWaitMs) && done.first().at(1).toBool();
    };
    const QString both = folder.filePath(QStringLiteral("both.csv"));
    QVERIFY(exportTo(both));
    QCOMPARE(linesOf(both), QStringList({
        QStringLiteral("time,address,model,voltage_set,current_set,voltage,current,output,power"),
        QStringLiteral("2026-03-14T09:00:03.000+08:00,1,QELT30-05,12.00,1.500,12.21,0.809,on,"),
        QStringLiteral("2026-03-14T09:00:03.500+08:00,5,QELT15-20,5.00,2.00,4.94,1.53,on,"),
        QStringLiteral("2026-03-14T09:00:04.000+08:00,1,QELT30-05,12.00,1.500,12.28,0.812,on,9.86"),
        QStringLiteral("2026-03-14T09:00:04.500+08:00,5,QELT15-20,5.00,2.00,4.92,1.54,on,"),
        QStringLiteral("2026-03-14T09:00:05.000+08:00,1,QELT30-05,12.00,1.500,12.35,0.815,on,"),
        QStringLiteral("2026-03-14T09:00:05.500+08:00,5,QELT15-20,5.00,2.00,0.00,0.00,off,"),
        QStringLiteral("2026-03-14T09:00:06.000+08:00,1,QELT30-05,12.00,1.500,12.42,0.818,on,"),
    }));
    f.trend->SetTraceShown(0, false);
    const QString one = folder.filePath(QStringLiteral("one.csv"));
    QVERIFY(exportTo(one));
    QCOMPARE(linesOf(one), QStringList({
        QStringLiteral("time,address,model,voltage_set,current_set,voltage,current,output,power"),
        QStringLiteral("2026-03-14T09:00:03.500+08:00,5,QELT15-20,5.00,2.00,4.94,1.53,on,"),
        QStringLiteral("2026-03-14T09:00:04.500+08:00,5,QELT15-20,5.00,2.00,4.92,1.54,on,"),
        QStringLiteral("2026-03-14T09:00:05.500+08:00,5,QELT15-20,5.00,2.00,0.00,0.00,off,"),
    }));
    // A folder that does not exist: the export says so.
    QSignalSpy done(f.trend, &TTREND::csvExported);
    f.trend->ExportCsv(QStringLiteral("/nonexistent-folder/x.csv"));
    QVERIFY(done.wait(kShortWaitMs));
    QCOMPARE(done.first().at(1).toBool(), false);
    QVERIFY(!done.first().at(2).toString().isEmpty());
}

// A fixed value range stays whatever the readings; lower must be below upper;
// automatic again follows the readings.
void TestTrend::fixedValueRange()
{
    TrendFixture f;
    f.tenSeconds();
    f.view(0, 10);
    QCPAxis *volts = f.trend->Plot->axisRect(0)->axis(QCPAxis::atLeft);
    QVERIFY(volts->range().lower > 9.5 && volts->range().upper < 16); // readings and setpoint
    QVERIFY(f.trend->SetValueRange(0, 0, 30));
    f.trend->Plot->replot(QCustomPlot::rpImmediateRefresh);
    QCOMPARE(volts->range(), QCPRange(0, 30));
    QVERIFY(!f.trend->RangeAuto[0]->isChecked());
    QVERIFY(f.trend->RangeLow[0]->isEnabled());
    QVERIFY(!f.trend->SetValueRange(0, 5, 5));
    QVERIFY(!f.trend->SetValueRange(0, 6, 5));
    // From the spin boxes: an upper value below the lower is not taken.
    f.trend->RangeHigh[0]->setValue(-1);
    f.trend->Plot->replot(QCustomPlot::rpImmediateRefresh);
    QCOMPARE(volts->range(), QCPRange(0, 30));
    f.trend->RangeHigh[0]->setValue(20);
    f.trend->Plot->replot(QCustomPlot::rpImmediateRefresh);
    QCOMPARE(volts->range(), QCPRange(0, 20));
    // The current's plot stays automatic.
    QVERIFY(f.trend->Plot->axisRect(1)->axis(QCPAxis::atLeft)->range().upper < 2);
    f.trend->SetAutoRange(0);
    f.trend->Plot->replot(QCustomPlot::rpImmediateRefresh);
    QVERIFY(volts->range().lower > 9.5 && volts->range().upper < 16);
}

// A hidden trace is not drawn, read out or counted; the setpoints, computed
// power, read power and shading can each be hidden; a click on a legend entry
// toggles it.
void TestTrend::hiddenSeries()
{
    TrendFixture f;
    f.tenSeconds(1);
    f.tenSeconds(5);
    f.view(0, 10);
    const TTrendTrace first = f.trend->Traces().at(0);
    f.trend->SetTraceShown(0, false);
    QVERIFY(!first.voltage->visible() && !first.current->visible() && !first.computedPower->visible());
    QVERIFY(!f.trend->ReadoutAt(f.key(1)).contains(QStringLiteral("地址 1 ")));
    QVERIFY(f.trend->ReadoutAt(f.key(1)).contains(QStringLiteral("地址 5 ")));
    QVERIFY(!f.trend->StatsText().contains(QStringLiteral("地址 1 ")));
    f.trend->SetSeriesShown(TTREND::Setpoints, false);
    QVERIFY(!f.trend->Traces().at(1).voltageSetpoint->visible());
    QVERIFY(f.trend->Traces().at(1).voltage->visible());
    // A click on the first trace's legend entry shows it again.
    QCPAbstractLegendItem *entry = f.trend->Plot->legend->item(0);
    const QPoint at = entry->rect().center();
    QTest::mouseClick(f.trend->Plot, Qt::LeftButton, Qt::NoModifier, at);
    QVERIFY(f.trend->Traces().at(0).shown);
    QVERIFY(first.voltage->visible());
    // The overview opens the trend at one address: the others are hidden.
    f.trend->showAddress(5);
    QVERIFY(!f.trend->Traces().at(0).shown && f.trend->Traces().at(1).shown);
    QVERIFY(f.trend->Following());
}

void TestTrend::dateOnTimeAxis_data()
{
    QTest::addColumn<double>("span");
    QTest::addColumn<bool>("dated");
    QTest::newRow("an hour") << 3600.0 << false;
    QTest::newRow("a day") << 86400.0 << false;
    QTest::newRow("a day and a second") << 86401.0 << true;
}

void TestTrend::dateOnTimeAxis()
{
    QFETCH(double, span);
    QFETCH(bool, dated);
    TrendFixture f;
    f.tenSeconds();
    f.view(10 - span, 10);
    QCOMPARE(f.trend->TimeFormat().contains(QStringLiteral("yyyy-MM-dd")), dated);
    QCOMPARE(f.trend->ReadoutAt(f.key(10)).startsWith(f.start.addSecs(10).toString(QStringLiteral("yyyy-MM-dd"))),
             dated);
}

QTEST_MAIN(TestTrend)
#include "tst_trend.moc"
