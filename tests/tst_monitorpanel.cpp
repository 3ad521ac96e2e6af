// Monitor panel: its controls, the poll/command scheduling driven tick by tick,
// the command frames byte for byte, and one live run against a pseudo-terminal.

#include "app/forms.h"
#include "app/mainwindow.h"
#include "link/commports.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "link/replydispatcher.h"
#include "link/serialchannel.h"
#include "panels/monitorpanel.h"
#include "support_bytes.h"
#include "support_pty.h"
#include "support_state.h"
#include "widgets/spinedit.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QtTest>

namespace {
// Frames worked out by hand (CRC from an independent CRC-16/MODBUS).
const QByteArray kPoll1 = hex("01 03 10 00 00 05 81 09");
const QByteArray kPollAt7 = hex("07 03 10 00 00 05 81 6F");
const QByteArray kPollAt2C = hex("2C 03 10 00 00 05 87 74");
const QByteArray kPowerRead1 = hex("01 03 10 08 00 01 01 08");
const QByteArray kOutputOn = hex("01 10 10 04 00 01 02 00 01 77 D5");
const QByteArray kOutputOff = hex("01 10 10 04 00 01 02 00 00 B6 15");
const QByteArray kKeysLock = hex("01 10 10 06 00 01 02 00 01 76 37");
const QByteArray kKeysUnlock = hex("01 10 10 06 00 01 02 00 00 B7 F7");
const QByteArray kPowerControlOn = hex("01 10 10 0A 00 01 02 00 01 76 FB");
const QByteArray kPowerControlOff = hex("01 10 10 0A 00 01 02 00 00 B7 3B");
const QByteArray kVoltage1234 = hex("01 10 10 00 00 01 02 04 D2 35 0C");

// Two distinct command frames for the scheduling table.
const QByteArray kCommandF = kOutputOn;
const QByteArray kCommandG = kKeysLock;

const QColor kLime(0x00, 0xFF, 0x00);
const QColor kRed(0xFF, 0x00, 0x00);

QByteArray frameNamed(const QString &name)
{
    if (name == QLatin1String("poll"))
        return kPoll1;
    if (name == QLatin1String("F"))
        return kCommandF;
    if (name == QLatin1String("G"))
        return kCommandG;
    return QByteArray();
}

QString schedulingState()
{
    const bool held = !PendingFrame.isEmpty();
    if (!PollActive && !CommandPending && !held)
        return QStringLiteral("Idle");
    if (PollActive && !CommandPending && !held)
        return QStringLiteral("Polling");
    if (PollActive && CommandPending && held)
        return QStringLiteral("PollingHeld");
    if (!PollActive && CommandPending && !held)
        return QStringLiteral("CommandSent");
    if (!PollActive && CommandPending && held)
        return QStringLiteral("Held");
    return QStringLiteral("Invalid");
}

QString widgetText(QWidget *widget)
{
    if (auto *label = qobject_cast<QLabel *>(widget))
        return label->text();
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        return button->text();
    if (auto *edit = qobject_cast<QLineEdit *>(widget))
        return edit->text();
    if (auto *spin = qobject_cast<TSpinEdit *>(widget))
        return QString::number(spin->Value());
    return QString();
}

void setDigits(std::initializer_list<TSpinEdit *> row, const QString &digits)
{
    int n = 0;
    for (TSpinEdit *digit : row)
        digit->SetValue(digits.at(n++).digitValue());
}

// A status block with CRC, as an instrument answers the poll.
QByteArray statusReply(quint8 address)
{
    return withCrc(char(address) + hex("03 0A 04 D2 09 C4 00 38 00 05 00 01"));
}

} // namespace

class MonitorPanelTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void timersAtCreation();
    void controls_data();
    void controls();
    void layoutReadsWell();
    void titleOnShow();
    void returnOnlyHides();
    void monitorSwitch();
    void lampCycle();

    void transitions_data();
    void transitions();
    void commandHeldBehindPoll();
    void twoCommandsInOnePollWindow();
    void monitorOffCommandAtOnce();
    void enablingTimer2KeepsItsPhase();
    void pollAddress_data();
    void pollAddress();
    void powerReadBypassesScheduling();

    void commandFrames_data();
    void commandFrames();
    void togglesAlternate_data();
    void togglesAlternate();

    void liveMonitor();

private:
    QByteArray peerBytes(int expected);

    ToolFixture m_fixture;
    PtyPeer *m_peer = nullptr;
    QVector<QByteArray> m_sent;
    bool m_timer1Active = false;
    bool m_timer2Active = true;
};

void MonitorPanelTest::initTestCase()
{
    CreateForms();
    m_timer1Active = POWER_TEST->Timer1->isActive();
    m_timer2Active = POWER_TEST->Timer2->isActive();
    ClearActiveModel();

    m_peer = new PtyPeer(this);
    MapCommPort(1, m_peer->slavePath());
    MAIN->FormShow();
    MAIN->MSComm1->SetCommPort(1);
    QVERIFY_THROWS_NO_EXCEPTION(MAIN->MSComm1->SetPortOpen(true));
    SetSendObserver([this](const QByteArray &frame) { m_sent.append(frame); });
}

