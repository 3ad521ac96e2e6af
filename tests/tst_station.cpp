// The station window end to end: a plan opened, serial numbers typed the way
// a barcode scanner types them, a run against the demo's simulated supplies
// on a pseudo-terminal, the tiles' verdicts and colours, and an abort or a
// closed window ending in the plan's finally block (outputs off).

#include "tst_endtoend.h"

#include "plan/masterbus.h"
#include "panels/planstation.h"
#include "panels/stationrelay.h"
#include "plan/planengine.h"
#include "sim/simreference.h"
#include "widgets/errorreport.h"
#include "support_pty.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTranslator>
#include <QUrl>

using namespace e2e;

namespace {

// One slot per demo supply at 1 and 5: the outputs on at 5 V, then either a
// reading judged against 5 V within 3 counts (the readings of the reference
// source names, if any), or a long wait that only an abort ends. The finally
// block switches the outputs off.
QString writePlan(const QTemporaryDir &dir, bool longWait, const QString &source = QString())
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
            "[[step]]\ntype = \"settle\"\nquantity = \"voltage\"\ntolerance = 0.2\nhold = 0.2\ntimeout = 5\n"
            "[[step]]\ntype = \"measure\"\nname = \"read back\"\ncount = 2\n%1"
            "  [[step.check]]\n  name = \"voltage mean\"\n  quantity = \"voltage\"\n"
            "  statistic = \"mean\"\n  percent = 0\n  counts = 3\n"
            "  [[step.check]]\n  name = \"voltage wide\"\n  quantity = \"voltage\"\n"
            "  statistic = \"max\"\n  percent = 10\n")
                    .arg(source.isEmpty() ? QString() : QStringLiteral("source = \"%1\"\n").arg(source));
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

// The English catalogue installed while it lives (the windows made meanwhile
// speak English); nothing for Chinese, the language of the source texts.
class Language
{
public:
    explicit Language(const QString &code)
    {
        if (code == QLatin1String("en") && m_translator.load(QStringLiteral(":/translations/psutool_en.qm")))
            m_installed = QCoreApplication::installTranslator(&m_translator);
    }
    ~Language()
    {
        if (m_installed)
            QCoreApplication::removeTranslator(&m_translator);
    }
    bool ok(const QString &code) const { return m_installed == (code == QLatin1String("en")); }

private:
    QTranslator m_translator;
    bool m_installed = false;
};

// Takes what the station hands to the desktop's programs.
class DesktopOpener : public QObject
{
    Q_OBJECT

public:
    DesktopOpener() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open"); }
    ~DesktopOpener() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened << url; }
};

// The folder the plan dialog shows when it opens: read, then the dialog is
// cancelled.
QString planDialogFolder(TPLANSTATION *station)
{
    QString folder = QStringLiteral("<no dialog>");
    QTimer::singleShot(0, station, [&folder] {
        QTRY_VERIFY(qobject_cast<QFileDialog *>(QApplication::activeModalWidget()));
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        folder = dialog->directory().absolutePath();
        dialog->reject();
    });
    QTest::mouseClick(station->Button1, Qt::LeftButton);
    return folder;
}

// The station around the meter: its scanner closes 101 for slot A and 105
// for B; the meter is due for calibration on due. One of kind "bad" has an
// error at line 3, column 8.
QString writeStation(const QTemporaryDir &dir, const QString &kind, quint16 meterPort, const QDate &due)
{
    const QString drivers = DemoStationFixture(nullptr).planFolder + QStringLiteral("/../station/drivers/");
    QFile station(dir.filePath(QStringLiteral("station.toml")));
    if (!station.open(QIODevice::WriteOnly))
        return QString();
    station.write(QStringLiteral("[[reference]]\nname = \"dmm\"\nkind = \"%1\"\nlink = \"tcp://127.0.0.1:%2\"\n"
                                 "driver = \"%3generic-dmm.toml\"\ncalibration_due = %4\n[[reference]]\nname = \"scanner\"\n"
                                 "kind = \"scanner\"\nlink = \"tcp://127.0.0.1:%2\"\ndriver = \"%3generic-scanner.toml\"\n"
                                 "channels = { A = 101, B = 105 }\n")
                      .arg(kind == QLatin1String("bad") ? QStringLiteral("meter") : QStringLiteral("dmm"))
                      .arg(meterPort)
                      .arg(drivers, due.toString(Qt::ISODate))
                      .toUtf8());
    return station.fileName();
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
    void refusedWhileLineBusy_data();
    void refusedWhileLineBusy();
    void nextBatchReplacesSerials_data();
    void nextBatchReplacesSerials();
    void operatorViewRestoresGeometry_data();
    void operatorViewRestoresGeometry();
    void causesInInterfaceLanguage_data();
    void causesInInterfaceLanguage();
    void reportsOpenOnDesktop();
    void planDialogStartsInLastFolder();
    void demoRunFailsOnlyFaultySupply();
    void referencesChecked_data();
    void referencesChecked();
};

