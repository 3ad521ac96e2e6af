// The overview: its address lists and alarm bands at their limits, and the
// window itself on the monitor panel's schedule against the simulator: every
// listed address polled in turn, a silent one marked while the others keep
// their rhythm, commands still acknowledged, the polls given back on close.
#include "link/frames.h"
#include "link/statusfeed.h"
#include "link/systemerror.h"
#include "panels/overview.h"
#include "panels/planstation.h"
#include "panels/trend.h"
#include "roster/addresslist.h"
#include "roster/alarmband.h"
#include "roster/supplyroster.h"
#include "tst_endtoend.h"

#include <QFile>
#include <QMap>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTemporaryDir>

using namespace e2e;

namespace {

// The text of the SystemError that call raises, or empty.
template <typename Call>
QString raised(Call call)
{
    try {
        call();
    } catch (const SystemError &error) {
        return error.text();
    }
    return QString();
}

// Addresses of the status polls the tool sends, as they leave.
class PollLog
{
public:
    PollLog()
    {
        SetSendObserver([this](const QByteArray &frame) {
            frames.append(frame);
            if (frame.size() == 8 && quint8(frame.at(1)) == 0x03 && quint8(frame.at(5)) == 5)
                polls.append(quint8(frame.at(0)));
        });
    }
    ~PollLog() { SetSendObserver({}); }
    PollLog(const PollLog &) = delete;
    PollLog &operator=(const PollLog &) = delete;
    QList<int> polls;
    QList<QByteArray> frames;
};

TOVERVIEW *openOverview(const QString &list)
{
    if (!click(MAIN, QStringLiteral("BitBtn9")) || !OVERVIEW || !OVERVIEW->isVisible())
        return nullptr;
    OVERVIEW->Edit1->setText(list);
    QTest::mouseClick(OVERVIEW->Button1, Qt::LeftButton);
    return OVERVIEW;
}

const RosterEntry &entryOf(int address)
{
    return OVERVIEW->Roster()->Entry(OVERVIEW->Roster()->IndexOf(address));
}

// A plan that drives supplies 1 and 5 to 27.9 V, settles, reads twice and
// switches the outputs off.
QString writeDrivingPlan(const QTemporaryDir &dir)
{
    const QString path = dir.filePath(QStringLiteral("drive.toml"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write("name = \"drive\"\nversion = \"1\"\nmodels = [\"QELT30-05\", \"QELT60-05\"]\n"
               "[[slot]]\nname = \"A\"\naddress = 1\nmodel = \"QELT30-05\"\n"
               "[[slot]]\nname = \"B\"\naddress = 5\nmodel = \"QELT60-05\"\n"
               "[[step]]\ntype = \"set\"\nvoltage = 27.9\ncurrent = 3\noutput = true\n"
               "[[step]]\ntype = \"settle\"\nquantity = \"voltage\"\ntolerance = 0.05\nhold = 0.2\ntimeout = 5\n"
               "[[step]]\ntype = \"measure\"\nname = \"read\"\ncount = 2\n"
               "  [[step.check]]\n  name = \"voltage\"\n  quantity = \"voltage\"\n  statistic = \"mean\"\n"
               "  percent = 1\n"
               "[[finally]]\ntype = \"set\"\noutput = false\n");
    return path;
}

} // namespace

class TestOverview : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { quietenOffscreenPlatform(); }

    void addressList_data();
    void addressList();
    void alarmBand_data();
    void alarmBand();
    void rhythmFollowsTheLine();

    void pollsGoRoundTheList();
    void nextPollFollowsTheReception_data();
    void nextPollFollowsTheReception();
    void commandsStillGoOutWhileLent();
    void closingGivesThePollsBack();
    void badListSendsNothing();
    void modelThatCannotHoldTheReadings();
    void tileOpensMonitorAndTrend();
    void tileGivesMonitorItsModelAndSetpoints_data();
    void tileGivesMonitorItsModelAndSetpoints();
    void stationRunShowsInTiles();
};

void TestOverview::addressList_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("addresses");
    QTest::addColumn<QString>("error"); // a piece of the message, when refused
    QTest::newRow("0") << "0" << QList<int>{} << "地址 0 超出范围";
    QTest::newRow("1") << "1" << QList<int>{1} << "";
    QTest::newRow("247") << "247" << QList<int>{247} << "";
    QTest::newRow("248") << "248" << QList<int>{} << "地址 248 超出范围";
    QTest::newRow("range to 248") << "246-248" << QList<int>{} << "地址 248 超出范围";
    QTest::newRow("list") << "1,5,17" << QList<int>{1, 5, 17} << "";
    QTest::newRow("range and one") << "1-4,9" << QList<int>{1, 2, 3, 4, 9} << "";
    QTest::newRow("scan result") << "1,5,17," << QList<int>{1, 5, 17} << "";
    QTest::newRow("blanks") << " 3  8 " << QList<int>{3, 8} << "";
    QTest::newRow("one-address range") << "7-7" << QList<int>{7} << "";
    QTest::newRow("duplicate") << "1,5,1" << QList<int>{} << "地址 1 重复";
    QTest::newRow("duplicate in a range") << "1-3,2" << QList<int>{} << "地址 2 重复";
    QTest::newRow("backwards range") << "5-1" << QList<int>{} << "从大到小";
    QTest::newRow("letters") << "1,a" << QList<int>{} << "无法识别“a”";
    QTest::newRow("negative") << "-3" << QList<int>{} << "无法识别“-3”";
    QTest::newRow("decimal") << "1.5" << QList<int>{} << "无法识别“1.5”";
    QTest::newRow("empty") << " , " << QList<int>{} << "地址列表为空";
}

