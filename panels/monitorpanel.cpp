#include "panels/monitorpanel.h"
#include "panels/monitorpanelstyle.h"

#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/replies.h"
#include "link/replydispatcher.h"
#include "link/serialchannel.h"
#include "link/statusfeed.h"
#include "panels/trend.h"
#include "widgets/errorreport.h"
#include "widgets/placement.h"
#include "widgets/spinedit.h"
#include "widgets/uistyle.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <iterator>

bool MonitorRunning = false;
quint8 LampStep = 0;
qint16 PanelAddress = 0;
bool PollActive = false;
bool CommandPending = false;
QByteArray PendingFrame;
bool OutputOn = false;
bool KeysLocked = false;
bool PowerControlOn = false;

using namespace MonitorStyle;

namespace {

constexpr int kPollIntervalMs = 500;
constexpr int kReleaseIntervalMs = 200;
// While the polls are lent, the lamps still step about every half second.
constexpr int kLampStepMs = kPollIntervalMs - 20;
constexpr quint16 kStatusRegisterCount = 5;

// A "0"-digit picture: integerDigits zeros before the point, decimals after
// it. Every digit of the picture is always shown, the integer part grows when
// the value needs more digits, the value is rounded to the picture's decimals
// and the point is the operator's regional separator.
QString formatPicture(double value, int integerDigits, int decimals)
{
    QString text = QString::number(value, 'f', decimals);
    const qsizetype point = decimals > 0 ? text.indexOf(QLatin1Char('.')) : text.size();
    if (point < integerDigits)
        text.prepend(QString(integerDigits - point, QLatin1Char('0')));
    if (decimals > 0)
        text.replace(text.indexOf(QLatin1Char('.')), 1, QLocale().decimalPoint());
    return text;
}

// A readout has four digits; before a model is chosen it keeps what it shows
// (its design caption or the last reading).
void showReading(QLabel *readout, double units, const Resolution &resolution)
{
    if (resolution.scaled())
        readout->setText(formatPicture(units, 4 - resolution.decimals, resolution.decimals));
}

int digitRowValue(std::initializer_list<const TSpinEdit *> row)
{
    QList<int> digits;
    for (const TSpinEdit *digit : row)
        digits.append(digit->Value());
    return RawFromDigits(digits);
}

// A raw value into a row of digit boxes, thousands first; one too large for
// the row shows the largest the row holds.
void setDigitRow(std::initializer_list<TSpinEdit *> row, quint16 raw)
{
    int value = raw;
    int largest = 1;
    for (std::size_t n = 0; n < row.size(); ++n)
        largest *= 10;
    value = std::min(value, largest - 1);
    for (auto digit = std::rbegin(row); digit != std::rend(row); ++digit) {
        (*digit)->SetValue(value % 10);
        value /= 10;
    }
}

} // namespace

TPOWER_TEST::TPOWER_TEST(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("POWER_TEST"));
    setWindowTitle(tr("电源测试"));
    setFont(PanelFont());
    buildControls();
    PlaceWindow(this, QPoint(843, 64));

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setInterval(kPollIntervalMs);
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setTimerType(Qt::PreciseTimer);
    Timer2->setInterval(kReleaseIntervalMs);

    Trend = new TTREND(this);

    connectHandlers();
    // The poll timer runs from creation to exit, visible or not; it only acts
    // while the monitor is switched on.
    Timer1->start();
}

