// End to end through the monitor panel: the serial settings dialog opens the
// simulated bus, and every button of the panel is clicked against live
// supplies. Each test checks what the panel shows and what the simulator's
// record and registers say reached the supply.

#include "tst_endtoend.h"

using namespace e2e;

Q_DECLARE_METATYPE(SimSupply::Trip)

namespace {

// Opens the monitor panel from the main window with the address box set.
bool openPanel(int address)
{
    if (!click(MAIN, QStringLiteral("BitBtn4")) || !POWER_TEST->isVisible())
        return false;
    return setNumber(POWER_TEST, QStringLiteral("SpinEdit1"), address);
}

} // namespace

class TestEndToEndMonitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { quietenOffscreenPlatform(); }
    void serialSettingsReachBus_data();
    void serialSettingsReachBus();
    void serialSettingsReapplied();
    void readoutsFollowSupply();
    void readoutPictures_data();
    void readoutPictures();
    void setpointsCapped_data();
    void setpointsCapped();
    void outputSwitch();
    void protectionTrips_data();
    void protectionTrips();
    void keyLock();
    void addressChange();
    void powerSetpoint_data();
    void powerSetpoint();
    void powerRead_data();
    void powerRead();
};

// The dialog's settings reach the line: at 9600 baud the supply answers the
// panel's power read; at 4800 the bus hears a line of another speed and keeps
// silent, and the panel shows nothing.
void TestEndToEndMonitor::serialSettingsReachBus_data()
{
    QTest::addColumn<QString>("baud");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("note");
    QTest::addColumn<QString>("power");
    QTest::newRow("9600 as the bus") << "9600" << "9600,n,8,1" << "answered" << "014.40";
    QTest::newRow("4800 against a 9600 bus") << "4800" << "4800,n,8,1" << "line speed mismatch (4800 baud)"
                                             << "";
}

void TestEndToEndMonitor::serialSettingsReachBus()
{
    QFETCH(QString, baud);
    QFETCH(QString, settings);
    QFETCH(QString, note);
    QFETCH(QString, power);
    Bench bench;
    QVERIFY(click(MAIN, QStringLiteral("BitBtn1")));
    QTRY_VERIFY(RS232->isVisible());
    // The dialog names the device behind the preselected COM2: the bus's pseudo-terminal.
    QCOMPARE(control<QComboBox>(RS232, QStringLiteral("ComboBox1"))->currentText(), QStringLiteral("COM2"));
    QVERIFY2(textOf(RS232, QStringLiteral("DeviceLabel")).contains(bench.path),
             qPrintable(textOf(RS232, QStringLiteral("DeviceLabel"))));
    control<QComboBox>(RS232, QStringLiteral("ComboBox2"))->setCurrentText(baud);
    QVERIFY(click(RS232, QStringLiteral("BitBtn1")));
    QTRY_COMPARE(bench.closer.texts(), QStringList{QStringLiteral("串口初始化成功！")});
    QVERIFY(!RS232->isVisible());
    QVERIFY(MAIN->MSComm1->PortOpen());
    QCOMPARE(MAIN->MSComm1->Settings(), settings);
    QCOMPARE(MAIN->MSComm1->OpenDevice(), bench.path);
    QCOMPARE(LastPortNumber, 2);

    E2E_CHOOSE_MODEL(1);
    QVERIFY(openPanel(1));
    QVERIFY(click(POWER_TEST, QStringLiteral("Button5")));
    const QByteArray powerRead = BuildReadRequest(1, OutputPower, 1);
    QTRY_VERIFY_WITH_TIMEOUT(!notesOf(*bench.bus, powerRead).isEmpty(), kShortWaitMs);
    QCOMPARE(notesOf(*bench.bus, powerRead), QStringList{note});
    if (!power.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("Edit1")), power, kShortWaitMs);
        QVERIFY(!PowerReadRequested);
    } else {
        // Nothing was put on the line, so nothing can still come.
        for (const SimFrameRecord &entry : bench.bus->record())
            QCOMPARE(entry.direction, SimFrameRecord::Received);
        QCOMPARE(textOf(POWER_TEST, QStringLiteral("Edit1")), QString());
        QVERIFY(PowerReadRequested);
    }
}

