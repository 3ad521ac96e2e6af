// End to end through the sequence, address scan and calibration windows: the
// operator's clicks against the simulated bus, checked on the screen and in
// the simulator's record (frames, their order and their spacing in time).

#include "tst_endtoend.h"

#include <QCheckBox>

using namespace e2e;

namespace {

// Check boxes and radio buttons are clicked on their indicator, wherever the
// layout put it: QAbstractButton::click() does what a click there does.
bool tick(QWidget *window, const QString &name)
{
    auto *button = control<QAbstractButton>(window, name);
    if (!button || !button->isVisible())
        return false;
    button->click();
    return button->isChecked();
}

} // namespace

class TestEndToEndWindows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { quietenOffscreenPlatform(); }
    void sequenceTwoRowsTwoCycles();
    void sequenceStoppedByOperator();
    void scanFindsSupplies();
    void calibrationAcknowledged_data();
    void calibrationAcknowledged();
    void calibrationBroadcast();
    void calibrationTakesEveryAcknowledgement();
};

// Two rows (5 V / 1 A and 12 V / 0.5 A, 1 s each) for two cycles on supply 1:
// four setpoint frames, one output-on a second after the first, one
// output-off when the last dwell has passed, each a dwell apart.
void TestEndToEndWindows::sequenceTwoRowsTwoCycles()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    bench.bus->updateSupply(bench.indexOf(1), [](SimSupply &supply) { supply.frontPanelSwitchOutput(false); });
    QVERIFY(click(MAIN, QStringLiteral("BitBtn6")));
    QTRY_VERIFY(TYP->isVisible());
    QCOMPARE(textOf(TYP, QStringLiteral("Button1")), QStringLiteral("启  动"));
    QVERIFY(tick(TYP, QStringLiteral("CheckBox1")));
    QVERIFY(setText(TYP, QStringLiteral("Edit1"), QStringLiteral("5")));
    QVERIFY(setText(TYP, QStringLiteral("Edit17"), QStringLiteral("1")));
    QVERIFY(setText(TYP, QStringLiteral("Edit33"), QStringLiteral("1")));
    QVERIFY(tick(TYP, QStringLiteral("CheckBox2")));
    QVERIFY(setText(TYP, QStringLiteral("Edit2"), QStringLiteral("12")));
    QVERIFY(setText(TYP, QStringLiteral("Edit18"), QStringLiteral("0.5")));
    QVERIFY(setText(TYP, QStringLiteral("Edit34"), QStringLiteral("1")));
    QVERIFY(setNumber(TYP, QStringLiteral("SpinEdit2"), 1));
    QVERIFY(setText(TYP, QStringLiteral("Edit61"), QStringLiteral("2")));

    // The start holds the window for the one-second pause before the output goes on.
    const SendLedger ledger(TYP->Timer1);
    QVERIFY(click(TYP, QStringLiteral("Button1")));
    QCOMPARE(textOf(TYP, QStringLiteral("Button1")), QStringLiteral("停 止"));
    QVERIFY(SequenceRunning);
    QTRY_VERIFY_WITH_TIMEOUT(bench.supplyAt(1).outputOn(), kShortWaitMs);

    QTRY_COMPARE_WITH_TIMEOUT(textOf(TYP, QStringLiteral("Button1")), QStringLiteral("启 动"), kLongWaitMs);
    QVERIFY(!SequenceRunning);
    QTRY_COMPARE_WITH_TIMEOUT(requests(*bench.bus).size(), 6, kShortWaitMs);
    const QByteArray first = BuildWriteRequest(1, VoltageSetpoint, {500, 1000});
    const QByteArray second = BuildWriteRequest(1, VoltageSetpoint, {1200, 500});
    const QByteArray on = QByteArray::fromHex("01 10 10 04 00 01 02 00 01 77 D5");
    const QByteArray off = QByteArray::fromHex("01 10 10 04 00 01 02 00 00 B6 15");
    const QVector<QByteArray> expected{first, on, second, first, second, off};
    const QVector<SimFrameRecord> sent = requests(*bench.bus);
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(sent.at(i).bytes.toHex(' '), expected.at(i).toHex(' '));
        QCOMPARE(sent.at(i).note, QStringLiteral("answered"));
    }
    // The pause before the output-on frame, then one dwell of a second per
    // step: each step on the tick after the one before, the timer armed with
    // the row's second each time; no frame sooner than its second.
    const QVector<SendLedger::Entry> &left = ledger.entries();
    QCOMPARE(left.size(), expected.size());
    for (int i = 1; i < left.size(); ++i) {
        QCOMPARE(left.at(i).bytes, expected.at(i));
        QVERIFY2(left.at(i).atMs - left.at(i - 1).atMs >= 995, qPrintable(ledger.text()));
        QVERIFY2(left.at(i).atMs - left.at(i - 1).atMs < 1000 + kShortWaitMs, qPrintable(ledger.text()));
        QCOMPARE(left.at(i).ticksBefore, qMax(0, i - 2));
        if (i < left.size() - 1)
            QCOMPARE(left.at(i).intervalAfterMs, 1000);
    }
    QCOMPARE(ledger.ticks(), 4);

    const SimSupply supply = bench.supplyAt(1);
    QCOMPARE(int(supply.voltageSetpoint()), 1200);
    QCOMPARE(int(supply.currentSetpoint()), 500);
    QVERIFY(!supply.outputOn());
    // The acknowledgements went to the monitor panel, hidden as it is.
    QVERIFY(!POWER_TEST->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText4")), QStringLiteral("数据设定OK!"),
                              kShortWaitMs);
    QVERIFY(bench.closer.texts().size() == 1); // only the serial settings' success box
}