#define STATION_OPEN_PLAN(bench, dir, planFile)                                              \
    OpenToolPort((bench).path, 2);                                                           \
    QVERIFY(click(MAIN, QStringLiteral("BitBtn8")));                                         \
    QTRY_VERIFY(PLANSTATION && PLANSTATION->isVisible());                                    \
    TPLANSTATION *station = PLANSTATION;                                                     \
    station->Edit1->setText((dir).filePath(QStringLiteral("reports")));                      \
    station->Edit2->setText((dir).filePath(QStringLiteral("history.sqlite")));               \
    station->SetBusFactory(patientBus);                                                      \
    station->OpenPlan(planFile);                                                             \
    QCOMPARE(station->Tiles.size(), 2)

#define STATION_OPEN(bench, dir, longWait)                                                   \
    STATION_OPEN_PLAN(bench, dir, writePlan((dir), (longWait)));                             \
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
    // The check the verdict rests on, not the one judged after it.
    QCOMPARE(fail->Check->text(), QStringLiteral("✗ voltage mean：5.120 V，限值 [4.97, 5.03]"));
    QCOMPARE(fail->Step->text(), QStringLiteral("检查“voltage mean”未通过"));
    QVERIFY2(pass->Check->text().startsWith(QStringLiteral("✓ voltage wide：5.00")), qPrintable(pass->Check->text()));
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
    QTRY_COMPARE_WITH_TIMEOUT(station->Tiles.at(1)->Step->text(), QStringLiteral("2 soak（等待）"), kShortWaitMs);

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
        QCOMPARE(tile->Step->text(), QStringLiteral("已中止"));
        QCOMPARE(tile->palette().color(QPalette::Window), QColor(0x61, 0x61, 0x61));
    }
    QCOMPARE(station->isVisible(), !closeWindow);
    QVERIFY(MAIN->MSComm1->PortOpen());
}

void TestStation::refusedWhileLineBusy_data()
{
    QTest::addColumn<QString>("busy");
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("monitor zh") << QStringLiteral("monitor") << QStringLiteral("zh")
                                << QStringLiteral("监控正在运行：请先在“电源测试”窗口（主窗口的“参数设置”）点“输出监测停止”，再开始测试");
    QTest::newRow("monitor en") << QStringLiteral("monitor") << QStringLiteral("en")
                                << QStringLiteral("The monitor is polling: click “Stop Monitor” in the “Supply Test” window "
                                                  "(“Supply Control” on the main window), then start the test");
    QTest::newRow("scan") << QStringLiteral("scan") << QStringLiteral("zh")
                          << QStringLiteral("地址检测正在运行：请等它结束，再开始测试");
    QTest::newRow("sequence") << QStringLiteral("sequence") << QStringLiteral("zh")
                              << QStringLiteral("典型应用正在运行：请先停止，再开始测试");
}