// Applying again while the port is open closes it and opens it with the new
// choice: a wrong speed first, then the bus's own.
void TestEndToEndMonitor::serialSettingsReapplied()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "4800");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(openPanel(1));
    const QByteArray powerRead = BuildReadRequest(1, OutputPower, 1);
    QVERIFY(click(POWER_TEST, QStringLiteral("Button5")));
    QTRY_COMPARE_WITH_TIMEOUT(notesOf(*bench.bus, powerRead), QStringList{QStringLiteral("line speed mismatch (4800 baud)")},
                              kShortWaitMs);

    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    QCOMPARE(MAIN->MSComm1->Settings(), QStringLiteral("9600,n,8,1"));
    QCOMPARE(bench.closer.texts().size(), 2);
    QVERIFY(click(POWER_TEST, QStringLiteral("Button5")));
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("Edit1")), QStringLiteral("014.40"), kShortWaitMs);
    QCOMPARE(notesOf(*bench.bus, powerRead).last(), QStringLiteral("answered"));
}

// With the monitor on, the readouts follow whatever happens at the supply:
// a new load, the front panel, and another address in the address box.
void TestEndToEndMonitor::readoutsFollowSupply()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(openPanel(1));
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText3")), QStringLiteral("QELT30-05可调电源监控界面"));
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("Button11")), QStringLiteral("输出监测停止"));
    const SendLedger ledger(POWER_TEST->Timer1);

    const auto readouts = [] {
        QStringList shown;
        for (const char *name : {"StaticText7", "StaticText8", "StaticText5", "StaticText6", "StaticText9"})
            shown << textOf(POWER_TEST, QLatin1String(name));
        return shown.join(QLatin1Char(' '));
    };
    // Setpoints, then measured values, then the output state.
    QTRY_COMPARE_WITH_TIMEOUT(readouts(), QStringLiteral("12.00 1.500 12.00 1.200 ON"), kShortWaitMs);

    // A heavier load pulls the supply into constant current.
    bench.bus->updateSupply(bench.indexOf(1), [](SimSupply &supply) { supply.setLoadOhms(4.0); });
    QTRY_COMPARE_WITH_TIMEOUT(readouts(), QStringLiteral("12.00 1.500 06.00 1.500 ON"), kShortWaitMs);

    // Someone turns the output off at the front panel.
    bool switched = false;
    bench.bus->updateSupply(bench.indexOf(1),
                            [&switched](SimSupply &supply) { switched = supply.frontPanelSwitchOutput(false); });
    QVERIFY(switched);
    QTRY_COMPARE_WITH_TIMEOUT(readouts(), QStringLiteral("12.00 1.500 00.00 0.000 OFF"), kShortWaitMs);

    // The next poll goes to the address now in the box.
    QVERIFY(setNumber(POWER_TEST, QStringLiteral("SpinEdit1"), 5));
    QTRY_COMPARE_WITH_TIMEOUT(readouts(), QStringLiteral("24.00 1.000 24.00 0.800 ON"), kShortWaitMs);
    QVERIFY(answered(*bench.bus, BuildReadRequest(5, VoltageSetpoint, 5)));

    // The polls kept the panel's rhythm of 500 ms, and every one was answered.
    const auto pollStarts = [&bench] {
        QVector<qint64> starts;
        for (const SimFrameRecord &entry : requests(*bench.bus)) {
            if (entry.bytes.mid(1, 5) == QByteArray::fromHex("03 10 00 00 05") && entry.note == "answered")
                starts << entry.startUs;
        }
        return starts;
    };
    QTRY_VERIFY_WITH_TIMEOUT(pollStarts().size() >= 7, kShortWaitMs);
    const QVector<qint64> starts = pollStarts();
    QCOMPARE(starts.size(), requests(*bench.bus).size());
    // In the tool: a poll on every tick of the 500 ms timer, none skipped.
    // The timer keeps its phase, so a late first poll shortens the span to
    // the last by as much as it was late: up to a period is allowed, which a
    // timer running at twice the rate would still not reach.
    const QVector<SendLedger::Entry> polls = ledger.entries();
    QVERIFY(polls.size() >= 7);
    for (int i = 0; i < polls.size(); ++i) {
        QCOMPARE(polls.at(i).bytes.mid(1, 5), QByteArray::fromHex("03 10 00 00 05"));
        QCOMPARE(polls.at(i).ticksBefore, i);
    }
    const int periods = int(polls.size()) - 1;
    QVERIFY2(polls.last().atMs - polls.first().atMs >= 500 * (periods - 1), qPrintable(ledger.text()));
    QCOMPARE(POWER_TEST->Timer1->interval(), 500);

    // Hidden by its return button, the panel goes on polling and showing.
    QVERIFY(click(POWER_TEST, QStringLiteral("BitBtn6")));
    QVERIFY(!POWER_TEST->isVisible());
    bench.bus->updateSupply(bench.indexOf(5), [](SimSupply &supply) { supply.setLoadOhms(12.0); });
    QTRY_COMPARE_WITH_TIMEOUT(readouts(), QStringLiteral("24.00 1.000 12.00 1.000 ON"), kShortWaitMs);
    QVERIFY(click(MAIN, QStringLiteral("BitBtn4")));
    QVERIFY(POWER_TEST->isVisible());

    // Monitor off: the polls stop and the readouts keep their last values.
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("Button11")), QStringLiteral("输出监测启动"));
    QTRY_VERIFY_WITH_TIMEOUT(!PollActive, kShortWaitMs);
    const int before = requests(*bench.bus).size();
    bench.bus->updateSupply(bench.indexOf(5), [](SimSupply &supply) { supply.frontPanelSwitchOutput(false); });
    QSignalSpy ticks(POWER_TEST->Timer1, &QTimer::timeout);
    QTRY_VERIFY_WITH_TIMEOUT(ticks.size() >= 3, kShortWaitMs);
    QCOMPARE(requests(*bench.bus).size(), before);
    QCOMPARE(readouts(), QStringLiteral("24.00 1.000 12.00 1.000 ON"));
}