void TPOWER_TEST::connectHandlers()
{
    ConnectHandler(Timer1, &QTimer::timeout, this, &TPOWER_TEST::Timer1Timer);
    ConnectHandler(Timer2, &QTimer::timeout, this, &TPOWER_TEST::Timer2Timer);
    ConnectHandler(TheStatusFeed(), &StatusFeed::lineFree, this, &TPOWER_TEST::pollOnFreeLine);
    ConnectHandler(BitBtn6, &QPushButton::clicked, this, &TPOWER_TEST::BitBtn6Click);
    ConnectHandler(Button11, &QPushButton::clicked, this, &TPOWER_TEST::Button11Click);
    ConnectHandler(BitBtn1, &QPushButton::clicked, this, &TPOWER_TEST::BitBtn1Click);
    ConnectHandler(BitBtn2, &QPushButton::clicked, this, &TPOWER_TEST::BitBtn2Click);
    ConnectHandler(Button1, &QPushButton::clicked, this, &TPOWER_TEST::Button1Click);
    ConnectHandler(Button2, &QPushButton::clicked, this, &TPOWER_TEST::Button2Click);
    ConnectHandler(BitBtn3, &QPushButton::clicked, this, &TPOWER_TEST::BitBtn3Click);
    ConnectHandler(BitBtn4, &QPushButton::clicked, this, &TPOWER_TEST::BitBtn4Click);
    ConnectHandler(BitBtn5, &QPushButton::clicked, this, &TPOWER_TEST::BitBtn5Click);
    ConnectHandler(Button3, &QPushButton::clicked, this, &TPOWER_TEST::Button3Click);
    ConnectHandler(Button5, &QPushButton::clicked, this, &TPOWER_TEST::Button5Click);
    ConnectHandler(BitBtn7, &QPushButton::clicked, this, &TPOWER_TEST::BitBtn7Click);
    ConnectHandler(BitBtn8, &QPushButton::clicked, this, &TPOWER_TEST::BitBtn8Click);
    ConnectHandler(BitBtn9, &QPushButton::clicked, this, &TPOWER_TEST::BitBtn9Click);
    ConnectHandler(Button12, &QPushButton::clicked, this, &TPOWER_TEST::Button12Click);
    ConnectHandler(Button13, &QPushButton::clicked, this, &TPOWER_TEST::Button13Click);
    // The readouts show every status reading, whether the panel is visible or not.
    connect(TheStatusFeed(), &StatusFeed::statusRead, this, &TPOWER_TEST::ShowStatus);
    connect(Trend, &TTREND::recordingChanged, this, [this](bool recording) {
        Button13->setText(recording ? tr("停止记录") : tr("记录"));
    });
}

void TPOWER_TEST::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Restoring a minimised window is not a new show.
    if (!event->spontaneous())
        RunHandler([this] { FormShow(); });
}

void TPOWER_TEST::FormShow()
{
    StaticText3->setText(monitorCaption(ModelName));
}

void TPOWER_TEST::BitBtn6Click()
{
    hide();
}

void TPOWER_TEST::ShowSettingAccepted()
{
    StaticText4->setText(tr("数据设定OK!"));
}

void TPOWER_TEST::ShowStatus(const Reading &status)
{
    m_lentReplyAwaited = false;
    // Lent, the polls go round several supplies: the panel shows its own.
    if (PollsLent() && status.address != quint8(SpinEdit1->Value() & 0xFF))
        return;
    m_replyOutstanding = false;
    // A reply taken in as the link went stays grey: nothing newer can come.
    if (m_linkDown.isEmpty())
        markNoReply(false);
    const ReadingModel &model = status.model;
    showReading(StaticText7, status.voltageSetpoint, model.volt);
    showReading(StaticText8, status.currentSetpoint, model.amp);
    showReading(StaticText5, status.volts, model.volt);
    showReading(StaticText6, status.amps, model.amp);
    StaticText9->setText(status.outputOn ? QStringLiteral("ON") : QStringLiteral("OFF"));
}

void TPOWER_TEST::ShowPower(double watts)
{
    Edit1->setText(formatPicture(watts, 3, 2));
}

void TPOWER_TEST::Button11Click()
{
    if (MonitorRunning) {
        MonitorRunning = false;
        Button11->setText(tr("输出监测启动"));
    } else {
        MonitorRunning = true;
        Button11->setText(tr("输出监测停止"));
    }
}

// QTimer::start() restarts a running timer; an enabled Timer2 must keep its phase.
void TPOWER_TEST::enableTimer2()
{
    if (!Timer2->isActive())
        Timer2->start();
}

void TPOWER_TEST::Timer1Timer()
{
    const bool lent = PollsLent();
    if (!MonitorRunning && !lent)
        return;
    // Nothing can go out until the link is back.
    if (!m_linkDown.isEmpty())
        return;

    if (MonitorRunning && (!lent || !m_sinceLampStep.isValid() || m_sinceLampStep.hasExpired(kLampStepMs)))
        stepLamps();

    if (CommandPending || lentReplyDue())
        return;

    int address;
    if (lent) {
        address = m_lentTo();
        if (address <= 0)
            return;
    } else {
        PanelAddress = qint16(SpinEdit1->Value());
        address = PanelAddress;
    }
    SendFrame(BuildReadRequest(address, VoltageSetpoint, kStatusRegisterCount));
    m_sinceLastPoll.start();
    m_lentReplyAwaited = lent;
    PollActive = true;
    enableTimer2();
    notePanelPoll(quint8(address & 0xFF));
    // Readings are labelled with the address polled; the trend marks polls
    // that get no reading.
    TheStatusFeed()->NotePoll(quint8(address & 0xFF));
}