void MonitorPanelTest::init()
{
    // The scheduling is driven by calling the tick handlers directly.
    POWER_TEST->Timer1->stop();
    POWER_TEST->Timer2->stop();
    m_fixture.reset();
    POWER_TEST->Button11->setText(QStringLiteral("输出监测启动"));
    POWER_TEST->BitBtn4->setText(QStringLiteral("输出启动"));
    POWER_TEST->BitBtn5->setText(QStringLiteral("按键锁定"));
    POWER_TEST->BitBtn7->setText(QStringLiteral("功率控制启动"));
    POWER_TEST->SpinEdit1->SetValue(1);
    POWER_TEST->SpinEdit2->SetValue(0);
    for (TMonitorLamp *lamp : {POWER_TEST->Shape1, POWER_TEST->Shape2, POWER_TEST->Shape3,
                               POWER_TEST->Shape4, POWER_TEST->Shape5})
        lamp->SetBrushColor(kLime);
    m_peer->received();
    m_sent.clear();
}

void MonitorPanelTest::cleanupTestCase()
{
    SetSendObserver({});
    MAIN->MSComm1->SetPortOpen(false);
    ClearCommPortMappings();
    DestroyForms();
}

QByteArray MonitorPanelTest::peerBytes(int expected)
{
    return m_peer->readSome(expected, 3000);
}

void MonitorPanelTest::timersAtCreation()
{
    QVERIFY(m_timer1Active);
    QVERIFY(!m_timer2Active);
    QCOMPARE(POWER_TEST->Timer1->interval(), 500);
    QCOMPARE(POWER_TEST->Timer2->interval(), 200);
    QCOMPARE(POWER_TEST->Timer1->timerType(), Qt::PreciseTimer);
    QCOMPARE(POWER_TEST->Timer2->timerType(), Qt::PreciseTimer);
    QVERIFY(!POWER_TEST->Timer1->isSingleShot());
    QVERIFY(!POWER_TEST->Timer2->isSingleShot());
    QCOMPARE(POWER_TEST->objectName(), QStringLiteral("POWER_TEST"));
    QCOMPARE(POWER_TEST->windowTitle(), QStringLiteral("电源测试"));
    QCOMPARE(POWER_TEST->pos(), QPoint(843, 64));
}

void MonitorPanelTest::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QColor>("colour");

    const QColor none;
    auto row = [](const char *name, const char *kind, const QString &text, const QColor &colour) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind) << text << colour;
    };
    row("StaticText3", "QLabel", QStringLiteral("QELTXX-XX可调电源监控界面"), none);
    row("StaticText5", "QLabel", QStringLiteral("0.0V"), kLime);
    row("StaticText6", "QLabel", QStringLiteral("0.0A"), kRed);
    row("StaticText7", "QLabel", QStringLiteral("0.0V"), QColor(Qt::blue));
    row("StaticText8", "QLabel", QStringLiteral("0.0A"), QColor(Qt::blue));
    row("StaticText9", "QLabel", QStringLiteral("OFF"), kRed);
    row("StaticText4", "QLabel", QString(), kRed);
    row("Image2", "QLabel", QString(), none);
    for (const char *lamp : {"Shape1", "Shape2", "Shape3", "Shape4", "Shape5"})
        row(lamp, "QWidget", QString(), none);
    row("Button11", "QPushButton", QStringLiteral("输出监测启动"), none);
    for (int n = 3; n <= 15; ++n)
        QTest::newRow(qPrintable(QStringLiteral("SpinEdit%1").arg(n)))
            << QStringLiteral("SpinEdit%1").arg(n) << QStringLiteral("TSpinEdit") << QStringLiteral("0") << none;
    row("BitBtn1", "QPushButton", QStringLiteral("设定电压"), none);
    row("Button1", "QPushButton", QStringLiteral("过压设定"), none);
    row("BitBtn2", "QPushButton", QStringLiteral("电流设定"), none);
    row("Button2", "QPushButton", QStringLiteral("过流设定"), none);
    row("Button3", "QPushButton", QStringLiteral("功率设置"), none);
    row("Edit1", "QLineEdit", QString(), none);
    row("Button5", "QPushButton", QStringLiteral("读输出功率"), none);
    row("BitBtn7", "QPushButton", QStringLiteral("功率控制启动"), none);
    row("StaticText2", "QLabel", QStringLiteral("新地址"), none);
    row("BitBtn3", "QPushButton", QStringLiteral("通讯地址设定"), none);
    row("StaticText1", "QLabel", QStringLiteral("仪表地址"), none);
    row("BitBtn4", "QPushButton", QStringLiteral("输出启动"), none);
    row("BitBtn5", "QPushButton", QStringLiteral("按键锁定"), none);
    row("BitBtn8", "QPushButton", QStringLiteral("PID停止"), none);
    row("BitBtn9", "QPushButton", QStringLiteral("PID启动"), none);
    row("BitBtn6", "QPushButton", QStringLiteral("返 回"), none);
}

