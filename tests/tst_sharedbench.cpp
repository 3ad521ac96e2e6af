// One bench shared: the tool's window, psuctl status --watch and the MQTT
// bridge read three simulated supplies on one line at the same time, each a
// client of psuctl serve. (The window and psuctl through a transparent serial
// server are tried in the network links' test.) Every reading any of them
// takes must arrive: a poll the window finds unanswered, an error line of the watch or
// a supply the bridge reports offline fails the test.

#include "app/portmaps.h"
#include "ctl/ctlerror.h"
#include "link/statusfeed.h"
#include "netlink/networktransport.h"
#include "support_mqtt.h"
#include "support_net.h"
#include "support_psuctl.h"
#include "tst_endtoend.h"

#include <QDynamicPropertyChangeEvent>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <memory>

using namespace e2e;

namespace {

// The readings each program must take while the others take theirs: at the
// window's rhythm of 500 ms, ten seconds of sharing.
constexpr int kReadings = 20;
// Long enough for every reader to get there on a loaded machine.
constexpr int kSharingMs = 40000;

// The demo's supplies, one per reader (see tst_endtoend.h): the window polls
// 1, the watch 5, the bridge 17.
constexpr int kWindowAddress = 1;
const QString kWindowReadouts = QStringLiteral("12.00 1.500 12.00 1.200 ON");

// What the monitor panel shows in its readouts: setpoints, then measured
// values, then the output state.
QString panelReadouts()
{
    QStringList shown;
    for (const char *name : {"StaticText7", "StaticText8", "StaticText5", "StaticText6", "StaticText9"})
        shown << textOf(POWER_TEST, QLatin1String(name));
    return shown.join(QLatin1Char(' '));
}

// The monitor panel's polls of one address and what came of them: the polls
// sent, the readings the status feed announced for that address, and each
// time the panel greyed its readouts because a poll went unanswered.
class PanelWatch : public QObject
{
public:
    explicit PanelWatch(int address)
        : m_address(address), m_sent(POWER_TEST->Timer1)
    {
        connect(TheStatusFeed(), &StatusFeed::statusRead, this, [this](const Reading &sample) {
            if (sample.address == m_address && sample.replyAddress == m_address)
                ++m_readings;
            else
                m_strays << QStringLiteral("%1/%2").arg(sample.address).arg(sample.replyAddress);
        });
        POWER_TEST->Image2->installEventFilter(this);
    }

    int polls() const { return int(m_sent.entries().size()); }
    int readings() const { return m_readings; }
    int greyed() const { return m_greyed; }
    // Readings of another address, or whose reply carried another (address/reply's).
    QStringList strays() const { return m_strays; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::DynamicPropertyChange
            && static_cast<QDynamicPropertyChangeEvent *>(event)->propertyName() == "noReply"
            && watched->property("noReply").toBool())
            ++m_greyed;
        return false;
    }

private:
    int m_address;
    SendLedger m_sent;
    int m_readings = 0;
    int m_greyed = 0;
    QStringList m_strays;
};

// The rows of CSV output as field lists, the header left out.
QVector<QStringList> csvRows(const QString &text)
{
    QVector<QStringList> rows;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (int i = 1; i < lines.size(); ++i)
        rows << lines.at(i).split(QLatin1Char(','));
    return rows;
}

// A row's fields from the address on, without the time it was taken.
QString withoutTime(const QStringList &row)
{
    return row.mid(1).join(QLatin1Char(','));
}

} // namespace

class TestSharedBench : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void windowWatchAndBridgeShareServe();

private:
    // The main window on COM2 as the operator opens it after starting the
    // tool with --map COM2=target, its monitor panel polling address.
    void openWindowOn(Bench &bench, const QString &target, int address);

    QTemporaryDir m_dir;
};

void TestSharedBench::initTestCase()
{
    QVERIFY(m_dir.isValid());
    quietenOffscreenPlatform();
    InstallNetworkTransports();
}

void TestSharedBench::openWindowOn(Bench &bench, const QString &target, int address)
{
    QCOMPARE(ApplyPortMaps({QStringLiteral("psutool"), QStringLiteral("--map"), QStringLiteral("COM2=") + target},
                           QString()),
             QString());
    E2E_APPLY_SERIAL_SETTINGS(bench, "9600");
    QCOMPARE(MAIN->MSComm1->OpenDevice(), target);
    E2E_CHOOSE_MODEL(1);
    QVERIFY(click(MAIN, QStringLiteral("BitBtn4")));
    QVERIFY(POWER_TEST->isVisible());
    QVERIFY(setNumber(POWER_TEST, QStringLiteral("SpinEdit1"), address));
}