// The readout pictures follow the model's divisors: 00.00 V and 0.000 A for
// divisors 100 and 1000, 000.0 V and 00.00 A for 10 and 100. A QELT100-10 joins
// the bus at address 9 for this: 50.0 V / 2.00 A into 10 ohm, current-limited.
void TestEndToEndMonitor::readoutPictures_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("address");
    QTest::addColumn<QString>("readouts");
    QTest::addColumn<QString>("power");
    QTest::newRow("QELT30-05 at 1") << 1 << 1 << "12.00 1.500 12.00 1.200 ON" << "014.40";
    QTest::newRow("QELT36-03 at 17") << 5 << 17 << "05.00 2.000 04.00 2.000 ON" << "008.00";
    QTest::newRow("QELT100-10 at 9") << 13 << 9 << "050.0 02.00 020.0 02.00 ON" << "040.00";
}

void TestEndToEndMonitor::readoutPictures()
{
    QFETCH(int, model);
    QFETCH(int, address);
    QFETCH(QString, readouts);
    QFETCH(QString, power);
    Bench bench;
    const int added = bench.bus->addSupply(9, 13);
    bench.bus->updateSupply(added, [](SimSupply &supply) {
        supply.writeRegisters(VoltageSetpoint, {500, 200});
        supply.writeRegisters(OutputSwitch, {1});
        supply.setLoadOhms(10.0);
    });
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(model);
    QVERIFY(openPanel(address));
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));
    const auto shown = [] {
        QStringList texts;
        for (const char *name : {"StaticText7", "StaticText8", "StaticText5", "StaticText6", "StaticText9"})
            texts << textOf(POWER_TEST, QLatin1String(name));
        return texts.join(QLatin1Char(' '));
    };
    QTRY_COMPARE_WITH_TIMEOUT(shown(), readouts, kShortWaitMs);
    // The power read between two polls: switch the monitor off first, so that
    // the read does not land on the line in the same moment as a poll.
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));
    QTRY_VERIFY_WITH_TIMEOUT(!PollActive && !CommandPending, kShortWaitMs);
    QVERIFY(click(POWER_TEST, QStringLiteral("Button5")));
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("Edit1")), power, kShortWaitMs);
}