void TestOverview::addressList()
{
    QFETCH(QString, text);
    QFETCH(QList<int>, addresses);
    QFETCH(QString, error);
    QList<int> parsed;
    const QString message = raised([&] { parsed = ParseAddressList(text); });
    if (error.isEmpty()) {
        QCOMPARE(message, QString());
        QCOMPARE(parsed, addresses);
        QCOMPARE(ParseAddressList(AddressListText(parsed)), parsed);
    } else {
        QVERIFY2(message.contains(error), qPrintable(message));
    }
}

void TestOverview::alarmBand_data()
{
    QTest::addColumn<QString>("minimum"); // empty: no edge
    QTest::addColumn<QString>("maximum");
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("level"); // AlarmLevel, or -1: the band is refused
    const double count = 0.01;
    QTest::newRow("min above max") << "12.01" << "12" << 12.0 << -1;
    QTest::newRow("min equals max, at it") << "12" << "12" << 12.0 << int(AlarmLevel::Near);
    QTest::newRow("min equals max, a count above") << "12" << "12" << 12.0 + count << int(AlarmLevel::Outside);
    QTest::newRow("middle") << "10" << "20" << 15.0 << int(AlarmLevel::Normal);
    QTest::newRow("at the minimum") << "10" << "20" << 10.0 << int(AlarmLevel::Near);
    QTest::newRow("a count below the minimum") << "10" << "20" << 10.0 - count << int(AlarmLevel::Outside);
    QTest::newRow("at the maximum") << "10" << "20" << 20.0 << int(AlarmLevel::Near);
    QTest::newRow("a count above the maximum") << "10" << "20" << 20.0 + count << int(AlarmLevel::Outside);
    QTest::newRow("edge of the 5 % margin") << "10" << "20" << 19.5 << int(AlarmLevel::Near);
    QTest::newRow("a count inside the margin") << "10" << "20" << 19.49 << int(AlarmLevel::Normal);
    QTest::newRow("maximum only") << "" << "20" << 0.0 << int(AlarmLevel::Normal);
    QTest::newRow("maximum only, above") << "" << "20" << 20.5 << int(AlarmLevel::Outside);
    QTest::newRow("minimum only, near") << "10" << "" << 10.2 << int(AlarmLevel::Near);
    QTest::newRow("no band") << "" << "" << 1e6 << int(AlarmLevel::Normal);
}

