// bench_timing: how closely the tool keeps its own timing rules on a real
// pseudo-terminal, against simulated supplies that run in a thread of their
// own (the tool blocks its GUI thread while it collects a reply, by design, so
// the supplies must not share it).
//
//   bench_timing [--quick] [--only polls,recording,free,inflight,scan,sequence]
//
// A request's time is when SendFrame had handed it to the pseudo-terminal; a
// reply's time comes from the simulator's record (its first and last byte as
// the supply wrote them); clicks and readout writes are timed on the tool's
// side; all on one monotonic clock. Prints "key value" lines for bench/run.sh.
//
// Phases, one after another on one line:
//   polls     monitor on, N consecutive status polls: period; reply last byte
//             to readouts written
//   recording the polls again with the trend shown and every reading
//             recorded to a CSV file: the same figures, keys "recording_..."
//   free      monitor off, a command click with the line free: click to frame
//   inflight  monitor on, a command click 20..180 ms after a poll: poll to
//             frame (the 200 ms release) and click to frame
//   scan      address scan over a small range: probe period
//   sequence  a three-step sequence: step spacing against the dwells

#include "app/forms.h"
#include "app/mainwindow.h"
#include "link/commports.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "record/readingrecorder.h"
#include "link/replydispatcher.h"
#include "link/serialchannel.h"
#include "panels/addressscan.h"
#include "panels/monitorpanel.h"
#include "panels/sequencerunner.h"
#include "panels/trend.h"
#include "sim/simbus.h"
#include "sim/simoptions.h"
#include "widgets/spinedit.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

QElapsedTimer g_clock;
qint64 nowUs() { return g_clock.nsecsElapsed() / 1000; }

// Bus clock + offset = our clock. Both clocks are monotonic; the offset is
// taken from two readings a microsecond apart.
qint64 g_busOffsetUs = 0;

struct Stats {
    size_t n = 0;
    double median = 0, p99 = 0, min = 0, max = 0;
};

Stats stats(std::vector<double> v)
{
    Stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.n = v.size();
    s.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    // Nearest-rank percentile.
    const size_t rank = size_t(std::ceil(0.99 * double(v.size())));
    s.p99 = v[std::max<size_t>(rank, 1) - 1];
    s.min = v.front();
    s.max = v.back();
    return s;
}

// Put before every key printed (a phase run twice keeps both figures).
const char *g_keyPrefix = "";

void print(const char *key, double value)
{
    std::printf("%s%s %.3f\n", g_keyPrefix, key, value);
    std::fflush(stdout);
}

void printStats(const char *prefix, const Stats &s)
{
    const std::string p(prefix);
    print((p + "_n").c_str(), double(s.n));
    print((p + "_median").c_str(), s.median);
    print((p + "_p99").c_str(), s.p99);
    print((p + "_min").c_str(), s.min);
    print((p + "_max").c_str(), s.max);
}