// The set-voltage and set-current buttons send the digit row capped at the
// model's limit (equal values unchanged); the supply takes it, and the next
// polls show the new setpoint and what the load then draws.
void TestEndToEndMonitor::setpointsCapped_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("address");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("digits");
    QTest::addColumn<int>("sent");
    QTest::addColumn<QString>("readouts");

    // Readouts: voltage setpoint, current setpoint, measured voltage, measured current.
    QTest::newRow("QELT30-05 voltage 9999 capped at 3100")
        << 1 << 1 << "BitBtn1" << "9999" << 3100 << "31.00 1.500 15.00 1.500";
    QTest::newRow("QELT30-05 voltage 3100 at the cap") << 1 << 1 << "BitBtn1" << "3100" << 3100
                                                        << "31.00 1.500 15.00 1.500";
    QTest::newRow("QELT30-05 voltage 0500") << 1 << 1 << "BitBtn1" << "0500" << 500 << "05.00 1.500 05.00 0.500";
    QTest::newRow("QELT30-05 current 9999 capped at 5100")
        << 1 << 1 << "BitBtn2" << "9999" << 5100 << "12.00 5.100 12.00 1.200";
    QTest::newRow("QELT30-05 current 0800") << 1 << 1 << "BitBtn2" << "0800" << 800 << "12.00 0.800 08.00 0.800";
    QTest::newRow("QELT60-05 voltage 9999 capped at 6100")
        << 7 << 5 << "BitBtn1" << "9999" << 6100 << "61.00 1.000 30.00 1.000";
    QTest::newRow("QELT36-03 current 9999 capped at 3100")
        << 5 << 17 << "BitBtn2" << "9999" << 3100 << "05.00 3.100 05.00 2.500";
}

void TestEndToEndMonitor::setpointsCapped()
{
    QFETCH(int, model);
    QFETCH(int, address);
    QFETCH(QString, button);
    QFETCH(QString, digits);
    QFETCH(int, sent);
    QFETCH(QString, readouts);
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(model);
    QVERIFY(openPanel(address));
    const bool voltage = button == QLatin1String("BitBtn1");
    QVERIFY(setDigits(POWER_TEST, voltage ? 3 : 7, digits));
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText9")), QStringLiteral("ON"), kShortWaitMs);

    QVERIFY(click(POWER_TEST, button));
    const QByteArray frame = BuildWriteSingle(address, voltage ? VoltageSetpoint : CurrentSetpoint, quint16(sent));
    QTRY_VERIFY2_WITH_TIMEOUT(answered(*bench.bus, frame), qPrintable(recordText(*bench.bus)), kShortWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText4")), QStringLiteral("数据设定OK!"),
                              kShortWaitMs);
    const SimSupply supply = bench.supplyAt(address);
    QCOMPARE(int(voltage ? supply.voltageSetpoint() : supply.currentSetpoint()), sent);
    // Nothing but this one write reached the supply.
    int writes = 0;
    for (const SimFrameRecord &entry : requests(*bench.bus))
        writes += quint8(entry.bytes.at(1)) == 0x10 ? 1 : 0;
    QCOMPARE(writes, 1);

    const auto shown = [] {
        QStringList texts;
        for (const char *name : {"StaticText7", "StaticText8", "StaticText5", "StaticText6"})
            texts << textOf(POWER_TEST, QLatin1String(name));
        return texts.join(QLatin1Char(' '));
    };
    QTRY_COMPARE_WITH_TIMEOUT(shown(), readouts, kShortWaitMs);
}