void TestOverview::alarmBand()
{
    QFETCH(QString, minimum);
    QFETCH(QString, maximum);
    QFETCH(double, value);
    QFETCH(int, level);
    const auto edge = [](const QString &text) {
        return text.isEmpty() ? std::nullopt : std::optional<double>(text.toDouble());
    };
    AlarmBand band;
    band.Set(5.0, 6.0);
    const QString message = raised([&] { band.Set(edge(minimum), edge(maximum)); });
    if (level < 0) {
        QVERIFY2(message.contains(QStringLiteral("高于上限")), qPrintable(message));
        QCOMPARE(band.Minimum(), std::optional<double>(5.0));
        QCOMPARE(band.Maximum(), std::optional<double>(6.0));
        return;
    }
    QCOMPARE(message, QString());
    QCOMPARE(int(band.Level(value, 0.01)), level);
}

// Twice the time until a reply can start: the request, the frame gap, one
// character and a turnaround; 60 ms at the least.
void TestOverview::rhythmFollowsTheLine()
{
    QCOMPARE(SupplyRoster::RhythmMs(1e7 / 9600), 60);
    QCOMPARE(SupplyRoster::RhythmMs(1e7 / 19200), 60);
    QCOMPARE(SupplyRoster::RhythmMs(1e7 / 1200), 229);
}

// Four listed, three on the bus: the polls go 1, 5, 9, 17, 1, ... on the one
// schedule; 9 reads "no reply" within two rounds and the others answer every
// poll; a supply pulled later goes silent the same way.
void TestOverview::pollsGoRoundTheList()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    PollLog log;
    QVERIFY(openOverview(QStringLiteral("1,5,9,17")));
    QVERIFY(POWER_TEST->PollsLent());
    QCOMPARE(POWER_TEST->Timer1->interval(), 60);
    QVERIFY(!MonitorRunning);

    int pollsWhenSilent = -1;
    SupplyRoster *roster = OVERVIEW->Roster();
    connect(roster, &SupplyRoster::entryChanged, roster, [&](int index) {
        if (pollsWhenSilent < 0 && roster->Entry(index).address == 9 && roster->Entry(index).silent())
            pollsWhenSilent = roster->Entry(index).polls;
    });
    QTRY_VERIFY_WITH_TIMEOUT(entryOf(1).readings >= 4 && entryOf(17).readings >= 4, kLongWaitMs);
    QCOMPARE(OVERVIEW->Tile(9)->State(), QStringLiteral("silent"));
    QVERIFY2(pollsWhenSilent >= 1 && pollsWhenSilent <= 2, qPrintable(QString::number(pollsWhenSilent)));
    QVERIFY(OVERVIEW->Tile(9)->LabelState->text().startsWith(QStringLiteral("无应答")));
    const QList<int> order{1, 5, 9, 17};
    for (int n = 0; n < log.polls.size(); ++n)
        QCOMPARE(log.polls.at(n), order.at(n % order.size()));
    // The answering supplies keep their rhythm: a reading for nearly every
    // poll (a simulator starved on a loaded machine may answer one late, and
    // a late answer is dropped, never put on another tile).
    for (int address : {1, 5, 17}) {
        const RosterEntry &entry = entryOf(address);
        QVERIFY2(entry.readings * 10 >= (entry.polls - 1) * 8,
                 qPrintable(QStringLiteral("%1: %2 of %3").arg(address).arg(entry.readings).arg(entry.polls)));
    }
    QCOMPARE(entryOf(9).readings, 0);
    QCOMPARE(OVERVIEW->Tile(1)->LabelVolts->text(), QStringLiteral("12.00 V"));
    QCOMPARE(OVERVIEW->Tile(1)->LabelAmps->text(), QStringLiteral("1.200 A"));
    QCOMPARE(OVERVIEW->Tile(1)->LabelWatts->text(), QStringLiteral("14.40 W (V×I)"));
    QCOMPARE(OVERVIEW->Tile(1)->LabelSet->text(), QStringLiteral("设定 12.00 V / 1.500 A"));
    QCOMPARE(OVERVIEW->Tile(1)->LabelOutput->text(), QStringLiteral("输出 开"));
    QVERIFY(OVERVIEW->Tile(1)->LabelAge->text().endsWith(QStringLiteral(" s 前")));

    // Supply 5 pulled: silent within two of its polls, the others go on.
    bench.bus->updateSupply(bench.indexOf(5), [](SimSupply &supply) { supply.faults().dropShare = 1.0; });
    const int pollsBefore = entryOf(5).polls;
    QTRY_COMPARE_WITH_TIMEOUT(OVERVIEW->Tile(5)->State(), QStringLiteral("silent"), kShortWaitMs);
    QVERIFY(entryOf(5).polls - pollsBefore <= 3);
    const int firstBefore = entryOf(1).readings;
    const int lastBefore = entryOf(17).readings;
    QTRY_VERIFY_WITH_TIMEOUT(entryOf(1).readings >= firstBefore + 3 && entryOf(17).readings >= lastBefore + 3,
                             kLongWaitMs);
    QCOMPARE(entryOf(9).readings, 0);
    QTRY_COMPARE_WITH_TIMEOUT(OVERVIEW->Tile(1)->State(), QStringLiteral("normal"), kShortWaitMs);
    QVERIFY(!recordText(*bench.bus).contains(QStringLiteral("CRC error")));
}

