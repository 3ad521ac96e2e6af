// The station window end to end: a plan opened, serial numbers typed the way
// a barcode scanner types them, a run against the demo's simulated supplies
// on a pseudo-terminal, the tiles' verdicts and colours, and an abort or a
// closed window ending in the plan's finally block (outputs off).

#include "tst_endtoend.h"

#include "master/rtuplanbus.h"
#include "panels/planstation.h"
#include "support_pty.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>

using namespace e2e;

namespace {

// One slot per demo supply at 1 and 5: the outputs on at 5 V, then either a
// reading judged against 5 V within 3 counts, or a long wait that only an
// abort ends. The finally block switches the outputs off.
QString writePlan(const QTemporaryDir &dir, bool longWait)
{
    QString text = QStringLiteral(
        "name = \"station test\"\n"
        "version = \"2\"\n"
        "models = [\"QELT30-05\", \"QELT60-05\"]\n"
        "on_fail = \"continue\"\n"
        "[[slot]]\nname = \"A\"\naddress = 1\nmodel = \"QELT30-05\"\n"
        "[[slot]]\nname = \"B\"\naddress = 5\nmodel = \"QELT60-05\"\n"
        "[[step]]\ntype = \"set\"\nvoltage = 5\ncurrent = 3\noutput = true\n");
    if (longWait) {
        text += QStringLiteral("[[step]]\ntype = \"wait\"\nname = \"soak\"\ntime = 600\n");
    } else {
        text += QStringLiteral(
            "[[step]]\ntype = \"settle\"\nquantity = \"voltage\"\ntolerance = 0.05\nhold = 0.2\ntimeout = 5\n"
            "[[step]]\ntype = \"measure\"\nname = \"read back\"\ncount = 2\n"
            "  [[step.check]]\n  name = \"voltage mean\"\n  quantity = \"voltage\"\n"
            "  statistic = \"mean\"\n  percent = 0\n  counts = 3\n");
    }
    text += QStringLiteral("[[finally]]\ntype = \"set\"\noutput = false\n");
    const QString path = dir.filePath(longWait ? QStringLiteral("soak.toml") : QStringLiteral("check.toml"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(text.toUtf8());
    return path;
}

// The station's line with a wait for replies that a starved simulator
// thread on a loaded machine still meets.
std::unique_ptr<PlanBus> patientBus(const QString &device, const LineSettings &line)
{
    LineOptions options;
    options.port = device;
    options.serial = line;
    options.timeoutUs = 1000000;
    options.retries = 3;
    return OpenRtuPlanBus(options);
}

} // namespace

class TestStation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { quietenOffscreenPlatform(); }
    void serialEntryMovesFocus();
    void runJudgesEverySlot();
    void abortRunsFinally_data();
    void abortRunsFinally();
    void refusedWhileMonitorPolls();
};

#define STATION_OPEN(bench, dir, longWait)                                                   \
    OpenToolPort((bench).path, 2);                                                           \
    QVERIFY(click(MAIN, QStringLiteral("BitBtn8")));                                         \
    QTRY_VERIFY(PLANSTATION && PLANSTATION->isVisible());                                    \
    TPLANSTATION *station = PLANSTATION;                                                     \
    station->Edit1->setText((dir).filePath(QStringLiteral("reports")));                      \
    station->Edit2->setText((dir).filePath(QStringLiteral("history.sqlite")));               \
    station->SetBusFactory(patientBus);                                                      \
    station->OpenPlan(writePlan((dir), (longWait)));                                         \
    QCOMPARE(station->Tiles.size(), 2);                                                      \
    QCOMPARE(station->StaticText1->text(), QStringLiteral("station test"));                  \
    QVERIFY(QTest::qWaitForWindowActive(station))

// Return after each number moves on: from the first slot to the second, from
// the last to the start button. An empty number or one the other slot has
// stays where it is, selected, with the cause in its tile.
void TestStation::serialEntryMovesFocus()
{
    Bench bench;
    QTemporaryDir dir;
    STATION_OPEN(bench, dir, false);
    QLineEdit *first = station->Tiles.at(0)->Serial;
    QLineEdit *second = station->Tiles.at(1)->Serial;
    QTRY_VERIFY(first->hasFocus());

    QTest::keyClick(first, Qt::Key_Return);
    QVERIFY(first->hasFocus());
    QCOMPARE(station->Tiles.at(0)->Step->text(), QStringLiteral("序列号不能为空"));

    QTest::keyClicks(first, QStringLiteral("SN-0001"));
    QTest::keyClick(first, Qt::Key_Return);
    QTRY_VERIFY(second->hasFocus());
    QCOMPARE(station->Tiles.at(0)->Step->text(), QString());

    QTest::keyClicks(second, QStringLiteral(" SN-0001 "));
    QTest::keyClick(second, Qt::Key_Return);
    QVERIFY(second->hasFocus());
    QCOMPARE(second->selectedText(), QStringLiteral("SN-0001"));
    QCOMPARE(station->Tiles.at(1)->Step->text(), QStringLiteral("序列号 SN-0001 已用于 A"));

    // The next scan replaces the selected number.
    QTest::keyClicks(second, QStringLiteral("SN-0002"));
    QTest::keyClick(second, Qt::Key_Return);
    QTRY_VERIFY(station->Button2->hasFocus());
    QCOMPARE(second->text(), QStringLiteral("SN-0002"));

    // Start refuses a duplicate that was typed without Return.
    second->setText(QStringLiteral("SN-0001"));
    const int boxes = bench.closer.texts().size();
    QVERIFY(click(station, QStringLiteral("Button2")));
    QTRY_COMPARE(bench.closer.texts().size(), boxes + 1);
    QVERIFY(bench.closer.texts().last().contains(QStringLiteral("SN-0001")));
    QVERIFY(!station->Running());
    QVERIFY(requests(*bench.bus).isEmpty());
    QVERIFY(MAIN->MSComm1->PortOpen());
}

// The supply at 5 reads 0.12 V high: its tile turns red FAIL, the one at 1
// green PASS; the outputs are off after the finally block, the reports are
// written and the tool's port is open again.
void TestStation::runJudgesEverySlot()
{
    Bench bench;
    bench.bus->updateSupply(bench.indexOf(5), [](SimSupply &supply) { supply.faults().voltageOffsetCounts = 12; });
    QTemporaryDir dir;
    STATION_OPEN(bench, dir, false);
    station->Tiles.at(0)->Serial->setText(QStringLiteral("A1"));
    station->Tiles.at(1)->Serial->setText(QStringLiteral("A2"));
    QSignalSpy ended(station, &TPLANSTATION::runEnded);
    QVERIFY(click(station, QStringLiteral("Button2")));
    QVERIFY(station->Running());
    QVERIFY(!MAIN->MSComm1->PortOpen());
    QCOMPARE(station->Tiles.at(0)->CurrentState(), TPlanTile::State::Testing);
    QTRY_VERIFY_WITH_TIMEOUT(!ended.isEmpty(), kLongWaitMs);

    const TPlanTile *pass = station->Tiles.at(0);
    const TPlanTile *fail = station->Tiles.at(1);
    if (pass->CurrentState() != TPlanTile::State::Pass || fail->CurrentState() != TPlanTile::State::Fail)
        qWarning("%s", qPrintable(recordText(*bench.bus)));
    QVERIFY2(pass->CurrentState() == TPlanTile::State::Pass, qPrintable(pass->Step->text()));
    QCOMPARE(pass->Verdict->text(), QStringLiteral("PASS"));
    QCOMPARE(pass->palette().color(QPalette::Window), QColor(0x1B, 0x8E, 0x3A));
    QVERIFY2(fail->CurrentState() == TPlanTile::State::Fail, qPrintable(fail->Step->text()));
    QCOMPARE(fail->Verdict->text(), QStringLiteral("FAIL"));
    QCOMPARE(fail->palette().color(QPalette::Window), QColor(0xC6, 0x28, 0x28));
    QVERIFY2(fail->Check->text().startsWith(QStringLiteral("✗ voltage mean: 5.12")), qPrintable(fail->Check->text()));
    QVERIFY(pass->Values->text().startsWith(QStringLiteral("5.00 V")));
    QVERIFY(pass->Verdict->font().bold());
    QVERIFY(pass->Verdict->font().pixelSize() >= 40);

    QVERIFY(!bench.supplyAt(1).outputOn());
    QVERIFY(!bench.supplyAt(5).outputOn());
    QVERIFY(MAIN->MSComm1->PortOpen());
    QCOMPARE(station->ReportFiles().size(), 3);
    QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("history.sqlite"))));
    QVERIFY2(bench.closer.texts().isEmpty(), qPrintable(bench.closer.texts().join(QLatin1Char('\n'))));
}