// Runs the event loop until done() or the time limit; false on time-out.
bool waitFor(const std::function<bool()> &done, int limitMs)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > limitMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(2, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void waitMs(int ms)
{
    waitFor([] { return false; }, ms);
}

// Closes the modal boxes of the scan (its end message) as they open.
void closeModalBoxes()
{
    if (QWidget *modal = QApplication::activeModalWidget())
        modal->close();
}

bool isStatusPoll(const QByteArray &f)
{
    return f.size() == 8 && f.at(1) == FunctionReadHolding && RegisterAt(f, 2) == VoltageSetpoint
        && RegisterAt(f, 4) == 5;
}

bool isProbe(const QByteArray &f)
{
    return f.size() == 8 && f.at(1) == FunctionReadHolding && RegisterAt(f, 2) == VoltageSetpoint
        && RegisterAt(f, 4) == 1;
}

bool isVoltageCommand(const QByteArray &f)
{
    return f.size() == 11 && f.at(1) == FunctionWriteMultiple && RegisterAt(f, 2) == VoltageSetpoint;
}

bool isSetpointPair(const QByteArray &f)
{
    return f.size() == 13 && f.at(1) == FunctionWriteMultiple && RegisterAt(f, 2) == VoltageSetpoint
        && RegisterAt(f, 4) == 2;
}

bool isOutputSwitch(const QByteArray &f)
{
    return f.size() == 11 && f.at(1) == FunctionWriteMultiple && RegisterAt(f, 2) == OutputSwitch;
}

// Requests as the tool put them on the line: the moment SendFrame had handed
// the whole frame to the pseudo-terminal (a pseudo-terminal delivers at once).
// Taken on the tool's side rather than from the simulator's record so that the
// simulator thread's own scheduling does not enter the tool's figures.
struct WireFrame {
    qint64 atUs;
    QByteArray bytes;
};

std::vector<WireFrame> g_sent;

std::vector<WireFrame> received(const SimBus &, const std::function<bool(const QByteArray &)> &kind)
{
    std::vector<WireFrame> frames;
    for (const WireFrame &f : g_sent) {
        if (kind(f.bytes))
            frames.push_back(f);
    }
    return frames;
}

// Replies written by the supplies: last byte time on our clock.
std::vector<qint64> replyEnds(const SimBus &bus)
{
    std::vector<qint64> ends;
    for (const SimFrameRecord &r : bus.record()) {
        if (r.direction == SimFrameRecord::Sent && r.note == QLatin1String("reply"))
            ends.push_back(r.endUs + g_busOffsetUs);
    }
    return ends;
}

void setMonitor(bool on)
{
    if (MonitorRunning != on)
        POWER_TEST->Button11->click();
}

// Waits until the monitor panel's scheduling is idle and any reply collected.
void waitIdle()
{
    waitFor([] { return !PollActive && !CommandPending && !POWER_TEST->Timer2->isActive(); }, 3000);
    waitMs(300);
}

std::vector<qint64> g_readoutsWritten;

void recordSent(const QByteArray &frame)
{
    g_sent.push_back({nowUs(), frame});
}

void pollPhase(SimBus &bus, int periods)
{
    bus.clearRecord();
    g_sent.clear();
    g_readoutsWritten.clear();
    setMonitor(true);
    waitFor([&] { return received(bus, isStatusPoll).size() >= size_t(periods + 1); }, (periods + 10) * 600);
    waitMs(200);
    setMonitor(false);
    const std::vector<WireFrame> polls = received(bus, isStatusPoll);
    std::vector<double> period;
    for (size_t i = 1; i < polls.size() && period.size() < size_t(periods); ++i)
        period.push_back((polls[i].atUs - polls[i - 1].atUs) / 1000.0);
    printStats("poll_period_ms", stats(period));

    // Each reply's last byte against the first readout write after it, and the
    // first byte of the reply (the start of the silence rule's two polls).
    std::vector<double> fromLast, fromFirst;
    std::vector<qint64> firsts;
    for (const SimFrameRecord &r : bus.record()) {
        if (r.direction == SimFrameRecord::Sent && r.note == QLatin1String("reply"))
            firsts.push_back(r.startUs + g_busOffsetUs);
    }
    const std::vector<qint64> ends = replyEnds(bus);
    for (size_t i = 0; i < ends.size(); ++i) {
        const auto written = std::lower_bound(g_readoutsWritten.begin(), g_readoutsWritten.end(), ends[i]);
        if (written == g_readoutsWritten.end())
            continue;
        fromLast.push_back((*written - ends[i]) / 1000.0);
        fromFirst.push_back((*written - firsts[i]) / 1000.0);
    }
    printStats("reply_to_readout_ms", stats(fromLast));
    printStats("reply_first_byte_to_readout_ms", stats(fromFirst));
    waitIdle();
}

void freeCommandPhase(SimBus &bus, int count)
{
    setMonitor(false);
    waitIdle();
    bus.clearRecord();
    g_sent.clear();
    std::vector<qint64> clicks;
    for (int i = 0; i < count; ++i) {
        clicks.push_back(nowUs());
        POWER_TEST->BitBtn1->click();
        waitIdle();
    }
    const std::vector<WireFrame> commands = received(bus, isVoltageCommand);
    std::vector<double> delay;
    for (qint64 click : clicks) {
        for (const WireFrame &f : commands) {
            if (f.atUs >= click) {
                delay.push_back((f.atUs - click) / 1000.0);
                break;
            }
        }
    }
    printStats("cmd_free_ms", stats(delay));
}

void inflightCommandPhase(SimBus &bus, int count)
{
    static const int offsetsMs[] = {20, 60, 100, 140, 180};
    bus.clearRecord();
    g_sent.clear();
    qint64 lastPollSentUs = -1;
    SetSendObserver([&lastPollSentUs](const QByteArray &frame) {
        g_sent.push_back({nowUs(), frame});
        if (isStatusPoll(frame))
            lastPollSentUs = g_sent.back().atUs;
    });
    setMonitor(true);
    std::vector<qint64> clicks;
    for (int i = 0; i < count; ++i) {
        lastPollSentUs = -1;
        if (!waitFor([&] { return lastPollSentUs >= 0; }, 3000))
            break;
        const qint64 due = lastPollSentUs + offsetsMs[i % 5] * 1000;
        bool clicked = false;
        QTimer::singleShot(int(std::max<qint64>(0, (due - nowUs()) / 1000)), Qt::PreciseTimer, qApp, [&] {
            clicks.push_back(nowUs());
            POWER_TEST->BitBtn1->click();
            clicked = true;
        });
        waitFor([&] { return clicked; }, 3000);
        // The command goes out at the release tick; wait for the polls to resume.
        lastPollSentUs = -1;
        waitFor([&] { return lastPollSentUs >= 0; }, 3000);
    }
    setMonitor(false);
    SetSendObserver(recordSent);
    waitIdle();

    const std::vector<WireFrame> polls = received(bus, isStatusPoll);
    const std::vector<WireFrame> commands = received(bus, isVoltageCommand);
    std::vector<double> fromPoll, fromClick;
    for (qint64 click : clicks) {
        const auto command = std::find_if(commands.begin(), commands.end(),
                                          [click](const WireFrame &f) { return f.atUs >= click; });
        if (command == commands.end())
            continue;
        qint64 poll = -1;
        for (const WireFrame &p : polls) {
            if (p.atUs < click)
                poll = p.atUs;
        }
        if (poll < 0)
            continue;
        fromPoll.push_back((command->atUs - poll) / 1000.0);
        fromClick.push_back((command->atUs - click) / 1000.0);
    }
    printStats("cmd_inflight_from_poll_ms", stats(fromPoll));
    printStats("cmd_inflight_from_click_ms", stats(fromClick));
}

void scanPhase(SimBus &bus, int lastAddress)
{
    setMonitor(false);
    waitIdle();
    bus.clearRecord();
    g_sent.clear();
    QTimer closer(qApp);
    QObject::connect(&closer, &QTimer::timeout, qApp, &closeModalBoxes);
    closer.start(5);
    ShowWindow(RSADDERS);
    RSADDERS->SpinEdit1->SetValue(0);
    RSADDERS->SpinEdit2->SetValue(lastAddress);
    RSADDERS->BitBtn1->click();
    waitFor([] { return !RSADDERS->Timer1->isActive(); }, (lastAddress + 5) * 1100);
    waitMs(200);
    const std::vector<WireFrame> probes = received(bus, isProbe);
    std::vector<double> period;
    for (size_t i = 1; i < probes.size(); ++i) {
        period.push_back((probes[i].atUs - probes[i - 1].atUs) / 1000.0);
        std::printf("scan_probe_%zu_period_ms %.3f\n", i, period.back());
    }
    printStats("scan_period_ms", stats(period));
    RSADDERS->hide();
}

void sequencePhase(SimBus &bus, int cycles)
{
    static const char *dwell[] = {"1", "2", "1"};
    static const char *volts[] = {"5", "10", "2.5"};
    setMonitor(false);
    waitIdle();
    bus.clearRecord();
    g_sent.clear();
    ShowWindow(TYP);
    for (int row = 1; row <= StepRowCount; ++row)
        TYP->StepCheck(row)->setChecked(row <= 3);
    for (int row = 1; row <= 3; ++row) {
        TYP->VoltageEdit(row)->setText(QString::fromLatin1(volts[row - 1]));
        TYP->CurrentEdit(row)->setText(QStringLiteral("0.5"));
        TYP->TimeEdit(row)->setText(QString::fromLatin1(dwell[row - 1]));
    }
    TYP->Edit61->setText(QString::number(cycles));
    TYP->SpinEdit2->SetValue(1);
    TYP->Button1->click();
    waitFor([] { return !SequenceRunning; }, (4 * cycles + 5) * 1000);
    waitMs(300);
    TYP->hide();

    // Expected gap before each frame: setpoint -> output on 1000 ms, then each
    // step's dwell before the next setpoint (or the output-off frame).
    std::vector<WireFrame> frames = received(bus, [](const QByteArray &f) {
        return isSetpointPair(f) || isOutputSwitch(f);
    });
    std::vector<double> deviation;
    int step = 0;
    for (size_t i = 1; i < frames.size(); ++i) {
        const double gap = (frames[i].atUs - frames[i - 1].atUs) / 1000.0;
        double expected;
        if (isOutputSwitch(frames[i].bytes) && frames[i].bytes.at(8) == 1) {
            expected = 1000;
        } else {
            expected = 1000.0 * std::atoi(dwell[step % 3]);
            ++step;
        }
        deviation.push_back(gap - expected);
        std::printf("seq_gap_%zu_expected_%.0f_ms %.3f\n", i, expected, gap);
    }
    print("seq_frames", double(frames.size()));
    printStats("seq_gap_deviation_ms", stats(deviation));
    std::vector<double> absolute;
    for (double d : deviation)
        absolute.push_back(std::fabs(d));
    print("seq_gap_abs_deviation_max_ms", absolute.empty() ? 0 : *std::max_element(absolute.begin(), absolute.end()));
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("精密数控电源测试软件"));
    QApplication::setQuitOnLastWindowClosed(false);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    g_clock.start();

    SimBus bus(&app);
    SimBusOptions options;
    ParseSimOptions({QStringLiteral("-s"), QStringLiteral("1"), QStringLiteral("-s"), QStringLiteral("5"),
                     QStringLiteral("--load"), QStringLiteral("1=10"), QStringLiteral("--preset"),
                     QStringLiteral("1=1200,1000,on"), QStringLiteral("--noise"), QStringLiteral("1=3")},
                    &options);
    ApplySimOptions(options, bus);
    const QString device = bus.openPty();
    bus.start(SimBus::Threading::OwnThread);
    g_busOffsetUs = nowUs() - bus.nowUs();

    CreateForms();
    MAIN->show();
    MapCommPort(1, device);
    SetSendObserver(recordSent);
    SetReplyHandler([](const QByteArray &reply) {
        DispatchReply(reply);
        g_readoutsWritten.push_back(nowUs());
    });
    SelectModel(1);
    MAIN->MSComm1->SetCommPort(1);
    MAIN->MSComm1->SetSettings(QStringLiteral("9600,n,8,1"));
    MAIN->MSComm1->SetPortOpen(true);
    POWER_TEST->SpinEdit1->SetValue(1);
    ShowWindow(POWER_TEST);
    waitMs(300);

    // --only polls,recording,free,inflight,scan,sequence runs some phases alone.
    QStringList phases = {QStringLiteral("polls"), QStringLiteral("recording"), QStringLiteral("free"), QStringLiteral("inflight"),
                          QStringLiteral("scan"), QStringLiteral("sequence")};
    const qsizetype only = app.arguments().indexOf(QStringLiteral("--only"));
    if (only > 0 && only + 1 < app.arguments().size())
        phases = app.arguments().at(only + 1).split(QLatin1Char(','));

    print("quick", quick ? 1 : 0);
    if (phases.contains(QStringLiteral("polls")))
        pollPhase(bus, quick ? 40 : 200);
    if (phases.contains(QStringLiteral("recording"))) {
        // The polls again with the trend shown and every reading recorded.
        QTemporaryDir folder;
        POWER_TEST->Button12->click();
        if (POWER_TEST->Trend->StartRecording(folder.filePath(QStringLiteral("readings.csv")))) {
            g_keyPrefix = "recording_";
            pollPhase(bus, quick ? 40 : 100);
            g_keyPrefix = "";
            POWER_TEST->Trend->StopRecording();
            print("recording_rows", double(POWER_TEST->Trend->Recorder->RowsWritten()));
        }
        POWER_TEST->Trend->hide();
        waitMs(300);
    }
    if (phases.contains(QStringLiteral("free")))
        freeCommandPhase(bus, quick ? 8 : 20);
    if (phases.contains(QStringLiteral("inflight")))
        inflightCommandPhase(bus, quick ? 10 : 25);
    if (phases.contains(QStringLiteral("scan")))
        scanPhase(bus, quick ? 5 : 30);
    if (phases.contains(QStringLiteral("sequence")))
        sequencePhase(bus, quick ? 1 : 2);

    MAIN->MSComm1->SetPortOpen(false);
    bus.stop();
    return 0;
}