// The output button switches the supply on and off; its caption names the
// next action, and StaticText9 follows the supply.
void TestEndToEndMonitor::outputSwitch()
{
    Bench bench;
    bench.bus->updateSupply(bench.indexOf(1), [](SimSupply &supply) { supply.frontPanelSwitchOutput(false); });
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(openPanel(1));
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("BitBtn4")), QStringLiteral("输出启动"));
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText7")), QStringLiteral("12.00"),
                              kShortWaitMs);
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText9")), QStringLiteral("OFF"));

    QVERIFY(click(POWER_TEST, QStringLiteral("BitBtn4")));
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("BitBtn4")), QStringLiteral("电源停止"));
    const QByteArray on = QByteArray::fromHex("01 10 10 04 00 01 02 00 01 77 D5");
    QTRY_VERIFY_WITH_TIMEOUT(answered(*bench.bus, on), kShortWaitMs);
    QVERIFY(bench.supplyAt(1).outputOn());
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText9")), QStringLiteral("ON"), kShortWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText5")), QStringLiteral("12.00"),
                              kShortWaitMs);
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText6")), QStringLiteral("1.200"));

    QVERIFY(click(POWER_TEST, QStringLiteral("BitBtn4")));
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("BitBtn4")), QStringLiteral("电源启动"));
    const QByteArray off = QByteArray::fromHex("01 10 10 04 00 01 02 00 00 B6 15");
    QTRY_VERIFY_WITH_TIMEOUT(answered(*bench.bus, off), kShortWaitMs);
    QVERIFY(!bench.supplyAt(1).outputOn());
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText9")), QStringLiteral("OFF"), kShortWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText5")), QStringLiteral("00.00"),
                              kShortWaitMs);
}

// A protection limit set below what the output gives trips the supply: the
// output goes off and StaticText9 shows OFF. Limits are sent uncapped, so a
// limit far above the model's range lets the output be switched on again.
void TestEndToEndMonitor::protectionTrips_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("firstDigit");
    QTest::addColumn<int>("reg");
    QTest::addColumn<SimSupply::Trip>("trip");
    // Supply 1 gives 12.00 V and 1.200 A: limits of 10.00 V and 1.000 A are exceeded.
    QTest::newRow("over-voltage 10.00 V") << "Button1" << 3 << int(OverVoltageLimit) << SimSupply::Trip::OverVoltage;
    QTest::newRow("over-current 1.000 A") << "Button2" << 7 << int(OverCurrentLimit) << SimSupply::Trip::OverCurrent;
}

void TestEndToEndMonitor::protectionTrips()
{
    QFETCH(QString, button);
    QFETCH(int, firstDigit);
    QFETCH(int, reg);
    QFETCH(SimSupply::Trip, trip);
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(openPanel(1));
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText9")), QStringLiteral("ON"), kShortWaitMs);

    QVERIFY(setDigits(POWER_TEST, firstDigit, QStringLiteral("1000")));
    QVERIFY(click(POWER_TEST, button));
    const QByteArray low = BuildWriteSingle(1, quint16(reg), 1000);
    QTRY_VERIFY_WITH_TIMEOUT(answered(*bench.bus, low), kShortWaitMs);
    QCOMPARE(bench.supplyAt(1).lastTrip(), trip);
    QVERIFY(!bench.supplyAt(1).outputOn());
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText9")), QStringLiteral("OFF"), kShortWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText5")), QStringLiteral("00.00"),
                              kShortWaitMs);
    // The setpoints are untouched.
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText7")), QStringLiteral("12.00"));
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText8")), QStringLiteral("1.500"));

    // 9999 goes out as typed, above both model limits, and the output comes back.
    QVERIFY(setDigits(POWER_TEST, firstDigit, QStringLiteral("9999")));
    QVERIFY(click(POWER_TEST, button));
    QTRY_VERIFY_WITH_TIMEOUT(answered(*bench.bus, BuildWriteSingle(1, quint16(reg), 9999)), kShortWaitMs);
    QVERIFY(click(POWER_TEST, QStringLiteral("BitBtn4")));
    QTRY_VERIFY_WITH_TIMEOUT(answered(*bench.bus, BuildWriteSingle(1, OutputSwitch, 1)), kShortWaitMs);
    QCOMPARE(bench.supplyAt(1).lastTrip(), SimSupply::Trip::None);
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText9")), QStringLiteral("ON"), kShortWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText5")), QStringLiteral("12.00"),
                              kShortWaitMs);
}