// Lent at the overview's rhythm, a reception ends after the tick was due:
// the next poll leaves before the event loop runs again, so no repaint sits
// between two polls. A tick not yet due, or polls not lent, leave the next
// poll to Timer1.
void TestOverview::nextPollFollowsTheReception_data()
{
    QTest::addColumn<int>("intervalMs"); // lent at this interval; 0: not lent
    QTest::addColumn<bool>("atOnce");
    QTest::newRow("lent, tick overdue") << 60 << true;
    QTest::newRow("lent, tick not yet due") << 1000 << false;
    QTest::newRow("the monitor's own polls") << 0 << false;
}

void TestOverview::nextPollFollowsTheReception()
{
    QFETCH(int, intervalMs);
    QFETCH(bool, atOnce);
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    if (intervalMs) {
        QVERIFY(openOverview(QStringLiteral("1,5")));
        POWER_TEST->Timer1->setInterval(intervalMs);
    } else {
        QVERIFY(startMonitor(1));
    }
    // A reading sets the mark; the end of the receive event clears it (this
    // listener runs after the main window's receive handler). A poll that
    // finds it set left inside the receive handler.
    QObject scope;
    bool inReception = false;
    int readings = 0;
    int pollsInside = 0;
    connect(TheStatusFeed(), &StatusFeed::statusRead, &scope, [&] {
        ++readings;
        inReception = true;
    });
    connect(MAIN->MSComm1, &TMSComm::OnComm, &scope, [&] { inReception = false; });
    connect(TheStatusFeed(), &StatusFeed::statusPolled, &scope, [&] {
        if (inReception)
            ++pollsInside;
    });
    QTRY_VERIFY_WITH_TIMEOUT(readings >= 4, kLongWaitMs);
    if (atOnce)
        QVERIFY2(pollsInside >= readings - 1, qPrintable(QStringLiteral("%1 of %2").arg(pollsInside).arg(readings)));
    else
        QCOMPARE(pollsInside, 0);
}