void TestStation::abortRunsFinally_data()
{
    QTest::addColumn<bool>("closeWindow");
    QTest::newRow("abort button") << false;
    QTest::newRow("window closed") << true;
}

// A run in a long wait ends at once in its finally block: the outputs go off,
// the tiles say ABORTED; a closed window stays until then, and goes.
void TestStation::abortRunsFinally()
{
    QFETCH(bool, closeWindow);
    Bench bench;
    QTemporaryDir dir;
    STATION_OPEN(bench, dir, true);
    station->Tiles.at(0)->Serial->setText(QStringLiteral("A1"));
    station->Tiles.at(1)->Serial->setText(QStringLiteral("A2"));
    bench.bus->updateSupply(bench.indexOf(1), [](SimSupply &supply) { supply.frontPanelSwitchOutput(false); });
    QSignalSpy ended(station, &TPLANSTATION::runEnded);
    QVERIFY(click(station, QStringLiteral("Button2")));
    QTRY_VERIFY_WITH_TIMEOUT(bench.supplyAt(1).outputOn(), kShortWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(station->Tiles.at(1)->Step->text().contains(QStringLiteral("soak")), kShortWaitMs);

    if (closeWindow) {
        QVERIFY(!station->close());
        QVERIFY(station->isVisible());
    } else {
        QVERIFY(click(station, QStringLiteral("Button3")));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!ended.isEmpty(), kShortWaitMs);
    QVERIFY(!bench.supplyAt(1).outputOn());
    QVERIFY(!bench.supplyAt(5).outputOn());
    for (const TPlanTile *tile : station->Tiles) {
        QCOMPARE(tile->CurrentState(), TPlanTile::State::Aborted);
        QCOMPARE(tile->palette().color(QPalette::Window), QColor(0x61, 0x61, 0x61));
    }
    QCOMPARE(station->isVisible(), !closeWindow);
    QVERIFY(MAIN->MSComm1->PortOpen());
}

// The monitor owns the line while it polls: the station says so and sends nothing.
void TestStation::refusedWhileMonitorPolls()
{
    Bench bench;
    QTemporaryDir dir;
    STATION_OPEN(bench, dir, false);
    station->Tiles.at(0)->Serial->setText(QStringLiteral("A1"));
    station->Tiles.at(1)->Serial->setText(QStringLiteral("A2"));
    MonitorRunning = true;
    QVERIFY(click(station, QStringLiteral("Button2")));
    MonitorRunning = false;
    QTRY_COMPARE(bench.closer.texts().size(), 1);
    QCOMPARE(bench.closer.texts().first(), QStringLiteral("监控正在运行：请先在参数设置窗口停止监控，再开始测试"));
    QVERIFY(!station->Running());
    QVERIFY(MAIN->MSComm1->PortOpen());
    QVERIFY(requests(*bench.bus).isEmpty());
}

QTEST_MAIN(TestStation)
#include "tst_station.moc"