// The key-lock button locks the front panel and unlocks it again; while
// locked the supply refuses a front-panel change, afterwards the readouts
// show the change made at the front panel.
void TestEndToEndMonitor::keyLock()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(openPanel(1));
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("BitBtn5")), QStringLiteral("按键锁定"));

    QVERIFY(click(POWER_TEST, QStringLiteral("BitBtn5")));
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("BitBtn5")), QStringLiteral("按键解锁"));
    QTRY_VERIFY_WITH_TIMEOUT(answered(*bench.bus, QByteArray::fromHex("01 10 10 06 00 01 02 00 01 76 37")),
                             kShortWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText4")), QStringLiteral("数据设定OK!"),
                              kShortWaitMs);
    QVERIFY(bench.supplyAt(1).keysLocked());
    bool accepted = true;
    bench.bus->updateSupply(bench.indexOf(1), [&accepted](SimSupply &supply) {
        accepted = supply.frontPanelSetVoltage(500);
    });
    QVERIFY(!accepted);
    QCOMPARE(int(bench.supplyAt(1).voltageSetpoint()), 1200);

    QVERIFY(click(POWER_TEST, QStringLiteral("BitBtn5")));
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("BitBtn5")), QStringLiteral("按键锁定"));
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText4")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(answered(*bench.bus, QByteArray::fromHex("01 10 10 06 00 01 02 00 00 B7 F7")),
                             kShortWaitMs);
    QVERIFY(!bench.supplyAt(1).keysLocked());
    bench.bus->updateSupply(bench.indexOf(1), [&accepted](SimSupply &supply) {
        accepted = supply.frontPanelSetVoltage(500);
    });
    QVERIFY(accepted);
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText7")), QStringLiteral("05.00"),
                              kShortWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText5")), QStringLiteral("05.00"),
                              kShortWaitMs);
}

// The new address is acknowledged under the old one; from then on polls of
// the old address go unanswered, and once the operator puts the new address
// in the address box the supply answers there.
void TestEndToEndMonitor::addressChange()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(openPanel(1));
    const int index = bench.indexOf(1);
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText9")), QStringLiteral("ON"), kShortWaitMs);

    QVERIFY(setNumber(POWER_TEST, QStringLiteral("SpinEdit2"), 9));
    QVERIFY(click(POWER_TEST, QStringLiteral("BitBtn3")));
    // To the old address 1: 0x0009 into register 0x1005.
    const QByteArray change = BuildWriteSingle(1, BusAddress, 9);
    QCOMPARE(change.left(9), QByteArray::fromHex("01 10 10 05 00 01 02 00 09"));
    QTRY_VERIFY_WITH_TIMEOUT(answered(*bench.bus, change), kShortWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText4")), QStringLiteral("数据设定OK!"),
                              kShortWaitMs);
    QCOMPARE(bench.indexOf(9), index);
    QCOMPARE(bench.indexOf(1), -1);
    // The box still says 1, and the polls there now meet nobody.
    QCOMPARE(control<TSpinEdit>(POWER_TEST, QStringLiteral("SpinEdit1"))->Value(), 1);
    const QByteArray pollOld = BuildReadRequest(1, VoltageSetpoint, 5);
    const QString nobody = QStringLiteral("no such address");
    QTRY_VERIFY_WITH_TIMEOUT(notesOf(*bench.bus, pollOld).contains(nobody), kShortWaitMs);

    // A change at the front panel, seen only once the panel asks the new address:
    // two more unanswered polls of the old address leave the readouts as they were.
    bench.bus->updateSupply(index, [](SimSupply &supply) { supply.frontPanelSetVoltage(700); });
    const int unanswered = int(notesOf(*bench.bus, pollOld).count(nobody));
    QTRY_VERIFY_WITH_TIMEOUT(notesOf(*bench.bus, pollOld).count(nobody) >= unanswered + 2, kShortWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(!RxBusy && MAIN->MSComm1->InBufferCount() == 0, kShortWaitMs);
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText7")), QStringLiteral("12.00"));
    QVERIFY(setNumber(POWER_TEST, QStringLiteral("SpinEdit1"), 9));
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText7")), QStringLiteral("07.00"),
                              kShortWaitMs);
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText5")), QStringLiteral("07.00"));
    const QByteArray pollNew = BuildReadRequest(9, VoltageSetpoint, 5);
    QVERIFY(answered(*bench.bus, pollNew));
    QCOMPARE(quint8(replyTo(*bench.bus, pollNew).at(0)), quint8(9));
}