void MonitorPanelTest::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(QColor, colour);

    auto *widget = POWER_TEST->findChild<QWidget *>(name);
    QVERIFY2(widget, qPrintable(name));
    QVERIFY2(widget->inherits(kind.toLatin1().constData()), widget->metaObject()->className());
    QCOMPARE(widgetText(widget), text);
    if (kind == QLatin1String("TSpinEdit")) {
        auto *digit = static_cast<TSpinEdit *>(widget);
        QCOMPARE(digit->MinValue(), 0);
        QCOMPARE(digit->MaxValue(), 9);
    }
    if (colour.isValid()) {
        const QColor shown = widget->palette().color(QPalette::WindowText);
        if (colour == QColor(Qt::blue)) {
            // A blue light enough to read on black.
            QVERIFY2(shown.blue() == 255 && shown.red() < 0x60 && shown.green() < 0x90,
                     qPrintable(shown.name()));
        } else {
            QCOMPARE(shown, colour);
        }
    }
}

void MonitorPanelTest::layoutReadsWell()
{
    POWER_TEST->show();
    QVERIFY(QTest::qWaitForWindowExposed(POWER_TEST));
    QCOMPARE(POWER_TEST->minimumSize(), POWER_TEST->maximumSize());
    QCOMPARE(POWER_TEST->Image2->size(), QSize(260, 95));
    QCOMPARE(POWER_TEST->Image2->pixmap().toImage().pixelColor(130, 47), QColor(Qt::black));

    // Readouts lie on the backdrop; lamps are round and lime at start.
    for (QLabel *readout : {POWER_TEST->StaticText5, POWER_TEST->StaticText6, POWER_TEST->StaticText7,
                            POWER_TEST->StaticText8, POWER_TEST->StaticText9}) {
        const QRect onBackdrop(readout->mapTo(POWER_TEST->Image2, QPoint(0, 0)), readout->size());
        QVERIFY2(POWER_TEST->Image2->rect().contains(onBackdrop), qPrintable(readout->objectName()));
    }
    QVERIFY(POWER_TEST->StaticText5->font().pixelSize() > POWER_TEST->StaticText7->font().pixelSize());
    for (TMonitorLamp *lamp : {POWER_TEST->Shape1, POWER_TEST->Shape2, POWER_TEST->Shape3,
                               POWER_TEST->Shape4, POWER_TEST->Shape5}) {
        QCOMPARE(lamp->width(), lamp->height());
        QCOMPARE(lamp->BrushColor(), kLime);
    }
    QCOMPARE(POWER_TEST->SpinEdit1->MinValue(), 0);
    QCOMPARE(POWER_TEST->SpinEdit1->MaxValue(), 0);
    QVERIFY(POWER_TEST->SpinEdit1->Unlimited());
    QVERIFY(POWER_TEST->SpinEdit2->Unlimited());
    // A new panel works on address 1, the first a supply can have; the new
    // address starts at 0.
    {
        const TPOWER_TEST fresh;
        QCOMPARE(fresh.SpinEdit1->Value(), 1);
        QCOMPARE(fresh.SpinEdit2->Value(), 0);
    }

    // No two controls overlap and each is wholly inside the window.
    QList<QWidget *> controls;
    for (QWidget *widget : POWER_TEST->findChildren<QWidget *>()) {
        const QString name = widget->objectName();
        if (widget->isVisible() && !widget->inherits("QGroupBox")
            && (name.startsWith(QLatin1String("StaticText")) || name.startsWith(QLatin1String("Button"))
                || name.startsWith(QLatin1String("BitBtn")) || name.startsWith(QLatin1String("SpinEdit"))
                || name.startsWith(QLatin1String("Shape")) || name == QLatin1String("Edit1")
                || name == QLatin1String("Image2")))
            controls << widget;
    }
    // 45 of the design and the trend's two buttons beside the address.
    QCOMPARE(controls.size(), 47);
    auto area = [](QWidget *w) { return QRect(w->mapTo(POWER_TEST, QPoint(0, 0)), w->size()); };
    for (QWidget *a : controls) {
        QVERIFY2(POWER_TEST->rect().contains(area(a)), qPrintable(a->objectName()));
        for (QWidget *b : controls) {
            if (a == b || a->isAncestorOf(b) || b->isAncestorOf(a))
                continue;
            QVERIFY2(!area(a).intersects(area(b)),
                     qPrintable(a->objectName() + QLatin1String(" overlaps ") + b->objectName()));
        }
    }
    POWER_TEST->hide();
}

