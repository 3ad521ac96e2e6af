#include "panels/monitorpanel.h"

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

namespace {

constexpr int kPollIntervalMs = 500;
constexpr int kReleaseIntervalMs = 200;
// While the polls are lent, the lamps still step about every half second.
constexpr int kLampStepMs = kPollIntervalMs - 20;
constexpr quint16 kStatusRegisterCount = 5;

const QColor kLime(0x00, 0xFF, 0x00);
const QColor kRed(0xFF, 0x00, 0x00);
// A blue light enough to stay legible on the black backdrop.
const QColor kReadoutBlue(0x2E, 0x6B, 0xFF);
const QColor kTitleBlue(0x00, 0x00, 0x80);
const QSize kBackdropSize(260, 95);
// Readouts whose last poll got no reply keep their text, greyed.
const QColor kNoReplyGrey(0x70, 0x70, 0x70);

QFont readoutFont(int pixelSize, bool bold = true)
{
    QFont font;
    font.setFamilies({QStringLiteral("Consolas"), QStringLiteral("DejaVu Sans Mono"),
                      QStringLiteral("Noto Sans Mono"), QStringLiteral("Courier New")});
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

QFont panelFont()
{
    return DesignFont(QStringLiteral("宋体"), 13);
}

QLabel *makeLabel(QWidget *parent, const QString &name, const QString &text)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

QLabel *makeReadout(QWidget *backdrop, const QString &name, const QString &text, const QColor &colour,
                    const QRect &geometry, int pixelSize)
{
    auto *label = makeLabel(backdrop, name, text);
    label->setGeometry(geometry);
    label->setFont(readoutFont(pixelSize));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    SetTextColour(label, colour);
    return label;
}

QPushButton *makeButton(QWidget *parent, const QString &name, const QString &text, int minWidth = 110)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setMinimumWidth(minWidth);
    button->setAutoDefault(false);
    return button;
}

TSpinEdit *makeDigit(QWidget *parent, const QString &name)
{
    auto *digit = new TSpinEdit(parent);
    digit->setObjectName(name);
    digit->SetLimits(0, 9);
    digit->setAlignment(Qt::AlignCenter);
    digit->setFont(readoutFont(16));
    digit->setFixedWidth(44);
    return digit;
}

TSpinEdit *makeAddress(QWidget *parent, const QString &name)
{
    auto *address = new TSpinEdit(parent);
    address->setObjectName(name);
    address->SetLimits(0, 0);
    address->setFixedWidth(72);
    return address;
}

QLabel *makeUnit(QWidget *parent, const QString &name, const QString &unit)
{
    auto *label = makeLabel(parent, name, unit);
    label->setFont(readoutFont(16));
    label->setFixedWidth(18);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

QGroupBox *makeGroup(QWidget *parent, const QString &name, const QString &title)
{
    auto *group = new QGroupBox(title, parent);
    group->setObjectName(name);
    return group;
}

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

TMonitorLamp::TMonitorLamp(QWidget *parent)
    : QWidget(parent), m_colour(kLime)
{
    setFixedSize(22, 22);
}

void TMonitorLamp::SetBrushColor(const QColor &colour)
{
    if (colour == m_colour)
        return;
    m_colour = colour;
    update();
}

void TMonitorLamp::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(m_colour);
    painter.drawEllipse(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5));
}

TPOWER_TEST::TPOWER_TEST(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("POWER_TEST"));
    setWindowTitle(tr("电源测试"));
    setFont(panelFont());
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