// The start button stops a run at once and switches the output off.
void TestEndToEndWindows::sequenceStoppedByOperator()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(7);
    QVERIFY(click(MAIN, QStringLiteral("BitBtn6")));
    QTRY_VERIFY(TYP->isVisible());
    QVERIFY(tick(TYP, QStringLiteral("CheckBox1")));
    QVERIFY(setText(TYP, QStringLiteral("Edit1"), QStringLiteral("30")));
    QVERIFY(setText(TYP, QStringLiteral("Edit17"), QStringLiteral("0.5")));
    QVERIFY(setText(TYP, QStringLiteral("Edit33"), QStringLiteral("60")));
    QVERIFY(setNumber(TYP, QStringLiteral("SpinEdit2"), 5));
    QVERIFY(setText(TYP, QStringLiteral("Edit61"), QStringLiteral("1")));
    QVERIFY(click(TYP, QStringLiteral("Button1")));
    QTRY_COMPARE_WITH_TIMEOUT(requests(*bench.bus).size(), 2, kShortWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(bench.supplyAt(5).outputOn(), kShortWaitMs);
    // 30 V into 30 ohm would draw 1 A: the 0.5 A setpoint holds the current.
    QCOMPARE(bench.supplyAt(5).mode(), SimSupply::Mode::ConstantCurrent);

    QVERIFY(click(TYP, QStringLiteral("Button1")));
    QCOMPARE(textOf(TYP, QStringLiteral("Button1")), QStringLiteral("启 动"));
    QVERIFY(!SequenceRunning);
    QVERIFY(!TYP->Timer1->isActive());
    QTRY_COMPARE_WITH_TIMEOUT(requests(*bench.bus).size(), 3, kShortWaitMs);
    const QVector<SimFrameRecord> sent = requests(*bench.bus);
    QCOMPARE(sent.at(0).bytes, BuildWriteRequest(5, VoltageSetpoint, {3000, 500}));
    QCOMPARE(sent.at(1).bytes, BuildWriteRequest(5, OutputSwitch, {1}));
    QCOMPARE(sent.at(2).bytes, BuildWriteRequest(5, OutputSwitch, {0}));
    QCOMPARE(sent.at(2).note, QStringLiteral("answered"));
    QVERIFY(!bench.supplyAt(5).outputOn());
}