// The power setpoint goes out capped at 65000 and lands in the supply's register.
void TestEndToEndMonitor::powerSetpoint_data()
{
    QTest::addColumn<QString>("digits");
    QTest::addColumn<int>("sent");
    QTest::newRow("01234") << "01234" << 1234;
    QTest::newRow("65000 at the ceiling") << "65000" << 65000;
    QTest::newRow("70000 capped") << "70000" << 65000;
}

void TestEndToEndMonitor::powerSetpoint()
{
    QFETCH(QString, digits);
    QFETCH(int, sent);
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(openPanel(1));
    QVERIFY(setDigits(POWER_TEST, 11, digits));
    QVERIFY(click(POWER_TEST, QStringLiteral("Button3")));
    QTRY_VERIFY_WITH_TIMEOUT(answered(*bench.bus, BuildWriteSingle(1, PowerSetpoint, quint16(sent))), kShortWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText4")), QStringLiteral("数据设定OK!"),
                              kShortWaitMs);
    QCOMPARE(int(bench.supplyAt(1).powerSetpoint()), sent);
    QCOMPARE(requests(*bench.bus).size(), 1);
}

// The power read shows V x I of the addressed supply, in the picture 000.00.
void TestEndToEndMonitor::powerRead_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("raw");
    QTest::addColumn<QString>("shown");
    QTest::newRow("1: 12.00 V x 1.200 A") << 1 << 1 << 1440 << "014.40";
    QTest::newRow("5: 24.00 V x 0.800 A") << 7 << 5 << 1920 << "019.20";
    QTest::newRow("17: 4.00 V x 2.000 A") << 5 << 17 << 800 << "008.00";
}

void TestEndToEndMonitor::powerRead()
{
    QFETCH(int, model);
    QFETCH(int, address);
    QFETCH(int, raw);
    QFETCH(QString, shown);
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(model);
    QVERIFY(openPanel(address));
    QVERIFY(click(POWER_TEST, QStringLiteral("Button5")));
    QVERIFY(PowerReadRequested);
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("Edit1")), shown, kShortWaitMs);
    QVERIFY(!PowerReadRequested);
    const QByteArray request = BuildReadRequest(address, OutputPower, 1);
    QCOMPARE(requests(*bench.bus).size(), 1);
    QCOMPARE(requests(*bench.bus).first().bytes, request);
    QCOMPARE(int(bench.supplyAt(address).powerReading()), raw);
    const QByteArray reply = replyTo(*bench.bus, request);
    QCOMPARE(reply.size(), 7);
    QCOMPARE(int(quint8(reply.at(3)) << 8 | quint8(reply.at(4))), raw);
    // A power read is no scan answer.
    QCOMPARE(textOf(RSADDERS, QStringLiteral("Edit3")), QString());
}

QTEST_MAIN(TestEndToEndMonitor)
#include "tst_endtoend_monitor.moc"