// A setpoint clicked on the monitor panel while the overview polls: held
// and released by Timer2 as ever, answered, with no frame on top of a reply.
void TestOverview::commandsStillGoOutWhileLent()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(openOverview(QStringLiteral("1,5,17")));
    QTRY_VERIFY_WITH_TIMEOUT(entryOf(17).readings >= 2, kLongWaitMs);
    QVERIFY(click(MAIN, QStringLiteral("BitBtn4")));
    QVERIFY(setNumber(POWER_TEST, QStringLiteral("SpinEdit1"), 5));
    for (int round = 0; round < 3; ++round) {
        const QString digits = QStringLiteral("%1").arg(2000 + 100 * round);
        QVERIFY(setDigits(POWER_TEST, 3, digits));
        QVERIFY(click(POWER_TEST, QStringLiteral("BitBtn1")));
        const QByteArray command = BuildWriteSingle(5, VoltageSetpoint, quint16(digits.toInt()));
        QTRY_VERIFY_WITH_TIMEOUT(answered(*bench.bus, command), kShortWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText4")), QStringLiteral("数据设定OK!"),
                                  kShortWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(OVERVIEW->Tile(5)->LabelSet->text(),
                                  QStringLiteral("设定 %1.00 V / 1.000 A").arg(20 + round), kShortWaitMs);
    }
    // The panel's readouts show its own supply only, not each one polled.
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText7")), QStringLiteral("22.00"),
                              kShortWaitMs);
    const int before = entryOf(1).readings + entryOf(17).readings;
    QTRY_VERIFY_WITH_TIMEOUT(entryOf(1).readings + entryOf(17).readings >= before + 4, kShortWaitMs);
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText7")), QStringLiteral("22.00"));
    QVERIFY(!recordText(*bench.bus).contains(QStringLiteral("CRC error")));
}

// With the monitor on at 17, the overview of 1 and 5 takes the polls; closed,
// it gives them back: 500 ms ticks, every poll to 17 again.
void TestOverview::closingGivesThePollsBack()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(startMonitor(17));
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText5")), QStringLiteral("04.00"),
                              kShortWaitMs);

    PollLog log;
    QVERIFY(openOverview(QStringLiteral("1,5")));
    QTRY_VERIFY_WITH_TIMEOUT(entryOf(1).readings >= 3 && entryOf(5).readings >= 3, kLongWaitMs);
    const QList<int> lent = log.polls;
    // Perhaps one poll of 17 that was due as the overview opened.
    QVERIFY(lent.count(17) <= 1);
    QVERIFY(lent.count(1) >= 3 && lent.count(5) >= 3);

    QVERIFY(click(OVERVIEW, QStringLiteral("Button5")));
    QVERIFY(!OVERVIEW->isVisible());
    QVERIFY(!POWER_TEST->PollsLent());
    QCOMPARE(POWER_TEST->Timer1->interval(), 500);
    QVERIFY(MonitorRunning);
    SendLedger ledger(POWER_TEST->Timer1);
    QTRY_VERIFY_WITH_TIMEOUT(ledger.entries().size() >= 3, kLongWaitMs);
    for (const SendLedger::Entry &entry : ledger.entries())
        QCOMPARE(entry.bytes, BuildReadRequest(17, VoltageSetpoint, 5));
    for (int n = 1; n < ledger.entries().size(); ++n)
        QCOMPARE(ledger.entries().at(n).ticksBefore - ledger.entries().at(n - 1).ticksBefore, 1);
    const int readings = entryOf(1).readings;
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText5")), QStringLiteral("04.00"),
                              kShortWaitMs);
    QCOMPARE(entryOf(1).readings, readings);

    // Shown again, it takes them again.
    QVERIFY(click(MAIN, QStringLiteral("BitBtn9")));
    QVERIFY(POWER_TEST->PollsLent());
    QTRY_VERIFY_WITH_TIMEOUT(entryOf(1).readings > readings, kLongWaitMs);
}