// A window that uses the line on its own clock owns it meanwhile: the
// station says which (the monitor named by its window and button, as the
// operator sees them), keeps the tool's port and sends nothing.
void TestStation::refusedWhileLineBusy()
{
    QFETCH(QString, busy);
    QFETCH(QString, language);
    QFETCH(QString, refusal);
    Language speaking(language);
    QVERIFY(speaking.ok(language));
    Bench bench;
    QTemporaryDir dir;
    STATION_OPEN(bench, dir, false);
    station->Tiles.at(0)->Serial->setText(QStringLiteral("A1"));
    station->Tiles.at(1)->Serial->setText(QStringLiteral("A2"));
    if (busy == QLatin1String("monitor")) {
        QVERIFY(startMonitor(1));
    } else if (busy == QLatin1String("scan")) {
        RSADDERS->BitBtn1->click();
        QVERIFY(RSADDERS->Timer1->isActive());
    } else {
        TYP->VoltageEdit(1)->setText(QStringLiteral("0"));
        TYP->CurrentEdit(1)->setText(QStringLiteral("1"));
        TYP->TimeEdit(1)->setText(QStringLiteral("60"));
        TYP->Edit61->setText(QStringLiteral("1"));
        TYP->StepCheck(1)->setChecked(true);
        TYP->Button1->click();
        QVERIFY(SequenceRunning);
    }
    station->activateWindow();
    const int sent = int(requests(*bench.bus).size());
    QVERIFY(click(station, QStringLiteral("Button2")));
    QTRY_VERIFY(!bench.closer.texts().isEmpty());
    QCOMPARE(bench.closer.texts(), QStringList{refusal});
    QVERIFY(!station->Running());
    QVERIFY(MAIN->MSComm1->PortOpen());
    if (busy == QLatin1String("scan")) {
        RSADDERS->BitBtn2->click();
        QVERIFY(!RSADDERS->Timer1->isActive());
        return;
    }
    if (busy == QLatin1String("sequence")) {
        TYP->Button1->click();
        QVERIFY(!SequenceRunning);
        return;
    }
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));
    // Only the monitor's polls went out, each a read of the status block.
    const QVector<SimFrameRecord> sentNow = requests(*bench.bus);
    for (int n = sent; n < sentNow.size(); ++n)
        QCOMPARE(quint8(sentNow.at(n).bytes.at(1)), quint8(0x03));
}

void TestStation::nextBatchReplacesSerials_data()
{
    QTest::addColumn<bool>("startByMouse");
    QTest::newRow("started with the mouse") << true;
    QTest::newRow("started with the space bar") << false;
}

// After a run the next batch is scanned into the focused field as key
// strokes: each scan replaces the number the slot had, the old verdict goes
// with it, and the next run records the new numbers.
void TestStation::nextBatchReplacesSerials()
{
    QFETCH(bool, startByMouse);
    Bench bench;
    bench.bus->updateSupply(bench.indexOf(5), [](SimSupply &supply) { supply.faults().voltageOffsetCounts = 12; });
    QTemporaryDir dir;
    STATION_OPEN(bench, dir, false);
    const auto scan = [](const QString &serial) {
        QWidget *focused = QApplication::focusWidget();
        QVERIFY(focused);
        QTest::keyClicks(focused, serial);
        QTest::keyClick(focused, Qt::Key_Return);
    };
    const auto start = [station, startByMouse] {
        if (startByMouse) {
            QVERIFY(click(station, QStringLiteral("Button2")));
        } else {
            QTRY_VERIFY(station->Button2->hasFocus());
            QTest::keyClick(station->Button2, Qt::Key_Space);
        }
    };
    QSignalSpy ended(station, &TPLANSTATION::runEnded);
    scan(QStringLiteral("A1"));
    scan(QStringLiteral("A2"));
    start();
    QTRY_VERIFY_WITH_TIMEOUT(!ended.isEmpty(), kLongWaitMs);
    QCOMPARE(station->Tiles.at(1)->CurrentState(), TPlanTile::State::Fail);

    QTRY_VERIFY(station->Tiles.at(0)->Serial->hasFocus());
    QCOMPARE(station->Tiles.at(0)->Serial->selectedText(), QStringLiteral("A1"));
    scan(QStringLiteral("B1"));
    QTRY_VERIFY(station->Tiles.at(1)->Serial->hasFocus());
    QCOMPARE(station->Tiles.at(1)->CurrentState(), TPlanTile::State::Fail);
    scan(QStringLiteral("B2"));
    QCOMPARE(station->Tiles.at(0)->Serial->text(), QStringLiteral("B1"));
    QCOMPARE(station->Tiles.at(1)->Serial->text(), QStringLiteral("B2"));
    for (const TPlanTile *tile : station->Tiles) {
        QCOMPARE(tile->CurrentState(), TPlanTile::State::Idle);
        QCOMPARE(tile->Check->text(), QString());
        QCOMPARE(tile->Values->text(), QString());
        QCOMPARE(tile->Step->text(), QString());
    }

    start();
    QTRY_VERIFY_WITH_TIMEOUT(ended.size() == 2, kLongWaitMs);
    QFile junit(station->ReportFiles().filter(QStringLiteral(".xml")).value(0));
    QVERIFY(junit.open(QIODevice::ReadOnly));
    const QByteArray report = junit.readAll();
    QVERIFY2(report.contains("B1") && report.contains("B2") && !report.contains("A1"), report.constData());
}