void TPOWER_TEST::buildControls()
{
    StaticText3 = makeLabel(this, QStringLiteral("StaticText3"), monitorCaption(QStringLiteral("QELTXX-XX")));
    StaticText3->setFont(DesignFont(QStringLiteral("华文新魏"), 24, true));
    StaticText3->setAlignment(Qt::AlignCenter);
    SetTextColour(StaticText3, kTitleBlue);

    // Readouts: measured values large on the left, read-back setpoints and the
    // output state on the right, all on the black backdrop.
    auto *display = makeGroup(this, QStringLiteral("GroupDisplay"), tr("输出监测"));
    Image2 = makeLabel(display, QStringLiteral("Image2"), QString());
    QPixmap black(kBackdropSize);
    black.fill(Qt::black);
    Image2->setPixmap(black);
    Image2->setFixedSize(kBackdropSize);
    StaticText5 = makeReadout(Image2, QStringLiteral("StaticText5"), QStringLiteral("0.0V"), kLime,
                              QRect(4, 3, 156, 44), 38);
    StaticText6 = makeReadout(Image2, QStringLiteral("StaticText6"), QStringLiteral("0.0A"), kRed,
                              QRect(4, 48, 156, 44), 38);
    StaticText7 = makeReadout(Image2, QStringLiteral("StaticText7"), QStringLiteral("0.0V"), kReadoutBlue,
                              QRect(166, 4, 88, 26), 20);
    StaticText8 = makeReadout(Image2, QStringLiteral("StaticText8"), QStringLiteral("0.0A"), kReadoutBlue,
                              QRect(166, 34, 88, 26), 20);
    StaticText9 = makeReadout(Image2, QStringLiteral("StaticText9"), QStringLiteral("OFF"), kRed,
                              QRect(166, 64, 88, 26), 20);

    Shape1 = new TMonitorLamp(display);
    Shape2 = new TMonitorLamp(display);
    Shape3 = new TMonitorLamp(display);
    Shape4 = new TMonitorLamp(display);
    Shape5 = new TMonitorLamp(display);
    Button11 = makeButton(display, QStringLiteral("Button11"), tr("输出监测启动"), 110);
    auto *lampRow = new QHBoxLayout;
    lampRow->setSpacing(6);
    const auto all = lamps();
    for (int n = 0; n < int(all.size()); ++n) {
        all[n]->setObjectName(QStringLiteral("Shape%1").arg(n + 1));
        lampRow->addWidget(all[n]);
    }
    lampRow->addStretch();
    lampRow->addWidget(Button11);
    auto *displayLayout = new QVBoxLayout(display);
    displayLayout->addWidget(Image2, 0, Qt::AlignHCenter);
    displayLayout->addLayout(lampRow);

    // Instrument address, new address and the two switches.
    auto *link = makeGroup(this, QStringLiteral("GroupAddress"), tr("通讯与控制"));
    StaticText1 = makeLabel(link, QStringLiteral("StaticText1"), tr("仪表地址"));
    SpinEdit1 = makeAddress(link, QStringLiteral("SpinEdit1"));
    // The first address a supply can have: 0 is the broadcast that none answers.
    SpinEdit1->SetValue(1);
    StaticText2 = makeLabel(link, QStringLiteral("StaticText2"), tr("新地址"));
    SpinEdit2 = makeAddress(link, QStringLiteral("SpinEdit2"));
    BitBtn3 = makeButton(link, QStringLiteral("BitBtn3"), tr("通讯地址设定"));
    BitBtn4 = makeButton(link, QStringLiteral("BitBtn4"), tr("输出启动"));
    BitBtn5 = makeButton(link, QStringLiteral("BitBtn5"), tr("按键锁定"));
    // The trend and the recorder's switch take the free place beside the
    // instrument address: they are about that instrument's readings.
    Button12 = makeButton(link, QStringLiteral("Button12"), tr("曲线"), 0);
    Button13 = makeButton(link, QStringLiteral("Button13"), tr("记录"), 0);
    // The pair shares the width the column already has, so nothing moves.
    for (QPushButton *button : {Button12, Button13}) {
        button->setSizePolicy(QSizePolicy::Ignored, button->sizePolicy().verticalPolicy());
        button->setMinimumWidth(40);
    }
    auto *trendRow = new QHBoxLayout;
    trendRow->setSpacing(4);
    trendRow->addWidget(Button12);
    trendRow->addWidget(Button13);
    auto *linkLayout = new QGridLayout(link);
    linkLayout->addWidget(StaticText1, 0, 0);
    linkLayout->addWidget(SpinEdit1, 0, 1);
    linkLayout->addLayout(trendRow, 0, 2);
    linkLayout->addWidget(StaticText2, 1, 0);
    linkLayout->addWidget(SpinEdit2, 1, 1);
    linkLayout->addWidget(BitBtn3, 1, 2);
    linkLayout->addWidget(BitBtn4, 2, 0, 1, 2);
    linkLayout->addWidget(BitBtn5, 2, 2);
    linkLayout->setColumnStretch(2, 1);

    // Voltage and current digit rows with their setpoint and protection buttons.
    auto *setpoints = makeGroup(this, QStringLiteral("GroupSetpoints"), tr("电压电流设定"));
    SpinEdit3 = makeDigit(setpoints, QStringLiteral("SpinEdit3"));
    SpinEdit4 = makeDigit(setpoints, QStringLiteral("SpinEdit4"));
    SpinEdit5 = makeDigit(setpoints, QStringLiteral("SpinEdit5"));
    SpinEdit6 = makeDigit(setpoints, QStringLiteral("SpinEdit6"));
    BitBtn1 = makeButton(setpoints, QStringLiteral("BitBtn1"), tr("设定电压"));
    Button1 = makeButton(setpoints, QStringLiteral("Button1"), tr("过压设定"));
    SpinEdit7 = makeDigit(setpoints, QStringLiteral("SpinEdit7"));
    SpinEdit8 = makeDigit(setpoints, QStringLiteral("SpinEdit8"));
    SpinEdit9 = makeDigit(setpoints, QStringLiteral("SpinEdit9"));
    SpinEdit10 = makeDigit(setpoints, QStringLiteral("SpinEdit10"));
    BitBtn2 = makeButton(setpoints, QStringLiteral("BitBtn2"), tr("电流设定"));
    Button2 = makeButton(setpoints, QStringLiteral("Button2"), tr("过流设定"));
    auto *setpointLayout = new QGridLayout(setpoints);
    setpointLayout->setHorizontalSpacing(4);
    const QList<TSpinEdit *> voltageRow{SpinEdit3, SpinEdit4, SpinEdit5, SpinEdit6};
    const QList<TSpinEdit *> currentRow{SpinEdit7, SpinEdit8, SpinEdit9, SpinEdit10};
    for (int n = 0; n < 4; ++n) {
        setpointLayout->addWidget(voltageRow[n], 0, n);
        setpointLayout->addWidget(currentRow[n], 1, n);
    }
    setpointLayout->addWidget(makeUnit(setpoints, QStringLiteral("LabelVoltageUnit"), QStringLiteral("V")), 0, 4);
    setpointLayout->addWidget(makeUnit(setpoints, QStringLiteral("LabelCurrentUnit"), QStringLiteral("A")), 1, 4);
    setpointLayout->setColumnMinimumWidth(5, 12);
    setpointLayout->setColumnStretch(5, 1);
    setpointLayout->addWidget(BitBtn1, 0, 6);
    setpointLayout->addWidget(Button1, 0, 7);
    setpointLayout->addWidget(BitBtn2, 1, 6);
    setpointLayout->addWidget(Button2, 1, 7);

    // Power setpoint, power reading, power control and PID.
    auto *power = makeGroup(this, QStringLiteral("GroupPower"), tr("功率调节"));
    SpinEdit11 = makeDigit(power, QStringLiteral("SpinEdit11"));
    SpinEdit12 = makeDigit(power, QStringLiteral("SpinEdit12"));
    SpinEdit13 = makeDigit(power, QStringLiteral("SpinEdit13"));
    SpinEdit14 = makeDigit(power, QStringLiteral("SpinEdit14"));
    SpinEdit15 = makeDigit(power, QStringLiteral("SpinEdit15"));
    Button3 = makeButton(power, QStringLiteral("Button3"), tr("功率设置"));
    Edit1 = new QLineEdit(power);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setFont(readoutFont(16));
    Edit1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Button5 = makeButton(power, QStringLiteral("Button5"), tr("读输出功率"));
    BitBtn7 = makeButton(power, QStringLiteral("BitBtn7"), tr("功率控制启动"));
    BitBtn8 = makeButton(power, QStringLiteral("BitBtn8"), tr("PID停止"));
    BitBtn9 = makeButton(power, QStringLiteral("BitBtn9"), tr("PID启动"));
    auto *powerLayout = new QGridLayout(power);
    powerLayout->setHorizontalSpacing(4);
    const QList<TSpinEdit *> powerRow{SpinEdit11, SpinEdit12, SpinEdit13, SpinEdit14, SpinEdit15};
    for (int n = 0; n < 5; ++n)
        powerLayout->addWidget(powerRow[n], 0, n);
    powerLayout->addWidget(makeUnit(power, QStringLiteral("LabelPowerUnit"), QStringLiteral("W")), 0, 5);
    powerLayout->setColumnMinimumWidth(6, 12);
    powerLayout->setColumnStretch(6, 1);
    powerLayout->addWidget(Button3, 0, 7);
    powerLayout->addWidget(BitBtn7, 0, 8);
    powerLayout->addWidget(Edit1, 1, 0, 1, 5);
    powerLayout->addWidget(makeUnit(power, QStringLiteral("LabelReadingUnit"), QStringLiteral("W")), 1, 5);
    powerLayout->addWidget(Button5, 1, 7);
    auto *pidRow = new QHBoxLayout;
    pidRow->setSpacing(6);
    pidRow->addWidget(BitBtn8);
    pidRow->addWidget(BitBtn9);
    powerLayout->addLayout(pidRow, 2, 7, 1, 2);

    StaticText4 = makeLabel(this, QStringLiteral("StaticText4"), QString());
    StaticText4->setFont(DesignFont(QStringLiteral("宋体"), 15, true));
    SetTextColour(StaticText4, kRed);
    BitBtn6 = makeButton(this, QStringLiteral("BitBtn6"), tr("返 回"));

    auto *left = new QVBoxLayout;
    left->addWidget(display);
    left->addWidget(link);
    auto *right = new QVBoxLayout;
    right->addWidget(setpoints);
    right->addWidget(power);
    right->addStretch();
    auto *columns = new QHBoxLayout;
    columns->addLayout(left);
    columns->addLayout(right);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(StaticText4, 1);
    bottom->addWidget(BitBtn6);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(StaticText3);
    layout->addLayout(columns);
    layout->addLayout(bottom);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

// The heading: the model name, then what the window is.
QString TPOWER_TEST::monitorCaption(const QString &model)
{
    return tr("%1可调电源监控界面").arg(model);
}

std::array<TMonitorLamp *, 5> TPOWER_TEST::lamps() const
{
    return {Shape1, Shape2, Shape3, Shape4, Shape5};
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
            lamp->SetBrushColor(kLime);
    } else {
        all[LampStep - 1]->SetBrushColor(kRed);
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
    const QList<QPair<QLabel *, QColor>> readouts{{StaticText5, kLime},
                                                 {StaticText6, kRed},
                                                 {StaticText7, kReadoutBlue},
                                                 {StaticText8, kReadoutBlue},
                                                 {StaticText9, kRed}};
    for (const auto &[label, colour] : readouts) {
        SetTextColour(label, silent ? kNoReplyGrey : colour);
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