void MonitorPanelTest::titleOnShow()
{
    POWER_TEST->show();
    QCOMPARE(POWER_TEST->StaticText3->text(), QStringLiteral("可调电源监控界面"));
    POWER_TEST->hide();
    SelectModel(9);
    QCOMPARE(POWER_TEST->StaticText3->text(), QStringLiteral("可调电源监控界面"));
    POWER_TEST->show();
    QCOMPARE(POWER_TEST->StaticText3->text(), QStringLiteral("QELT60-15可调电源监控界面"));
    // A model chosen while the panel is open shows at the next show only.
    SelectModel(1);
    QCOMPARE(POWER_TEST->StaticText3->text(), QStringLiteral("QELT60-15可调电源监控界面"));
    POWER_TEST->BitBtn6->click();
    POWER_TEST->show();
    QCOMPARE(POWER_TEST->StaticText3->text(), QStringLiteral("QELT30-05可调电源监控界面"));
    POWER_TEST->hide();
}

void MonitorPanelTest::returnOnlyHides()
{
    POWER_TEST->Timer1->start();
    MonitorRunning = true;
    CommandPending = true;
    POWER_TEST->show();
    QVERIFY(POWER_TEST->isVisible());
    POWER_TEST->BitBtn6->click();
    QVERIFY(!POWER_TEST->isVisible());
    QVERIFY(POWER_TEST->Timer1->isActive());
    QVERIFY(MonitorRunning);
    QVERIFY(CommandPending);
    QVERIFY(m_sent.isEmpty());
}

void MonitorPanelTest::monitorSwitch()
{
    POWER_TEST->Button11->click();
    QVERIFY(MonitorRunning);
    QCOMPARE(POWER_TEST->Button11->text(), QStringLiteral("输出监测停止"));
    QVERIFY(m_sent.isEmpty()); // the first poll waits for the next tick
    QVERIFY(!POWER_TEST->Timer2->isActive());
    POWER_TEST->Button11->click();
    QVERIFY(!MonitorRunning);
    QCOMPARE(POWER_TEST->Button11->text(), QStringLiteral("输出监测启动"));
    POWER_TEST->Button11->click();
    QVERIFY(MonitorRunning);
    QVERIFY(m_sent.isEmpty());
}

void MonitorPanelTest::lampCycle()
{
    const std::array<TMonitorLamp *, 5> lamps = {POWER_TEST->Shape1, POWER_TEST->Shape2,
                                                  POWER_TEST->Shape3, POWER_TEST->Shape4,
                                                  POWER_TEST->Shape5};
    auto pattern = [&] {
        QString red;
        for (TMonitorLamp *lamp : lamps)
            red += lamp->BrushColor() == kRed ? QLatin1Char('R') : lamp->BrushColor() == kLime ? QLatin1Char('g') : QLatin1Char('?');
        return red;
    };
    // Lamps run while a command is pending too; no poll leaves then.
    CommandPending = true;
    MonitorRunning = true;
    const QStringList cycle = {QStringLiteral("Rgggg"), QStringLiteral("RRggg"), QStringLiteral("RRRgg"),
                               QStringLiteral("RRRRg"), QStringLiteral("RRRRR"), QStringLiteral("ggggg"),
                               QStringLiteral("Rgggg"), QStringLiteral("RRggg")};
    for (int tick = 0; tick < cycle.size(); ++tick) {
        POWER_TEST->Timer1Timer();
        QCOMPARE(pattern(), cycle.at(tick));
        QCOMPARE(int(LampStep), (tick + 1) % 6);
    }
    QVERIFY(m_sent.isEmpty());

    // Monitor off: the lamps stand still and resume where they stopped.
    MonitorRunning = false;
    POWER_TEST->Timer1Timer();
    POWER_TEST->Timer1Timer();
    QCOMPARE(pattern(), QStringLiteral("RRggg"));
    QCOMPARE(int(LampStep), 2);
    MonitorRunning = true;
    POWER_TEST->Timer1Timer();
    QCOMPARE(pattern(), QStringLiteral("RRRgg"));
    QCOMPARE(int(LampStep), 3);
}

void MonitorPanelTest::transitions_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("monitor");
    QTest::addColumn<QString>("event");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("held");

    auto row = [](const char *name, const char *from, bool monitor, const char *event,
                  const QStringList &sent, const char *to, const char *held) {
        QTest::newRow(name) << QString::fromLatin1(from) << monitor << QString::fromLatin1(event) << sent
                            << QString::fromLatin1(to) << QString::fromLatin1(held);
    };
    const QStringList none;
    row("Idle, Timer1, monitor on", "Idle", true, "Timer1", {"poll"}, "Polling", "");
    row("Idle, Timer1, monitor off", "Idle", false, "Timer1", none, "Idle", "");
    row("Idle, Timer2", "Idle", true, "Timer2", none, "Idle", "");
    row("Idle, submit G", "Idle", true, "G", {"G"}, "CommandSent", "");
    row("Polling, Timer2", "Polling", true, "Timer2", none, "Idle", "");
    row("Polling, submit G", "Polling", true, "G", none, "PollingHeld", "G");
    row("Polling, Timer1", "Polling", true, "Timer1", {"poll"}, "Polling", "");
    row("Polling held, Timer2", "PollingHeld", true, "Timer2", {"F"}, "CommandSent", "");
    row("Polling held, submit G", "PollingHeld", true, "G", none, "PollingHeld", "G");
    row("Polling held, Timer1", "PollingHeld", true, "Timer1", none, "PollingHeld", "F");
    row("Command sent, Timer2", "CommandSent", true, "Timer2", none, "Idle", "");
    row("Command sent, submit G", "CommandSent", true, "G", none, "Held", "G");
    row("Command sent, Timer1", "CommandSent", true, "Timer1", none, "CommandSent", "");
    row("Held, Timer2", "Held", true, "Timer2", {"F"}, "CommandSent", "");
    row("Held, submit G", "Held", true, "G", none, "Held", "G");
    row("Held, Timer1", "Held", true, "Timer1", none, "Held", "F");
}