void TestStation::operatorViewRestoresGeometry_data()
{
    QTest::addColumn<QRect>("normal");
    QTest::newRow("design place") << QRect();
    QTest::newRow("moved and smaller") << QRect(300, 150, 900, 560);
}

// F11 twice puts the window back where it was, as large as it was.
void TestStation::operatorViewRestoresGeometry()
{
    QFETCH(QRect, normal);
    Bench bench;
    QTemporaryDir dir;
    STATION_OPEN(bench, dir, false);
    if (!normal.isNull())
        station->setGeometry(normal);
    QTRY_VERIFY(normal.isNull() || station->geometry() == normal);
    const QRect before = station->geometry();
    QTest::keyClick(station, Qt::Key_F11);
    QVERIFY(station->OperatorMode());
    QTRY_COMPARE(station->geometry(), station->screen()->geometry());
    QVERIFY(!station->Header->isVisible());
    QTest::keyClick(station, Qt::Key_F11);
    QVERIFY(!station->OperatorMode());
    QTRY_COMPARE(station->geometry(), before);
    QVERIFY(station->Header->isVisible());
    QVERIFY(station->Button2->isVisible());
}

void TestStation::causesInInterfaceLanguage_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("cause");
    QTest::addColumn<QString>("shown");
    const QString noReply = QStringLiteral("address 5: no valid reply to the read of 0x1000..0x1004 in 3 tries "
                                           "(no reply within 200 ms)");
    QTest::newRow("zh check") << QStringLiteral("zh") << QStringLiteral("check 'v_mean' failed")
                              << QStringLiteral("检查“v_mean”未通过");
    QTest::newRow("en check") << QStringLiteral("en") << QStringLiteral("check 'v_mean' failed")
                              << QStringLiteral("check “v_mean” failed");
    QTest::newRow("zh step cause") << QStringLiteral("zh")
                                   << QStringLiteral("'ovp trips': did not trip within 0.5 s")
                                   << QStringLiteral("步骤“ovp trips”：0.5 s 内保护未动作");
    QTest::newRow("en step cause") << QStringLiteral("en")
                                   << QStringLiteral("'ovp off': output was off before the limit was written")
                                   << QStringLiteral("step “ovp off”: output was off before the limit was written");
    QTest::newRow("zh no reply") << QStringLiteral("zh") << noReply
                                 << QStringLiteral("地址 5：read of 0x1000..0x1004 试了 3 次，无有效应答（200 ms 内无应答）");
    QTest::newRow("zh port lost") << QStringLiteral("zh") << QStringLiteral("port lost: ") + noReply
                                  << QStringLiteral("串口丢失：地址 5：read of 0x1000..0x1004 试了 3 次，无有效应答（200 ms 内无应答）");
    QTest::newRow("en port lost") << QStringLiteral("en") << QStringLiteral("port lost: ") + noReply
                                  << QStringLiteral("port lost: address 5: no valid reply to the read of 0x1000..0x1004 "
                                                    "in 3 tries (no reply within 200 ms)");
    QTest::newRow("zh refused") << QStringLiteral("zh")
                                << QStringLiteral("address 17: the write of 0x1000 was refused with exception 03, illegal data value")
                                << QStringLiteral("地址 17：write of 0x1000 被拒绝，异常 03（illegal data value）");
    QTest::newRow("zh read back") << QStringLiteral("zh")
                                  << QStringLiteral("address 1: OutputSwitch holds 0 after the write of 1 (on)")
                                  << QStringLiteral("地址 1：写入 1 (on) 后 OutputSwitch 为 0");
    QTest::newRow("zh output off") << QStringLiteral("zh") << QStringLiteral("output was off before the limit was written")
                                   << QStringLiteral("写入限值之前输出已关闭");
    QTest::newRow("zh no trip") << QStringLiteral("zh") << QStringLiteral("did not trip within 0.5 s")
                                << QStringLiteral("0.5 s 内保护未动作");
    QTest::newRow("en no trip") << QStringLiteral("en") << QStringLiteral("did not trip within 0.5 s")
                                << QStringLiteral("did not trip within 0.5 s");
    QTest::newRow("zh aborted") << QStringLiteral("zh") << QStringLiteral("aborted") << QStringLiteral("已中止");
    QTest::newRow("zh unknown") << QStringLiteral("zh") << QStringLiteral("something new") << QStringLiteral("something new");
}