// Addresses 0 to 20, one a second: the three supplies at 1, 5 and 17 answer
// and the result reads "1,5,17,"; broadcast 0 and the empty addresses keep silent.
void TestEndToEndWindows::scanFindsSupplies()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    QVERIFY(click(MAIN, QStringLiteral("BitBtn2")));
    QTRY_VERIFY(RSADDERS->isVisible());
    QCOMPARE(control<TSpinEdit>(RSADDERS, QStringLiteral("SpinEdit1"))->Value(), 0);
    QCOMPARE(control<TSpinEdit>(RSADDERS, QStringLiteral("SpinEdit2"))->Value(), 247);
    QVERIFY(setNumber(RSADDERS, QStringLiteral("SpinEdit2"), 20));
    QVERIFY(setText(RSADDERS, QStringLiteral("Edit3"), QStringLiteral("old text")));

    const SendLedger ledger(RSADDERS->Timer1);
    QVERIFY(click(RSADDERS, QStringLiteral("BitBtn1")));
    QCOMPARE(textOf(RSADDERS, QStringLiteral("Edit3")), QString());
    QTRY_COMPARE_WITH_TIMEOUT(textOf(RSADDERS, QStringLiteral("Edit3")), QStringLiteral("1,"), kShortWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(bench.closer.texts().contains(QStringLiteral("仪表地址检测结束！！")), 60000);
    QCOMPARE(textOf(RSADDERS, QStringLiteral("Edit3")), QStringLiteral("1,5,17,"));
    QCOMPARE(textOf(RSADDERS, QStringLiteral("Label4")), QStringLiteral("100%"));
    QCOMPARE(control<QProgressBar>(RSADDERS, QStringLiteral("ProgressBar1"))->value(), 10000);
    QVERIFY(!RSADDERS->Timer1->isActive());

    const QVector<SimFrameRecord> probes = requests(*bench.bus);
    QCOMPARE(probes.size(), 21);
    for (int address = 0; address <= 20; ++address) {
        const SimFrameRecord &probe = probes.at(address);
        QCOMPARE(probe.bytes, ScanProbeFrame(quint16(address)));
        const QString note = address == 0 ? QStringLiteral("broadcast")
                             : (address == 1 || address == 5 || address == 17) ? QStringLiteral("answered")
                                                                               : QStringLiteral("no such address");
        QCOMPARE(probe.note, note);
    }
    // Supply 17 answered under its own address with its voltage setpoint, 5.00 V.
    const QByteArray reply = replyTo(*bench.bus, ScanProbeFrame(17));
    QCOMPARE(reply.size(), 7);
    QCOMPARE(reply.left(5), QByteArray::fromHex("11 03 02 01 F4"));
    // One probe a second: the first at the click, each further one on the
    // next tick of the one-second timer, which keeps its phase: probe i no
    // sooner than i seconds after the first.
    const QVector<SendLedger::Entry> &left = ledger.entries();
    QCOMPARE(left.size(), 21);
    for (int i = 1; i < left.size(); ++i) {
        QCOMPARE(left.at(i).bytes, ScanProbeFrame(quint16(i)));
        QVERIFY2(left.at(i).atMs - left.at(0).atMs >= 1000 * i - 5, qPrintable(ledger.text()));
        QVERIFY2(left.at(i).atMs - left.at(i - 1).atMs < 1000 + kShortWaitMs, qPrintable(ledger.text()));
        QCOMPARE(left.at(i).ticksBefore, i - 1);
        QCOMPARE(left.at(i).intervalAfterMs, 1000);
    }
}

// The calibrate button writes the correction code; the acknowledgement comes
// back as the "误差修正成功！" box while the window is open, and the supply's
// output moves by the correction, as the monitor then shows.
void TestEndToEndWindows::calibrationAcknowledged_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("address");
    QTest::addColumn<QString>("radio");
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("correction");
    QTest::addColumn<int>("reg");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("readouts");

    // Readouts: voltage setpoint, current setpoint, measured voltage, measured current.
    QTest::newRow("voltage -3 at 1") << 1 << 1 << "RadioButton1" << "SpinEdit1" << -3 << int(VoltageCorrection) << 13
                                     << "12.00 1.500 11.97 1.197";
    QTest::newRow("voltage +10 at 5") << 7 << 5 << "RadioButton1" << "SpinEdit1" << 10 << int(VoltageCorrection) << 10
                                      << "24.00 1.000 24.10 0.803";
    QTest::newRow("current +5 at 17") << 5 << 17 << "RadioButton2" << "SpinEdit3" << 5 << int(CurrentCorrection) << 5
                                      << "05.00 2.000 04.01 2.005";
    QTest::newRow("current -100 at 17") << 5 << 17 << "RadioButton2" << "SpinEdit3" << -100
                                        << int(CurrentCorrection) << 200 << "05.00 2.000 03.80 1.900";
}