void MonitorPanelTest::transitions()
{
    QFETCH(QString, from);
    QFETCH(bool, monitor);
    QFETCH(QString, event);
    QFETCH(QStringList, sent);
    QFETCH(QString, to);
    QFETCH(QString, held);

    // Reach the starting state by the panel's own operations.
    MonitorRunning = true;
    if (from == QLatin1String("Polling") || from == QLatin1String("PollingHeld"))
        POWER_TEST->Timer1Timer();
    if (from == QLatin1String("PollingHeld"))
        POWER_TEST->SubmitCommand(kCommandF);
    if (from == QLatin1String("CommandSent"))
        POWER_TEST->SubmitCommand(kCommandG);
    if (from == QLatin1String("Held")) {
        POWER_TEST->SubmitCommand(kCommandG);
        POWER_TEST->SubmitCommand(kCommandF);
    }
    QCOMPARE(schedulingState(), from);
    QCOMPARE(POWER_TEST->Timer2->isActive(), from != QLatin1String("Idle"));
    MonitorRunning = monitor;
    int setupBytes = 0;
    for (const QByteArray &frame : m_sent)
        setupBytes += frame.size();
    QCOMPARE(peerBytes(setupBytes).size(), setupBytes);
    m_sent.clear();

    if (event == QLatin1String("Timer1"))
        POWER_TEST->Timer1Timer();
    else if (event == QLatin1String("Timer2"))
        POWER_TEST->Timer2Timer();
    else
        POWER_TEST->SubmitCommand(frameNamed(event));

    QVector<QByteArray> expected;
    QByteArray onLine;
    for (const QString &name : sent) {
        expected << frameNamed(name);
        onLine += frameNamed(name);
    }
    QCOMPARE(m_sent, expected);
    if (!onLine.isEmpty())
        QCOMPARE(peerBytes(onLine.size()).toHex(' '), onLine.toHex(' '));
    QCOMPARE(schedulingState(), to);
    QCOMPARE(PendingFrame.toHex(' '), frameNamed(held).toHex(' '));
    QCOMPARE(POWER_TEST->Timer2->isActive(), to != QLatin1String("Idle"));
}

// Poll at 0 ms, command at 100 ms, Timer2 at 200 ms sends it, at 400 ms frees
// the line, and the poll at 500 ms goes out again.
void MonitorPanelTest::commandHeldBehindPoll()
{
    SelectModel(1);
    setDigits({POWER_TEST->SpinEdit3, POWER_TEST->SpinEdit4, POWER_TEST->SpinEdit5, POWER_TEST->SpinEdit6},
              QStringLiteral("1234"));
    MonitorRunning = true;
    POWER_TEST->Timer1Timer();
    POWER_TEST->BitBtn1->click();
    QCOMPARE(m_sent, QVector<QByteArray>{kPoll1});
    POWER_TEST->Timer2Timer();
    QCOMPARE(m_sent, (QVector<QByteArray>{kPoll1, kVoltage1234}));
    QVERIFY(CommandPending);
    POWER_TEST->Timer2Timer();
    QVERIFY(!CommandPending);
    QVERIFY(!POWER_TEST->Timer2->isActive());
    POWER_TEST->Timer1Timer();
    QCOMPARE(m_sent, (QVector<QByteArray>{kPoll1, kVoltage1234, kPoll1}));
    QCOMPARE(peerBytes(27).toHex(' '), (kPoll1 + kVoltage1234 + kPoll1).toHex(' '));
}

// Output switch then key lock within one poll window: only the key-lock frame
// leaves, yet both toggles have flipped.
void MonitorPanelTest::twoCommandsInOnePollWindow()
{
    MonitorRunning = true;
    POWER_TEST->Timer1Timer();
    POWER_TEST->BitBtn4->click();
    POWER_TEST->BitBtn5->click();
    QCOMPARE(m_sent, QVector<QByteArray>{kPoll1});
    QVERIFY(OutputOn);
    QVERIFY(KeysLocked);
    QCOMPARE(POWER_TEST->BitBtn4->text(), QStringLiteral("电源停止"));
    QCOMPARE(POWER_TEST->BitBtn5->text(), QStringLiteral("按键解锁"));
    POWER_TEST->Timer1Timer(); // a command is pending: lamps only
    QCOMPARE(m_sent, QVector<QByteArray>{kPoll1});
    POWER_TEST->Timer2Timer();
    POWER_TEST->Timer2Timer();
    QCOMPARE(m_sent, (QVector<QByteArray>{kPoll1, kKeysLock}));
    QCOMPARE(schedulingState(), QStringLiteral("Idle"));
    QCOMPARE(peerBytes(19).toHex(' '), (kPoll1 + kKeysLock).toHex(' '));
}