// A list that does not parse: the error box, no frame, the tiles as they were.
void TestOverview::badListSendsNothing()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    PollLog log;
    QVERIFY(openOverview(QStringLiteral("1,5")));
    QCOMPARE(OVERVIEW->Tiles().size(), 2);
    QVERIFY(click(OVERVIEW, QStringLiteral("Button5")));
    log.frames.clear();
    QVERIFY(click(MAIN, QStringLiteral("BitBtn9")));
    POWER_TEST->ReturnPolls(); // keep the line quiet to see that nothing goes out
    for (const QString &text : {QStringLiteral("0"), QStringLiteral("248"), QStringLiteral("1,1"),
                                QStringLiteral("x")}) {
        const int boxes = bench.closer.texts().size();
        OVERVIEW->Edit1->setText(text);
        QVERIFY(click(OVERVIEW, QStringLiteral("Button1")));
        QTRY_COMPARE_WITH_TIMEOUT(bench.closer.texts().size(), boxes + 1, kShortWaitMs);
        QVERIFY(!bench.closer.texts().last().isEmpty());
        QCOMPARE(OVERVIEW->Roster()->Addresses(), (QList<int>{1, 5}));
        QVERIFY(!POWER_TEST->PollsLent());
    }
    QVERIFY(log.frames.isEmpty());

    // A band with min above max is refused with a box and leaves the band unset.
    OVERVIEW->ComboBox1->setCurrentIndex(0);
    OVERVIEW->Edit2->setText(QStringLiteral("13"));
    OVERVIEW->Edit3->setText(QStringLiteral("12"));
    const int boxes = bench.closer.texts().size();
    QVERIFY(click(OVERVIEW, QStringLiteral("Button3")));
    QTRY_COMPARE_WITH_TIMEOUT(bench.closer.texts().size(), boxes + 1, kShortWaitMs);
    QVERIFY(bench.closer.texts().last().contains(QStringLiteral("高于上限")));
    QVERIFY(!entryOf(1).voltageBand.IsSet());
}

// Each tile has its own model; one that cannot hold the readings says so,
// one that can shows them in its own resolution, and a band turns it amber.
void TestOverview::modelThatCannotHoldTheReadings()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(openOverview(QStringLiteral("5,17")));
    // 5 is a QELT60-05 at 24.00 V: a QELT15-20 (item 2) stops at 15.00 V.
    OVERVIEW->Tile(5)->ComboModel->setCurrentIndex(2);
    QTRY_COMPARE_WITH_TIMEOUT(OVERVIEW->Tile(5)->State(), QStringLiteral("model"), kLongWaitMs);
    QVERIFY(OVERVIEW->Tile(5)->LabelState->text().contains(QStringLiteral("QELT15-20")));
    QCOMPARE(OVERVIEW->Tile(5)->LabelVolts->text(), QStringLiteral("— V"));
    OVERVIEW->Tile(5)->ComboModel->setCurrentIndex(7);
    QTRY_COMPARE_WITH_TIMEOUT(OVERVIEW->Tile(5)->LabelVolts->text(), QStringLiteral("24.00 V"), kShortWaitMs);
    QCOMPARE(OVERVIEW->Tile(5)->State(), QStringLiteral("normal"));

    // 17 draws 2.000 A: amber with a maximum of 2.05 A, red with 1.9 A.
    OVERVIEW->Tile(17)->ComboModel->setCurrentIndex(5);
    QVERIFY(click(OVERVIEW->Tile(17), QStringLiteral("ButtonBand")));
    QCOMPARE(OVERVIEW->ComboBox1->currentData().toInt(), 17);
    OVERVIEW->Edit5->setText(QStringLiteral("2.05"));
    QVERIFY(click(OVERVIEW, QStringLiteral("Button3")));
    QTRY_COMPARE_WITH_TIMEOUT(OVERVIEW->Tile(17)->State(), QStringLiteral("near"), kShortWaitMs);
    OVERVIEW->Edit4->setText(QStringLiteral("1.9"));
    OVERVIEW->Edit5->setText(QStringLiteral("1.9"));
    QVERIFY(click(OVERVIEW, QStringLiteral("Button3")));
    QTRY_COMPARE_WITH_TIMEOUT(OVERVIEW->Tile(17)->State(), QStringLiteral("outside"), kShortWaitMs);
    QVERIFY(click(OVERVIEW, QStringLiteral("Button4")));
    QTRY_COMPARE_WITH_TIMEOUT(OVERVIEW->Tile(17)->State(), QStringLiteral("normal"), kShortWaitMs);
}