void TestEndToEndWindows::calibrationAcknowledged()
{
    QFETCH(int, model);
    QFETCH(int, address);
    QFETCH(QString, radio);
    QFETCH(QString, field);
    QFETCH(int, correction);
    QFETCH(int, reg);
    QFETCH(int, code);
    QFETCH(QString, readouts);
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(model);
    QVERIFY(click(MAIN, QStringLiteral("BitBtn5")));
    QTRY_VERIFY(ERR->isVisible());
    QVERIFY(CalibrationMode);
    QVERIFY(tick(ERR, radio));
    QVERIFY(setNumber(ERR, field, correction));
    QVERIFY(setNumber(ERR, QStringLiteral("SpinEdit2"), address));
    bench.closer.clear();
    QVERIFY(click(ERR, QStringLiteral("BitBtn1")));
    QTRY_COMPARE_WITH_TIMEOUT(bench.closer.texts(), QStringList{QStringLiteral("误差修正成功！")}, kShortWaitMs);
    const QByteArray frame = BuildWriteSingle(address, quint16(reg), quint16(code));
    QCOMPARE(requests(*bench.bus).size(), 1);
    QCOMPARE(requests(*bench.bus).first().bytes, frame);
    QCOMPARE(requests(*bench.bus).first().note, QStringLiteral("answered"));
    const SimSupply supply = bench.supplyAt(address);
    QCOMPARE(int(reg == VoltageCorrection ? supply.voltageCorrectionCode() : supply.currentCorrectionCode()), code);
    // The box had the acknowledgement, not the monitor panel.
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText4")), QString());

    QVERIFY(click(ERR, QStringLiteral("BitBtn2")));
    QVERIFY(!ERR->isVisible());
    QVERIFY(!CalibrationMode);
    QVERIFY(startMonitor(address));
    const auto shown = [] {
        QStringList texts;
        for (const char *name : {"StaticText7", "StaticText8", "StaticText5", "StaticText6"})
            texts << textOf(POWER_TEST, QLatin1String(name));
        return texts.join(QLatin1Char(' '));
    };
    QTRY_COMPARE_WITH_TIMEOUT(shown(), readouts, kShortWaitMs);
    QCOMPARE(bench.closer.texts().size(), 1);
}

// Address 256 leaves the low byte 0: a broadcast that every supply carries
// out and none answers, so no acknowledgement box comes up.
void TestEndToEndWindows::calibrationBroadcast()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    QVERIFY(click(MAIN, QStringLiteral("BitBtn5")));
    QTRY_VERIFY(ERR->isVisible());
    QVERIFY(tick(ERR, QStringLiteral("RadioButton1")));
    QVERIFY(setNumber(ERR, QStringLiteral("SpinEdit1"), -3));
    QVERIFY(setNumber(ERR, QStringLiteral("SpinEdit2"), 256));
    bench.closer.clear();
    QVERIFY(click(ERR, QStringLiteral("BitBtn1")));
    const QByteArray frame = QByteArray::fromHex("00 10 10 1A 00 01 02 00 0D");
    QTRY_COMPARE_WITH_TIMEOUT(requests(*bench.bus).size(), 1, kShortWaitMs);
    QCOMPARE(requests(*bench.bus).first().bytes.left(9), frame);
    QCOMPARE(requests(*bench.bus).first().note, QStringLiteral("broadcast"));
    for (int address : {1, 5, 17})
        QCOMPARE(int(bench.supplyAt(address).voltageCorrectionCode()), 13);
    // Nothing went on the line towards the tool, so no box can still come.
    QCOMPARE(bench.bus->record().size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!RxBusy && MAIN->MSComm1->InBufferCount() == 0, kShortWaitMs);
    QVERIFY(bench.closer.texts().isEmpty());
    QVERIFY(CalibrationMode);
}

// While the calibration window is open, the monitor panel's acknowledgements
// come up as the calibration box too; closed with its close box, the panel
// has them again.
void TestEndToEndWindows::calibrationTakesEveryAcknowledgement()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(click(MAIN, QStringLiteral("BitBtn4")));
    QVERIFY(setNumber(POWER_TEST, QStringLiteral("SpinEdit1"), 1));
    QVERIFY(click(MAIN, QStringLiteral("BitBtn5")));
    QTRY_VERIFY(ERR->isVisible());
    bench.closer.clear();

    QVERIFY(setDigits(POWER_TEST, 3, QStringLiteral("1000")));
    QVERIFY(click(POWER_TEST, QStringLiteral("BitBtn1")));
    QTRY_COMPARE_WITH_TIMEOUT(bench.closer.texts(), QStringList{QStringLiteral("误差修正成功！")}, kShortWaitMs);
    QVERIFY(answered(*bench.bus, BuildWriteSingle(1, VoltageSetpoint, 1000)));
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText4")), QString());

    QVERIFY(ERR->close());
    QVERIFY(!CalibrationMode);
    QVERIFY(setDigits(POWER_TEST, 3, QStringLiteral("1100")));
    QVERIFY(click(POWER_TEST, QStringLiteral("BitBtn1")));
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText4")), QStringLiteral("数据设定OK!"),
                              kShortWaitMs);
    QVERIFY(answered(*bench.bus, BuildWriteSingle(1, VoltageSetpoint, 1100)));
    QCOMPARE(bench.closer.texts().size(), 1);
    QCOMPARE(int(bench.supplyAt(1).voltageSetpoint()), 1100);
}

QTEST_MAIN(TestEndToEndWindows)
#include "tst_endtoend_windows.moc"