void MonitorPanelTest::monitorOffCommandAtOnce()
{
    POWER_TEST->BitBtn4->click();
    QCOMPARE(m_sent, QVector<QByteArray>{kOutputOn});
    QCOMPARE(peerBytes(11).toHex(' '), kOutputOn.toHex(' '));
    QVERIFY(CommandPending);
    QVERIFY(POWER_TEST->Timer2->isActive());
    POWER_TEST->Timer1Timer();
    QCOMPARE(m_sent.size(), 1);
    POWER_TEST->Timer2Timer();
    QVERIFY(!CommandPending);
    QVERIFY(!POWER_TEST->Timer2->isActive());
    QCOMPARE(m_sent.size(), 1);
}

// A second enable of a running Timer2 (another poll, a held command) must not
// push its next tick back.
void MonitorPanelTest::enablingTimer2KeepsItsPhase()
{
    MonitorRunning = true;
    POWER_TEST->Timer1Timer();
    QVERIFY(POWER_TEST->Timer2->isActive());
    QElapsedTimer clock;
    clock.start();
    while (POWER_TEST->Timer2->remainingTime() > 150 && clock.elapsed() < 5000)
        QThread::usleep(500);
    QVERIFY(POWER_TEST->Timer2->remainingTime() <= 150);
    POWER_TEST->Timer1Timer();
    QCOMPARE(m_sent.size(), 2);
    QVERIFY(POWER_TEST->Timer2->remainingTime() <= 150);
    POWER_TEST->SubmitCommand(kCommandF);
    QVERIFY(POWER_TEST->Timer2->remainingTime() <= 150);
    QCOMPARE(m_sent.size(), 2);
}

void MonitorPanelTest::pollAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("poll");
    QTest::newRow("1") << QStringLiteral("1") << kPoll1;
    QTest::newRow("7") << QStringLiteral("7") << kPollAt7;
    QTest::newRow("300 -> 0x2C") << QStringLiteral("300") << kPollAt2C;
    QTest::newRow("256 -> 0x00") << QStringLiteral("256") << hex("00 03 10 00 00 05 80 D8");
    QTest::newRow("not a number -> 0") << QStringLiteral("x") << hex("00 03 10 00 00 05 80 D8");
}

void MonitorPanelTest::pollAddress()
{
    QFETCH(QString, address);
    QFETCH(QByteArray, poll);
    MonitorRunning = true;
    POWER_TEST->Timer1Timer();
    POWER_TEST->Timer2Timer();
    // The address is read at each poll.
    POWER_TEST->SpinEdit1->findChild<QLineEdit *>()->setText(address);
    POWER_TEST->Timer1Timer();
    QCOMPARE(m_sent, (QVector<QByteArray>{kPoll1, poll}));
    QCOMPARE(peerBytes(16).toHex(' '), (kPoll1 + poll).toHex(' '));
}

void MonitorPanelTest::powerReadBypassesScheduling()
{
    POWER_TEST->StaticText4->setText(QStringLiteral("数据设定OK!"));
    MonitorRunning = true;
    POWER_TEST->Timer1Timer();
    POWER_TEST->Button5->click();
    QCOMPARE(m_sent, (QVector<QByteArray>{kPoll1, kPowerRead1}));
    QVERIFY(PowerReadRequested);
    QCOMPARE(schedulingState(), QStringLiteral("Polling"));
    // With a command held the read still goes at once and the slot keeps its frame.
    POWER_TEST->SubmitCommand(kCommandF);
    POWER_TEST->Button5->click();
    QCOMPARE(m_sent.size(), 3);
    QCOMPARE(m_sent.last(), kPowerRead1);
    QCOMPARE(PendingFrame, kCommandF);
    QCOMPARE(POWER_TEST->StaticText4->text(), QStringLiteral("数据设定OK!"));
    QCOMPARE(peerBytes(24).toHex(' '), (kPoll1 + kPowerRead1 + kPowerRead1).toHex(' '));
}

