// Faults mended: a box asked for by a reply no longer stops the readings
// behind it; the sequence and calibration windows start at the first supply,
// not the broadcast; the monitor marks readouts whose poll got no reply; a
// recording to a device that cannot seek warns of nothing.
#include "record/readingrecorder.h"
#include "link/statusfeed.h"
#include "tst_endtoend.h"

#include <QApplication>
#include <QMessageBox>

using namespace e2e;

namespace {

// Every message the Qt log gets while it lives.
class LogCatcher
{
public:
    LogCatcher()
    {
        s_lines.clear();
        m_previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
            s_lines << text;
        });
    }
    ~LogCatcher() { qInstallMessageHandler(m_previous); }
    LogCatcher(const LogCatcher &) = delete;
    LogCatcher &operator=(const LogCatcher &) = delete;
    QStringList lines() const { return s_lines; }

private:
    static inline QStringList s_lines;
    QtMessageHandler m_previous = nullptr;
};

} // namespace

class TestMends : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { quietenOffscreenPlatform(); }
    void readingsGoOnBehindTheCorrectionBox();
    void addressesStartAtTheFirstSupply();
    void monitorMarksReadoutsWithoutReply();
    void recordingToADeviceThatCannotSeek_data();
    void recordingToADeviceThatCannotSeek();
};

// The calibration window open, the monitor on: a setpoint's acknowledgement
// opens "误差修正成功！", and while it stays open the readings keep coming.
void TestMends::readingsGoOnBehindTheCorrectionBox()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(startMonitor(1));
    QVERIFY(click(MAIN, QStringLiteral("BitBtn5")));
    QVERIFY(CalibrationMode);
    // A box that stopped the readings is closed by the closer in the end.
    bench.closer.setPatienceMs(8000);

    int readings = 0;
    QObject counter;
    connect(TheStatusFeed(), &StatusFeed::statusRead, &counter, [&readings] { ++readings; });
    // The box runs a loop of its own: what happens behind it is watched from
    // inside that loop, and the box closed once three readings have come.
    int atOpen = -1;
    bool rxBusyAtOpen = true;
    bool readingsBehindBox = false;
    QString text;
    QTimer watcher;
    watcher.setInterval(10);
    connect(&watcher, &QTimer::timeout, &counter, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (atOpen < 0) {
            atOpen = readings;
            rxBusyAtOpen = RxBusy;
            text = box->text();
        } else if (readings >= atOpen + 3) {
            readingsBehindBox = true;
            box->close();
        }
    });
    watcher.start();
    QVERIFY(setDigits(POWER_TEST, 3, QStringLiteral("1100")));
    QVERIFY(click(POWER_TEST, QStringLiteral("BitBtn1")));
    QTRY_VERIFY_WITH_TIMEOUT(readingsBehindBox, kLongWaitMs);
    QCOMPARE(text, QStringLiteral("误差修正成功！"));
    QVERIFY(!rxBusyAtOpen);
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText7")), QStringLiteral("11.00"));
    QTRY_VERIFY_WITH_TIMEOUT(!QApplication::activeModalWidget(), kShortWaitMs);
}

// 1 at the start, as the monitor's address; 0, the broadcast, still selectable.
void TestMends::addressesStartAtTheFirstSupply()
{
    ResetToolState();
    CreateForms();
    for (TSpinEdit *address : {TYP->SpinEdit2, ERR->SpinEdit2, POWER_TEST->SpinEdit1}) {
        QCOMPARE(address->Value(), 1);
        QVERIFY(address->Unlimited());
        address->SetValue(0);
        QCOMPARE(address->Value(), 0);
    }
    DestroyForms();
    ResetToolState();
}

// The monitor on an address where no supply answers: after a poll without a
// reply the readouts keep their text, greyed, with a tooltip saying why; the
// first reading from a supply that answers takes the mark away.
void TestMends::monitorMarksReadoutsWithoutReply()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(startMonitor(1));
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText5")), QStringLiteral("12.00"),
                              kShortWaitMs);
    const QColor lime = POWER_TEST->StaticText5->palette().color(QPalette::WindowText);
    QVERIFY(POWER_TEST->StaticText5->toolTip().isEmpty());

    QVERIFY(setNumber(POWER_TEST, QStringLiteral("SpinEdit1"), 9));
    QTRY_VERIFY_WITH_TIMEOUT(POWER_TEST->Image2->property("noReply").toBool(), kLongWaitMs);
    for (const char *name : {"StaticText5", "StaticText6", "StaticText7", "StaticText8", "StaticText9"}) {
        auto *readout = control<QLabel>(POWER_TEST, QString::fromLatin1(name));
        QVERIFY2(!readout->toolTip().isEmpty(), name);
        QVERIFY2(readout->palette().color(QPalette::WindowText) != lime, name);
    }
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText5")), QStringLiteral("12.00"));
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText9")), QStringLiteral("ON"));

    QVERIFY(setNumber(POWER_TEST, QStringLiteral("SpinEdit1"), 17));
    QTRY_VERIFY_WITH_TIMEOUT(!POWER_TEST->Image2->property("noReply").toBool(), kLongWaitMs);
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText5")), QStringLiteral("04.00"));
    QCOMPARE(POWER_TEST->StaticText5->palette().color(QPalette::WindowText), lime);
    QVERIFY(POWER_TEST->StaticText5->toolTip().isEmpty());
}

void TestMends::recordingToADeviceThatCannotSeek_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("null device") << "/dev/null";
    QTest::newRow("terminal") << "/dev/tty0-none";
}

// A device or a pipe is written where it stands: no seek, no warning.
void TestMends::recordingToADeviceThatCannotSeek()
{
    QFETCH(QString, path);
    SimBus bus;
    const QString device = path.endsWith(QLatin1String("-none")) ? bus.openPty() : path;
    LogCatcher log;
    {
        ReadingRecorder recorder;
        QString cause;
        QVERIFY2(recorder.Start(device, &cause), qPrintable(cause));
        SelectModel(1);
        recorder.Record(DecodeReading({}, ReadingModel::Active(), 1, QDateTime::currentDateTime()));
        QTRY_COMPARE(recorder.RowsWritten(), 1);
        recorder.Stop();
        ClearActiveModel();
    }
    QCOMPARE(log.lines(), QStringList());
}

QTEST_MAIN(TestMends)
#include "tst_mends.moc"