// The engine's causes in the interface's language, nested ones included;
// a cause the station does not know stays as the engine wrote it.
void TestStation::causesInInterfaceLanguage()
{
    QFETCH(QString, language);
    QFETCH(QString, cause);
    QFETCH(QString, shown);
    Language speaking(language);
    QVERIFY(speaking.ok(language));
    QCOMPARE(StationCauseText(cause), shown);
}

// "查看报告" hands the last run's HTML report to the desktop's programs,
// "报告目录" the folder; both there in the operator view.
void TestStation::reportsOpenOnDesktop()
{
    Bench bench;
    QTemporaryDir dir;
    STATION_OPEN(bench, dir, false);
    DesktopOpener desktop;
    QVERIFY(!station->Button5->isEnabled());
    station->Tiles.at(0)->Serial->setText(QStringLiteral("A1"));
    station->Tiles.at(1)->Serial->setText(QStringLiteral("A2"));
    QSignalSpy ended(station, &TPLANSTATION::runEnded);
    QVERIFY(click(station, QStringLiteral("Button2")));
    QTRY_VERIFY_WITH_TIMEOUT(!ended.isEmpty(), kLongWaitMs);
    station->SetOperatorMode(true);
    QVERIFY(click(station, QStringLiteral("Button5")));
    QVERIFY(click(station, QStringLiteral("Button6")));
    station->SetOperatorMode(false);
    QCOMPARE(desktop.opened.size(), 2);
    const QString report = desktop.opened.at(0).toLocalFile();
    QVERIFY2(report.endsWith(QLatin1String(".html")) && QFileInfo::exists(report), qPrintable(report));
    QCOMPARE(QFileInfo(report).absolutePath(), QDir(dir.filePath(QStringLiteral("reports"))).absolutePath());
    QCOMPARE(QDir(desktop.opened.at(1).toLocalFile()).absolutePath(),
             QDir(dir.filePath(QStringLiteral("reports"))).absolutePath());
    QVERIFY2(bench.closer.texts().isEmpty(), qPrintable(bench.closer.texts().join(QLatin1Char('\n'))));
}

// The plan dialog opens in the bench's plan folder (the demo's examples)
// until a plan is chosen, then in that plan's folder.
void TestStation::planDialogStartsInLastFolder()
{
    QTemporaryDir plans;
    QTemporaryDir dir;
    SetStationBench({plans.path(), {}, {}});
    Bench bench;
    bench.closer.setPatienceMs(60000);
    OpenToolPort(bench.path, 2);
    QVERIFY(click(MAIN, QStringLiteral("BitBtn8")));
    QTRY_VERIFY(PLANSTATION && PLANSTATION->isVisible());
    SetStationBench({});
    QCOMPARE(planDialogFolder(PLANSTATION), QDir(plans.path()).absolutePath());
    PLANSTATION->OpenPlan(writePlan(dir, false));
    QCOMPARE(planDialogFolder(PLANSTATION), QDir(dir.path()).absolutePath());
}