void MonitorPanelTest::commandFrames_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("newAddress");
    QTest::addColumn<QString>("digits");
    QTest::addColumn<QByteArray>("frame");

    auto row = [](const char *name, const char *button, int model, int address, int newAddress,
                  const char *digits, const char *frame) {
        QTest::newRow(name) << QString::fromLatin1(button) << model << address << newAddress
                            << QString::fromLatin1(digits) << hex(frame);
    };
    // Model 1 is QELT30-05: VoltageLimit 3100, CurrentLimit 5100. Model 0: none chosen.
    row("voltage 1234", "BitBtn1", 1, 1, 0, "1234", "01 10 10 00 00 01 02 04 D2 35 0C");
    row("voltage 9999 capped", "BitBtn1", 1, 1, 0, "9999", "01 10 10 00 00 01 02 0C 1C B3 58");
    row("voltage 3100 at cap", "BitBtn1", 1, 1, 0, "3100", "01 10 10 00 00 01 02 0C 1C B3 58");
    row("voltage, no model", "BitBtn1", 0, 1, 0, "9999", "01 10 10 00 00 01 02 00 00 B7 91");
    row("voltage to 300 -> 0x2C", "BitBtn1", 1, 300, 0, "1234", "2C 10 10 00 00 01 02 04 D2 F4 5D");
    row("voltage to 256 -> 0x00", "BitBtn1", 1, 256, 0, "1234", "00 10 10 00 00 01 02 04 D2 38 9C");
    row("current 9999 capped", "BitBtn2", 1, 1, 0, "9999", "01 10 10 01 00 01 02 13 EC BA FD");
    row("current 5100 at cap", "BitBtn2", 1, 1, 0, "5100", "01 10 10 01 00 01 02 13 EC BA FD");
    row("current 0000", "BitBtn2", 1, 1, 0, "0000", "01 10 10 01 00 01 02 00 00 B6 40");
    row("current, no model", "BitBtn2", 0, 1, 0, "1234", "01 10 10 01 00 01 02 00 00 B6 40");
    row("over-voltage uncapped", "Button1", 1, 1, 0, "9999", "01 10 10 0A 00 01 02 27 0F EC CF");
    row("over-voltage, no model", "Button1", 0, 1, 0, "9999", "01 10 10 0A 00 01 02 27 0F EC CF");
    row("over-current uncapped", "Button2", 1, 1, 0, "9999", "01 10 10 0B 00 01 02 27 0F ED 1E");
    row("address 5", "BitBtn3", 1, 1, 5, "", "01 10 10 05 00 01 02 00 05 77 C7");
    row("address 260 -> 4", "BitBtn3", 1, 1, 260, "", "01 10 10 05 00 01 02 00 04 B6 07");
    row("output on", "BitBtn4", 0, 1, 0, "", "01 10 10 04 00 01 02 00 01 77 D5");
    row("output on at 7", "BitBtn4", 0, 7, 0, "", "07 10 10 04 00 01 02 00 01 5C 75");
    row("keys lock", "BitBtn5", 0, 1, 0, "", "01 10 10 06 00 01 02 00 01 76 37");
    row("power 70000 capped", "Button3", 0, 1, 0, "70000", "01 10 10 07 00 01 02 FD E8 F6 F8");
    row("power 65000", "Button3", 0, 1, 0, "65000", "01 10 10 07 00 01 02 FD E8 F6 F8");
    row("power 01234", "Button3", 0, 1, 0, "01234", "01 10 10 07 00 01 02 04 D2 34 BB");
    row("power control on", "BitBtn7", 0, 1, 0, "", "01 10 10 0A 00 01 02 00 01 76 FB");
    row("PID stop writes 1", "BitBtn8", 0, 1, 0, "", "01 10 10 08 00 01 02 00 01 77 19");
    row("PID start writes 0", "BitBtn9", 0, 1, 0, "", "01 10 10 08 00 01 02 00 00 B6 D9");
}

void MonitorPanelTest::commandFrames()
{
    QFETCH(QString, button);
    QFETCH(int, model);
    QFETCH(int, address);
    QFETCH(int, newAddress);
    QFETCH(QString, digits);
    QFETCH(QByteArray, frame);

    if (model > 0)
        SelectModel(model);
    POWER_TEST->SpinEdit1->SetValue(address);
    POWER_TEST->SpinEdit2->SetValue(newAddress);
    if (button == QLatin1String("BitBtn1") || button == QLatin1String("Button1"))
        setDigits({POWER_TEST->SpinEdit3, POWER_TEST->SpinEdit4, POWER_TEST->SpinEdit5, POWER_TEST->SpinEdit6},
                  digits);
    if (button == QLatin1String("BitBtn2") || button == QLatin1String("Button2"))
        setDigits({POWER_TEST->SpinEdit7, POWER_TEST->SpinEdit8, POWER_TEST->SpinEdit9,
                   POWER_TEST->SpinEdit10},
                  digits);
    if (button == QLatin1String("Button3"))
        setDigits({POWER_TEST->SpinEdit11, POWER_TEST->SpinEdit12, POWER_TEST->SpinEdit13,
                   POWER_TEST->SpinEdit14, POWER_TEST->SpinEdit15},
                  digits);
    POWER_TEST->StaticText4->setText(QStringLiteral("数据设定OK!"));

    auto *pushButton = POWER_TEST->findChild<QPushButton *>(button);
    QVERIFY(pushButton);
    pushButton->click();

    QCOMPARE(m_sent.size(), 1);
    QCOMPARE(m_sent.first().toHex(' '), frame.toHex(' '));
    QCOMPARE(peerBytes(frame.size()).toHex(' '), frame.toHex(' '));
    QCOMPARE(POWER_TEST->StaticText4->text(), QString());
    QCOMPARE(int(PanelAddress), address);
    QCOMPARE(schedulingState(), QStringLiteral("CommandSent"));
    QCOMPARE(POWER_TEST->SpinEdit1->Value(), address);
}