// Lent, a poll's reply is due from the poll until its reading has come, or
// for one and a half ticks of the rhythm when none comes (a silent supply
// then takes two ticks): the next poll waits for it, so that a late reply is
// not taken for the next supply's.
bool TPOWER_TEST::lentReplyDue() const
{
    return PollsLent() && m_lentReplyAwaited && m_sinceLastPoll.isValid()
           && !m_sinceLastPoll.hasExpired(Timer1->interval() * 3 / 2);
}

// Lent, a reply takes longer to receive than the rhythm's tick: the tick
// is overdue when the reception ends. The next poll then goes out at once,
// before the windows repaint what the reading changed, so that the round is
// the line's time and not the line's plus the painting's.
void TPOWER_TEST::pollOnFreeLine()
{
    if (!PollsLent() || m_lentReplyAwaited || !m_sinceLastPoll.isValid()
        || !m_sinceLastPoll.hasExpired(Timer1->interval()))
        return;
    Timer1Timer();
}

void TPOWER_TEST::stepLamps()
{
    m_sinceLampStep.start();
    ++LampStep;
    const auto all = lamps();
    if (LampStep > 5) {
        LampStep = 0;
        for (TMonitorLamp *lamp : all)
            lamp->SetBrushColor(Lime);
    } else {
        all[LampStep - 1]->SetBrushColor(Red);
    }
}

// A poll of the panel's address that finds the one before it unanswered
// greys the readouts.
void TPOWER_TEST::notePanelPoll(int address)
{
    if (PollsLent() && address != quint8(SpinEdit1->Value() & 0xFF))
        return;
    if (m_replyOutstanding)
        markNoReply(true);
    m_replyOutstanding = true;
}

void TPOWER_TEST::markNoReply(bool silent, const QString &cause)
{
    const QString tip = !silent ? QString()
                        : cause.isEmpty() ? tr("上次查询无应答：显示的是最后收到的读数")
                                          : cause;
    if (Image2->property("noReply").toBool() == silent && Image2->toolTip() == tip)
        return;
    Image2->setProperty("noReply", silent);
    const QList<QPair<QLabel *, QColor>> readouts{{StaticText5, Lime},
                                                 {StaticText6, Red},
                                                 {StaticText7, ReadoutBlue},
                                                 {StaticText8, ReadoutBlue},
                                                 {StaticText9, Red}};
    for (const auto &[label, colour] : readouts) {
        SetTextColour(label, silent ? NoReplyGrey : colour);
        label->setToolTip(tip);
    }
    Image2->setToolTip(tip);
}

void TPOWER_TEST::ShowSupply(int address, const Reading *last)
{
    SpinEdit1->SetValue(address);
    StaticText3->setText(monitorCaption(ModelName));
    setDigitRow({SpinEdit3, SpinEdit4, SpinEdit5, SpinEdit6}, last ? last->counts.voltageSetpoint : 0);
    setDigitRow({SpinEdit7, SpinEdit8, SpinEdit9, SpinEdit10}, last ? last->counts.currentSetpoint : 0);
}

void TPOWER_TEST::ShowLinkInterrupted(const QString &reason)
{
    m_linkDown = reason;
    m_replyOutstanding = false;
    m_lentReplyAwaited = false;
    markNoReply(true, tr("通讯中断：显示的是最后收到的读数。\n%1").arg(reason));
}

void TPOWER_TEST::ShowLinkRestored()
{
    m_linkDown.clear();
}

void TPOWER_TEST::LendPolls(const std::function<int()> &nextAddress, int intervalMs)
{
    m_lentTo = nextAddress;
    m_lentReplyAwaited = false;
    m_replyOutstanding = false;
    Timer1->setInterval(intervalMs);
}

void TPOWER_TEST::ReturnPolls()
{
    if (!PollsLent())
        return;
    m_lentTo = {};
    m_lentReplyAwaited = false;
    m_replyOutstanding = false;
    Timer1->setInterval(kPollIntervalMs);
}