// The demo's own bench and plan, as an operator runs them by hand: its
// supplies with their loads, the accuracy example plan, and serials scanned.
// Only the supply at 5, whose voltage reads high, fails; the loads are back
// afterwards.
void TestStation::demoRunFailsOnlyFaultySupply()
{
    Bench bench;
    bench.bus->updateSupply(bench.indexOf(5), [](SimSupply &supply) { supply.faults().voltageOffsetCounts = 12; });
    const StationBench demo = DemoStationFixture(bench.bus);
    QVERIFY2(demo.planFolder.endsWith(QLatin1String("examples/plans")), qPrintable(demo.planFolder));
    SetStationBench(demo);
    QTemporaryDir dir;
    OpenToolPort(bench.path, 2);
    QVERIFY(click(MAIN, QStringLiteral("BitBtn8")));
    QTRY_VERIFY(PLANSTATION && PLANSTATION->isVisible());
    TPLANSTATION *station = PLANSTATION;
    station->Edit1->setText(dir.filePath(QStringLiteral("reports")));
    station->Edit2->setText(dir.filePath(QStringLiteral("history.sqlite")));
    station->SetBusFactory(patientBus);
    station->OpenPlan(QDir(demo.planFolder).filePath(QStringLiteral("eol-accuracy.toml")));
    QCOMPARE(station->Tiles.size(), 3);
    QVERIFY(QTest::qWaitForWindowActive(station));
    for (const QString &serial : {QStringLiteral("A1"), QStringLiteral("A2"), QStringLiteral("A3")}) {
        QTest::keyClicks(QApplication::focusWidget(), serial);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    }
    QSignalSpy ended(station, &TPLANSTATION::runEnded);
    QVERIFY(click(station, QStringLiteral("Button2")));
    QTRY_VERIFY_WITH_TIMEOUT(!ended.isEmpty(), 4 * kLongWaitMs);
    SetStationBench({});
    const QList<TPlanTile::State> expected{TPlanTile::State::Pass, TPlanTile::State::Fail, TPlanTile::State::Pass};
    for (int n = 0; n < 3; ++n)
        QVERIFY2(station->Tiles.at(n)->CurrentState() == expected.at(n),
                 qPrintable(QStringLiteral("%1: %2 %3").arg(n).arg(station->Tiles.at(n)->Step->text(),
                                                                  station->Tiles.at(n)->Check->text())));
    QCOMPARE(bench.supplyAt(1).loadOhms(), 10.0);
    QCOMPARE(bench.supplyAt(5).loadOhms(), 30.0);
    QCOMPARE(bench.supplyAt(17).loadOhms(), 2.0);
}

void TestStation::referencesChecked_data()
{
    QTest::addColumn<QString>("kind");      // of the station file: "" none chosen, "bad", "expired", "due"
    QTest::addColumn<bool>("allowExpired");
    QTest::addColumn<QStringList>("boxes"); // those the operator sees, %1 the station file, %2 the due date
    QTest::addColumn<bool>("runs");         // the plan runs: both slots PASS on the meter's readings

    const QString none = QStringLiteral("计划使用参考仪器（dmm）：请先点“参考仪器…”选择工位文件");
    QTest::newRow("no station file") << QString() << false << QStringList{none} << false;
    QTest::newRow("error in the station file")
        << "bad" << false << QStringList{QStringLiteral("%1:3:8: kind 'meter' is none of dmm, load, scanner"), none} << false;
    QTest::newRow("past due") << "expired" << false
                              << QStringList{QStringLiteral("%1:1:1：参考仪器“dmm”的校准已于 %2 到期"
                                                            "（勾选“允许使用过期参考仪器”可照常测试）")}
                              << false;
    QTest::newRow("past due, allowed") << "expired" << true << QStringList() << true;
    QTest::newRow("due today") << "due" << false << QStringList() << true;
}