void TestOverview::tileOpensMonitorAndTrend()
{
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(openOverview(QStringLiteral("1,17")));
    QTRY_VERIFY_WITH_TIMEOUT(entryOf(17).readings >= 1, kLongWaitMs);
    TSupplyTile *tile = OVERVIEW->Tile(17);
    QTest::mouseClick(tile, Qt::LeftButton, {}, tile->LabelVolts->geometry().center());
    QVERIFY(POWER_TEST->isVisible());
    QCOMPARE(POWER_TEST->SpinEdit1->Value(), 17);
    QVERIFY(POWER_TEST->Trend->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(textOf(POWER_TEST, QStringLiteral("StaticText5")), QStringLiteral("04.00"),
                              kLongWaitMs);
}

void TestOverview::tileGivesMonitorItsModelAndSetpoints_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("voltageLimit");
    QTest::addColumn<QList<int>>("voltageDigits");
    QTest::addColumn<QList<int>>("currentDigits");
    QTest::addColumn<int>("voltageSent");
    // 5 is a QELT60-05 at 24.00 V / 1.000 A, 17 a QELT36-03 at 5.00 V / 2.000 A.
    QTest::newRow("5") << 5 << "QELT60-05" << 6100 << QList<int>{2, 4, 0, 0} << QList<int>{1, 0, 0, 0} << 2400;
    QTest::newRow("17") << 17 << "QELT36-03" << 3700 << QList<int>{0, 5, 0, 0} << QList<int>{2, 0, 0, 0} << 500;
    // 9 never answers: its tile keeps the model it was listed with, and
    // there is no setpoint to show.
    QTest::newRow("9, never read") << 9 << "QELT30-05" << 3100 << QList<int>{0, 0, 0, 0} << QList<int>{0, 0, 0, 0}
                                   << 0;
}

// A tile opens the monitor as that supply's: its model active, the heading
// saying so, and the setpoint digits its last reading's, so that "设定电压"
// sends that supply its own setpoint and not the supply seen before.
void TestOverview::tileGivesMonitorItsModelAndSetpoints()
{
    QFETCH(int, address);
    QFETCH(QString, model);
    QFETCH(int, voltageLimit);
    QFETCH(QList<int>, voltageDigits);
    QFETCH(QList<int>, currentDigits);
    QFETCH(int, voltageSent);
    Bench bench;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(openOverview(QStringLiteral("1,5,9,17")));
    OVERVIEW->Tile(5)->ComboModel->setCurrentIndex(7);
    OVERVIEW->Tile(17)->ComboModel->setCurrentIndex(5);
    QTRY_VERIFY_WITH_TIMEOUT(entryOf(1).readings >= 1 && entryOf(5).readings >= 1 && entryOf(17).readings >= 1
                                 && entryOf(9).silent(),
                             kLongWaitMs);
    const auto clickTile = [](int onAddress) {
        TSupplyTile *tile = OVERVIEW->Tile(onAddress);
        QTest::mouseClick(tile, Qt::LeftButton, {}, tile->LabelVolts->geometry().center());
    };
    const auto digits = [](std::initializer_list<const char *> names) {
        QList<int> values;
        for (const char *name : names)
            values << POWER_TEST->findChild<TSpinEdit *>(QLatin1String(name))->Value();
        return values;
    };
    // Supply 1 first: the panel holds its model and its 12.00 V.
    clickTile(1);
    QCOMPARE(digits({"SpinEdit3", "SpinEdit4", "SpinEdit5", "SpinEdit6"}), (QList<int>{1, 2, 0, 0}));
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText3")), QStringLiteral("QELT30-05可调电源监控界面"));

    clickTile(address);
    QCOMPARE(POWER_TEST->SpinEdit1->Value(), address);
    QCOMPARE(ModelName, model);
    QCOMPARE(int(VoltageLimit), voltageLimit);
    QCOMPARE(MAIN->Label2->text(), model);
    QCOMPARE(textOf(POWER_TEST, QStringLiteral("StaticText3")), model + QStringLiteral("可调电源监控界面"));
    QCOMPARE(digits({"SpinEdit3", "SpinEdit4", "SpinEdit5", "SpinEdit6"}), voltageDigits);
    QCOMPARE(digits({"SpinEdit7", "SpinEdit8", "SpinEdit9", "SpinEdit10"}), currentDigits);

    PollLog log;
    QVERIFY(click(POWER_TEST, QStringLiteral("BitBtn1")));
    const QByteArray expected = BuildWriteSingle(address, VoltageSetpoint, quint16(voltageSent));
    QTRY_VERIFY_WITH_TIMEOUT(log.frames.contains(expected), kLongWaitMs);
    for (const QByteArray &frame : log.frames)
        QVERIFY(frame.size() != expected.size() || frame == expected);
}