void TPOWER_TEST::Timer2Timer()
{
    // Lent, the polls come faster than Timer2: a tick while a poll's reply
    // may still be on its way leaves everything for the next tick, so that no
    // command goes out on top of that reply.
    if (lentReplyDue())
        return;
    PollActive = false;
    if (!PendingFrame.isEmpty()) {
        SendFrame(PendingFrame);
        PendingFrame.clear();
        return;
    }
    Timer2->stop();
    CommandPending = false;
}

void TPOWER_TEST::SubmitCommand(const QByteArray &frame)
{
    if (PollActive || CommandPending) {
        PendingFrame = frame;
        CommandPending = true;
        return;
    }
    CommandPending = true;
    enableTimer2();
    SendFrame(frame);
}

// The pattern every command follows: clear the status line, take the
// instrument address, form the value, write it to one register.
void TPOWER_TEST::issueCommand(quint16 reg, const std::function<quint16()> &formValue)
{
    StaticText4->clear();
    PanelAddress = qint16(SpinEdit1->Value());
    const quint16 value = formValue();
    SubmitCommand(BuildWriteSingle(PanelAddress, reg, value));
}

// Flips a toggle; the caption names what the next click will do.
quint16 TPOWER_TEST::flipToggle(bool &flag, QPushButton *button, const QString &captionWhenOff,
                                const QString &captionWhenOn)
{
    if (flag) {
        flag = false;
        button->setText(captionWhenOff);
        return 0;
    }
    flag = true;
    button->setText(captionWhenOn);
    return 1;
}

void TPOWER_TEST::BitBtn1Click()
{
    issueCommand(VoltageSetpoint, [this] {
        return CapRaw(digitRowValue({SpinEdit3, SpinEdit4, SpinEdit5, SpinEdit6}), VoltageLimit);
    });
}

void TPOWER_TEST::BitBtn2Click()
{
    issueCommand(CurrentSetpoint, [this] {
        return CapRaw(digitRowValue({SpinEdit7, SpinEdit8, SpinEdit9, SpinEdit10}), CurrentLimit);
    });
}

// Protection limits are sent as typed, above the model's setpoint cap too.
void TPOWER_TEST::Button1Click()
{
    issueCommand(OverVoltageLimit, [this] {
        return quint16(digitRowValue({SpinEdit3, SpinEdit4, SpinEdit5, SpinEdit6}));
    });
}

void TPOWER_TEST::Button2Click()
{
    issueCommand(OverCurrentLimit, [this] {
        return quint16(digitRowValue({SpinEdit7, SpinEdit8, SpinEdit9, SpinEdit10}));
    });
}

void TPOWER_TEST::BitBtn3Click()
{
    issueCommand(BusAddress, [this] { return quint16(SpinEdit2->Value() & 0xFF); });
}

void TPOWER_TEST::BitBtn4Click()
{
    issueCommand(OutputSwitch, [this] {
        return flipToggle(OutputOn, BitBtn4, tr("电源启动"), tr("电源停止"));
    });
}

void TPOWER_TEST::BitBtn5Click()
{
    issueCommand(KeyLock, [this] {
        return flipToggle(KeysLocked, BitBtn5, tr("按键锁定"), tr("按键解锁"));
    });
}

void TPOWER_TEST::Button3Click()
{
    issueCommand(PowerSetpoint, [this] {
        return CapRaw(digitRowValue({SpinEdit11, SpinEdit12, SpinEdit13, SpinEdit14, SpinEdit15}),
                      PowerSetpointLimit);
    });
}

// The power read skips the scheduling: it goes out at once, even behind a poll.
void TPOWER_TEST::Button5Click()
{
    PanelAddress = qint16(SpinEdit1->Value());
    SendFrame(BuildReadRequest(PanelAddress, OutputPower, 1));
    PowerReadRequested = true;
}

// Power control shares its register with the over-voltage limit.
void TPOWER_TEST::BitBtn7Click()
{
    issueCommand(OverVoltageLimit, [this] {
        return flipToggle(PowerControlOn, BitBtn7, tr("功率控制启动"),
                          tr("功率控制停止"));
    });
}

// PID stop writes 1 to the power register, PID start writes 0.
void TPOWER_TEST::BitBtn8Click()
{
    issueCommand(OutputPower, [] { return quint16(1); });
}

void TPOWER_TEST::BitBtn9Click()
{
    issueCommand(OutputPower, [] { return quint16(0); });
}

void TPOWER_TEST::Button12Click()
{
    Trend->show();
    Trend->raise();
    Trend->activateWindow();
}

void TPOWER_TEST::Button13Click()
{
    Trend->RecordClick();
}