// The station file chosen in the window: a plan that measures with the meter
// needs one; one with an error, or whose meter is past due (unless allowed),
// refuses the run before a frame is sent. The references the run used, with
// what they answered, are in the window and the report. The supply at 5 reads
// back 0.12 V high: only a judgement on the meter's readings passes it.
void TestStation::referencesChecked()
{
    QFETCH(QString, kind);
    QFETCH(bool, allowExpired);
    QFETCH(QStringList, boxes);
    QFETCH(bool, runs);
    Bench bench;
    bench.bus->updateSupply(bench.indexOf(5), [](SimSupply &supply) { supply.faults().voltageOffsetCounts = 12; });
    SimReferenceBench meter(*bench.bus);
    const quint16 port = meter.listenMeter(QStringLiteral("127.0.0.1"), 0);
    QTemporaryDir dir;
    STATION_OPEN_PLAN(bench, dir, writePlan(dir, false, QStringLiteral("dmm")));
    QCOMPARE(station->StaticText6->text(), QStringLiteral("参考仪器：未选择工位文件"));
    QVERIFY(!station->CheckBox1->isChecked());
    const QDate due = QDate::currentDate().addDays(kind == QLatin1String("due") ? 0 : -1);
    const QString path = writeStation(dir, kind, port, due);
    if (!kind.isEmpty())
        RunHandler([&] { station->OpenStation(path); });
    station->CheckBox1->setChecked(allowExpired);
    station->Tiles.at(0)->Serial->setText(QStringLiteral("A1"));
    station->Tiles.at(1)->Serial->setText(QStringLiteral("A2"));
    QSignalSpy ended(station, &TPLANSTATION::runEnded);
    QVERIFY(click(station, QStringLiteral("Button2")));
    if (station->Running())
        QTRY_VERIFY_WITH_TIMEOUT(!ended.isEmpty(), kLongWaitMs);

    for (QString &box : boxes)
        box.replace(QStringLiteral("%1"), path).replace(QStringLiteral("%2"), due.toString(Qt::ISODate));
    QTRY_COMPARE(bench.closer.texts(), boxes);
    QCOMPARE(requests(*bench.bus).isEmpty(), !runs);
    QVERIFY(MAIN->MSComm1->PortOpen());
    const QString expired = due < QDate::currentDate() ? QStringLiteral("，已过期") : QString();
    for (const TPlanTile *tile : station->Tiles)
        QCOMPARE(tile->CurrentState(), runs ? TPlanTile::State::Pass : TPlanTile::State::Idle);
    if (kind.isEmpty() || kind == QLatin1String("bad")) {
        QCOMPARE(station->StationPath(), QString());
        return;
    }
    QCOMPARE(station->StationPath(), path);
    // Before a run answered, each reference's kind; after, its identity.
    const QString identity = QStringLiteral("psusim,Reference DMM,SIM-DMM-1,1.0");
    QCOMPARE(station->StaticText6->text(),
             QStringLiteral("参考仪器（%1）：dmm%2校准到期 %3%4 · scanner%5未给出校准到期日")
                 .arg(path, runs ? QStringLiteral("：%1，").arg(identity) : QStringLiteral("（dmm）："),
                      due.toString(Qt::ISODate), expired,
                      runs ? QStringLiteral("：%1，").arg(identity) : QStringLiteral("（scanner）：")));
    if (!runs)
        return;
    QFile report(station->ReportFiles().filter(QStringLiteral(".html")).value(0));
    QVERIFY(report.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(report.readAll());
    QVERIFY2(page.contains(QStringLiteral("psusim,Reference DMM,SIM-DMM-1,1.0, calibration due %1%2")
                               .arg(due.toString(Qt::ISODate),
                                    expired.isEmpty() ? QString() : QStringLiteral(" (EXPIRED, run with expired references allowed)"))),
             qPrintable(page));
}

QTEST_MAIN(TestStation)
#include "tst_station.moc"
