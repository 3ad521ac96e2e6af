// The trend and the recorder, fed by the real monitor polling the simulator on
// a pseudo-terminal: what the simulator answered is what the trend holds and
// what the recording says, row for row in psuctl's CSV.

#include "link/readingformat.h"
#include "link/readingrecorder.h"
#include "link/statusfeed.h"
#include "panels/trend.h"
#include "tst_endtoend.h"

#include <QTemporaryDir>
#include <cmath>
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
bool startMonitor(int address)
{
    if (!click(MAIN, QStringLiteral("BitBtn4")) || !setNumber(POWER_TEST, QStringLiteral("SpinEdit1"), address))
        return false;
    return click(POWER_TEST, QStringLiteral("Button11")) && click(POWER_TEST, QStringLiteral("Button12"))
           && POWER_TEST->Trend->isVisible();
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
};

// Every status reply the simulator sent is one point of the trace, with the
// simulator's values, decoded a little after the reply's last byte.
void TestTrend::readingsReachTrend()
{
    Bench bench;
    const qint64 wallAtZeroMs = QDateTime::currentMSecsSinceEpoch() - bench.bus->nowUs() / 1000;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(startMonitor(1));
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
    QCOMPARE(readingsOf(trace.outputOff[0]).last().value, 0.0);
    // No power was read: the power plot has no point, not a row of zeros.
    QCOMPARE(readingsOf(trace.power).size(), 0);

    // Hidden and shown again, the window keeps its data.
    trend->hide();
    QVERIFY(click(POWER_TEST, QStringLiteral("Button12")));
    QCOMPARE(readingsOf(trend->Traces().first().voltage).size(), replies.size());
    QVERIFY(trend->ReadoutAt(volts.at(1).key).contains(QStringLiteral("12.000 V")));
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
    QVERIFY(startMonitor(1));
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
    QVERIFY(startMonitor(1));
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
    // Each starts after the one before; all are in the legend.
    QVERIFY(traces.at(1).started >= traces.at(0).started && traces.at(2).started >= traces.at(1).started);
    QCOMPARE(trend->Plot->legend->itemCount(), 3);
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
    QVERIFY(startMonitor(1));
    TTREND *trend = POWER_TEST->Trend;
    QList<StatusSample> readings;
    QVERIFY(trend->StartRecording(path));
    connect(TheStatusFeed(), &StatusFeed::statusRead, trend, [&readings](const StatusSample &s) { readings << s; });
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
        StatusSample psuctl;
        psuctl.time = readings.at(n).time;
        psuctl.address = 1;
        psuctl.model = &ModelCatalogue[0];
        psuctl.status = readings.at(n).status;
        psuctl.power = readings.at(n).power;
        QCOMPARE(row, FormatReading(psuctl, ReadingFormat::Csv));
        const QString tail = row.section(QLatin1Char(','), 1);
        if (readings.at(n).power) {
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
    QVERIFY(startMonitor(1));
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

    StatusSample sample;
    sample.address = 1;
    sample.model = &ModelCatalogue[0];
    sample.status = DecodeStatusBlock(status + QByteArray::fromHex("0000"));
    sample.time = QDateTime::currentDateTime().addSecs(-3600);
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
    StatusSample sample;
    sample.address = 1;
    sample.model = &ModelCatalogue[0];
    sample.status = {1200, 1500, 1200, 1200, true};
    const QDateTime start = QDateTime::currentDateTime();
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

QTEST_MAIN(TestTrend)
#include "tst_trend.moc"