void MonitorPanelTest::togglesAlternate_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("onCaption");
    QTest::addColumn<QString>("offCaption");
    QTest::addColumn<QByteArray>("onFrame");
    QTest::addColumn<QByteArray>("offFrame");
    QTest::newRow("output") << QStringLiteral("BitBtn4") << QStringLiteral("电源停止")
                            << QStringLiteral("电源启动") << kOutputOn << kOutputOff;
    QTest::newRow("key lock") << QStringLiteral("BitBtn5") << QStringLiteral("按键解锁")
                              << QStringLiteral("按键锁定") << kKeysLock << kKeysUnlock;
    QTest::newRow("power control") << QStringLiteral("BitBtn7") << QStringLiteral("功率控制停止")
                                   << QStringLiteral("功率控制启动") << kPowerControlOn << kPowerControlOff;
}

void MonitorPanelTest::togglesAlternate()
{
    QFETCH(QString, button);
    QFETCH(QString, onCaption);
    QFETCH(QString, offCaption);
    QFETCH(QByteArray, onFrame);
    QFETCH(QByteArray, offFrame);

    auto *toggle = POWER_TEST->findChild<QPushButton *>(button);
    QVERIFY(toggle);
    const QVector<QByteArray> frames = {onFrame, offFrame, onFrame};
    const QStringList captions = {onCaption, offCaption, onCaption};
    for (int click = 0; click < 3; ++click) {
        toggle->click();
        QCOMPARE(toggle->text(), captions.at(click));
        QCOMPARE(m_sent.last().toHex(' '), frames.at(click).toHex(' '));
        POWER_TEST->Timer2Timer();
    }
    QCOMPARE(m_sent.size(), 3);
    QCOMPARE(peerBytes(33).toHex(' '), (onFrame + offFrame + onFrame).toHex(' '));
}

// Monitor on against an instrument that answers: readouts fill within about a
// second, with the panel hidden, and a command is acknowledged on the status line.
void MonitorPanelTest::liveMonitor()
{
    SelectModel(1);
    POWER_TEST->SpinEdit1->SetValue(1);
    m_peer->setResponder([](const QByteArray &request) -> QByteArray {
        if (request == kPoll1)
            return statusReply(1);
        if (request.size() == 11 && request.at(1) == 0x10)
            return withCrc(request.left(6));
        return QByteArray();
    });
    m_peer->startRecording(3);
    POWER_TEST->Timer1->start();
    QVERIFY(!POWER_TEST->isVisible());

    POWER_TEST->Button11->click();
    QTRY_COMPARE_WITH_TIMEOUT(POWER_TEST->StaticText9->text(), QStringLiteral("ON"), 10000);
    const QString point = QLocale().decimalPoint();
    QCOMPARE(POWER_TEST->StaticText7->text(), QStringLiteral("12") + point + QStringLiteral("34"));
    QCOMPARE(POWER_TEST->StaticText8->text(), QStringLiteral("2") + point + QStringLiteral("500"));
    QCOMPARE(POWER_TEST->StaticText5->text(), QStringLiteral("00") + point + QStringLiteral("56"));
    QCOMPARE(POWER_TEST->StaticText6->text(), QStringLiteral("0") + point + QStringLiteral("005"));

    setDigits({POWER_TEST->SpinEdit3, POWER_TEST->SpinEdit4, POWER_TEST->SpinEdit5, POWER_TEST->SpinEdit6},
              QStringLiteral("1234"));
    POWER_TEST->BitBtn1->click();
    QTRY_COMPARE_WITH_TIMEOUT(POWER_TEST->StaticText4->text(), QStringLiteral("数据设定OK!"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(m_sent.count(kPoll1) >= 3, 10000);
    POWER_TEST->Button11->click();
    QVERIFY(!MonitorRunning);

    // Polls keep the 500 ms rhythm; the command went out between them. The
    // peer records a frame only once the line has been quiet behind it.
    QVector<qint64> pollTimes;
    bool commandSeen = false;
    const auto readRecord = [&] {
        pollTimes.clear();
        commandSeen = false;
        for (const PtyPeer::Frame &frame : m_peer->frames()) {
            if (frame.bytes == kPoll1)
                pollTimes << frame.atMs;
            commandSeen = commandSeen || frame.bytes == kVoltage1234;
        }
        return commandSeen && pollTimes.size() >= 3;
    };
    QTRY_VERIFY_WITH_TIMEOUT(readRecord(), 10000);
    for (int n = 1; n < pollTimes.size(); ++n)
        QVERIFY2(pollTimes[n] - pollTimes[n - 1] >= 300, qPrintable(QString::number(pollTimes[n] - pollTimes[n - 1])));
    m_peer->setResponder({});
}

QTEST_MAIN(MonitorPanelTest)
#include "tst_monitorpanel.moc"