// While a plan run holds the line the overview polls nothing: its tiles show
// the run's readings as they come and its status line says whose the line
// is; once the run has ended it polls again.
void TestOverview::stationRunShowsInTiles()
{
    Bench bench;
    QTemporaryDir dir;
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    E2E_CHOOSE_MODEL(1);
    QVERIFY(openOverview(QStringLiteral("1,5")));
    OVERVIEW->Tile(5)->ComboModel->setCurrentIndex(7);
    QTRY_COMPARE_WITH_TIMEOUT(OVERVIEW->Tile(5)->LabelVolts->text(), QStringLiteral("24.00 V"), kLongWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(OVERVIEW->Tile(1)->LabelVolts->text(), QStringLiteral("12.00 V"), kLongWaitMs);
    QVERIFY(OVERVIEW->StaticText2->text().contains(QStringLiteral("轮流查询")));

    // What each tile and the status line show while the run holds the line.
    QMap<int, QStringList> shown;
    QStringList status;
    connect(OVERVIEW->Roster(), &SupplyRoster::entryChanged, OVERVIEW, [&](int index) {
        if (!PLANSTATION || !PLANSTATION->Running())
            return;
        const int address = OVERVIEW->Roster()->Entry(index).address;
        shown[address] << OVERVIEW->Tile(address)->LabelVolts->text();
        status << OVERVIEW->StaticText2->text();
    });
    QVERIFY(click(MAIN, QStringLiteral("BitBtn8")));
    QTRY_VERIFY(PLANSTATION && PLANSTATION->isVisible());
    TPLANSTATION *station = PLANSTATION;
    station->Edit1->setText(dir.filePath(QStringLiteral("reports")));
    station->Edit2->setText(dir.filePath(QStringLiteral("history.sqlite")));
    station->OpenPlan(writeDrivingPlan(dir));
    station->Tiles.at(0)->Serial->setText(QStringLiteral("D1"));
    station->Tiles.at(1)->Serial->setText(QStringLiteral("D2"));
    QSignalSpy ended(station, &TPLANSTATION::runEnded);
    QVERIFY(click(station, QStringLiteral("Button2")));
    QVERIFY(station->Running());
    QTRY_VERIFY_WITH_TIMEOUT(!ended.isEmpty(), kLongWaitMs);

    // Each slot's last reading, as the station shows it, reached its tile
    // (a slot the line failed has none to show).
    int slotsRead = 0;
    for (int slot = 0; slot < 2; ++slot) {
        const QString values = station->Tiles.at(slot)->Values->text();
        if (values.isEmpty())
            continue;
        ++slotsRead;
        const int address = slot == 0 ? 1 : 5;
        QVERIFY2(values.startsWith(QStringLiteral("27.90 V")), qPrintable(values));
        QVERIFY2(shown[address].contains(QStringLiteral("27.90 V")), qPrintable(shown[address].join(QLatin1Char(' '))));
    }
    QVERIFY(slotsRead > 0 && !status.isEmpty());
    for (const QString &text : std::as_const(status)) {
        QVERIFY2(text.contains(QStringLiteral("测试工位")) && !text.contains(QStringLiteral("查询，间隔")),
                 qPrintable(text));
    }
    // The line back: polled again, the outputs the finally block switched off.
    QTRY_VERIFY_WITH_TIMEOUT(OVERVIEW->StaticText2->text().contains(QStringLiteral("轮流查询")), kLongWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(OVERVIEW->Tile(5)->LabelOutput->text(), QStringLiteral("输出 关"), kLongWaitMs);
    QCOMPARE(OVERVIEW->Tile(5)->LabelSet->text(), QStringLiteral("设定 27.90 V / 3.000 A"));
}

QTEST_MAIN(TestOverview)
#include "tst_overview.moc"