// The window polls supply 1, psuctl status --watch reads supply 5 and the
// bridge publishes supply 17, all through one serve at once.
void TestSharedBench::windowWatchAndBridgeShareServe()
{
    Bench bench;
    ServeThread serve(m_dir.filePath(QStringLiteral("serve.log")));
    // The line's own timeout and tries as a loaded machine needs them: the
    // simulator's thread may answer late, or spoil a reply.
    QVERIFY2(serve.start({"-p", bench.path, "-o", "0.5", "--retries", "2", "serve", "--listen", "127.0.0.1:0"}),
             qPrintable(serve.log()));
    const QString serveLink = QStringLiteral("tcp://127.0.0.1:%1").arg(serve.port());

    const int mqttPort = FreeLoopbackPort();
    const std::unique_ptr<QProcess> broker(
        StartMosquitto(m_dir.filePath(QStringLiteral("mosquitto.conf")),
                       QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\n").arg(mqttPort),
                       {mqttPort}, m_dir.filePath(QStringLiteral("broker.log")), nullptr));
    QVERIFY2(broker, "mosquitto (Debian package mosquitto) must be installed");
    MqttSubscriber sub(mqttPort, {QStringLiteral("psu/#")});

    openWindowOn(bench, serveLink, kWindowAddress);
    PanelWatch window(kWindowAddress);
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));
    QVERIFY(MonitorRunning);

    QProcess watch;
    watch.start(QStringLiteral(PSUCTL_PROGRAM), {"-p", serveLink, "status", "-a", "5", "-m", "QELT60-05", "--format",
                                                 "csv", "--watch", "250"});
    QProcess bridge;
    bridge.start(QStringLiteral(PSUCTL_PROGRAM), {"-p", serveLink, "mqtt", "-a", "17", "-m", "QELT36-03", "--bench",
                                                  "shared", "--poll", "250", "--broker",
                                                  QStringLiteral("127.0.0.1:%1").arg(mqttPort)});
    QVERIFY(watch.waitForStarted() && bridge.waitForStarted());

    QString watchOut;
    QString watchErr;
    const auto watchRows = [&] {
        watchOut += QString::fromUtf8(watch.readAllStandardOutput());
        return csvRows(watchOut);
    };
    const auto states = [&sub] { return sub.on(QStringLiteral("psu/shared/17/state")); };
    const auto progress = [&] {
        watchErr += QString::fromUtf8(watch.readAllStandardError());
        return QStringLiteral("window: %1 readings of %2 polls; watch: %3 rows, stderr: %4; bridge: %5 states")
            .arg(window.readings())
            .arg(window.polls())
            .arg(watchRows().size())
            .arg(watchErr)
            .arg(states().size())
            .toLocal8Bit();
    };
    QTRY_VERIFY2_WITH_TIMEOUT(window.readings() >= kReadings && watchRows().size() >= kReadings
                                  && states().size() >= kReadings,
                              progress().constData(), kSharingMs);

    // The window: every poll answered by its own supply, the readouts never greyed.
    QVERIFY(click(POWER_TEST, QStringLiteral("Button11")));
    QVERIFY(!MonitorRunning);
    QTRY_COMPARE_WITH_TIMEOUT(window.readings(), window.polls(), kShortWaitMs);
    QCOMPARE(window.greyed(), 0);
    QCOMPARE(window.strays(), QStringList());
    QCOMPARE(panelReadouts(), kWindowReadouts);

    // The watch: a row for every round, each supply 5's, and nothing said on stderr.
    watch.terminate();
    QVERIFY(watch.waitForFinished(kLongWaitMs));
    watchOut += QString::fromUtf8(watch.readAllStandardOutput());
    watchErr += QString::fromUtf8(watch.readAllStandardError());
    QCOMPARE(watch.exitCode(), 0);
    QCOMPARE(watchOut.section(QLatin1Char('\n'), 0, 0).section(QLatin1Char(','), 1, 1), QStringLiteral("address"));
    const QVector<QStringList> rows = csvRows(watchOut);
    for (const QStringList &row : rows)
        QCOMPARE(withoutTime(row), QStringLiteral("5,QELT60-05,24.00,1.000,24.00,0.800,on,19.20"));
    // A loaded machine may make a round late, which the watch says once.
    const QStringList errLines = watchErr.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : errLines)
        QVERIFY2(line.contains(QLatin1String("rounds that fell due meanwhile are skipped")), qPrintable(watchErr));

    // The bridge: supply 17's state at every poll, never offline.
    bridge.terminate();
    QVERIFY(bridge.waitForFinished(kLongWaitMs));
    QCOMPARE(bridge.exitCode(), 0);
    const QString bridgeErr = QString::fromUtf8(bridge.readAllStandardError());
    QVERIFY2(!bridgeErr.contains(QLatin1String("address 17")), qPrintable(bridgeErr));
    // Online once it read the supply (again as it reached the broker, had it read before).
    const QVector<QByteArray> availability = sub.on(QStringLiteral("psu/shared/17/availability"));
    QVERIFY(!availability.isEmpty());
    QCOMPARE(availability.count("online"), availability.size());
    for (const QByteArray &state : states()) {
        QJsonObject reading = QJsonDocument::fromJson(state).object();
        reading.remove(QStringLiteral("time"));
        QCOMPARE(QJsonDocument(reading).toJson(QJsonDocument::Compact),
                 QByteArray(R"({"address":17,"current":2,"current_set":2,"model":"QELT36-03","output":"on","power":8,"voltage":4,"voltage_set":5})"));
    }

    // serve: each of the three came and went.
    MAIN->MSComm1->SetPortOpen(false);
    static const QRegularExpression departure(QStringLiteral("client (\\S+) (left|gone \\(.*\\)) after (\\d+) answers"));
    QTRY_COMPARE_WITH_TIMEOUT(serve.log().count(departure), 3, kShortWaitMs);
    static const QRegularExpression arrival(QStringLiteral("client (\\S+) connected \\("));
    QStringList arrived;
    for (const QRegularExpressionMatch &match : arrival.globalMatch(serve.log()))
        arrived << match.captured(1);
    QStringList left;
    for (const QRegularExpressionMatch &match : departure.globalMatch(serve.log())) {
        left << match.captured(1);
        QVERIFY2(match.captured(3).toInt() >= kReadings, qPrintable(match.captured(0)));
    }
    arrived.sort();
    left.sort();
    QCOMPARE(left, arrived);
    QCOMPARE(serve.stop(), int(ExitSuccess));
    QVERIFY2(serve.log().contains(QStringLiteral("serve ends after")), qPrintable(serve.log()));
    broker->terminate();
    QVERIFY(broker->waitForFinished(kLongWaitMs));
}

QTEST_MAIN(TestSharedBench)
#include "tst_sharedbench.moc"
