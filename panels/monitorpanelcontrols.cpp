// The monitor panel's controls: the readouts on their backdrop, the lamps,
// the digit rows, the buttons and their groups, laid out as the panel shows
// them. What they do is in monitorpanel.cpp.

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

using namespace MonitorStyle;

namespace {

const QColor kTitleBlue(0x00, 0x00, 0x80);
const QSize kBackdropSize(260, 95);

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

} // namespace

TMonitorLamp::TMonitorLamp(QWidget *parent)
    : QWidget(parent), m_colour(Lime)
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
    StaticText5 = makeReadout(Image2, QStringLiteral("StaticText5"), QStringLiteral("0.0V"), Lime,
                              QRect(4, 3, 156, 44), 38);
    StaticText6 = makeReadout(Image2, QStringLiteral("StaticText6"), QStringLiteral("0.0A"), Red,
                              QRect(4, 48, 156, 44), 38);
    StaticText7 = makeReadout(Image2, QStringLiteral("StaticText7"), QStringLiteral("0.0V"), ReadoutBlue,
                              QRect(166, 4, 88, 26), 20);
    StaticText8 = makeReadout(Image2, QStringLiteral("StaticText8"), QStringLiteral("0.0A"), ReadoutBlue,
                              QRect(166, 34, 88, 26), 20);
    StaticText9 = makeReadout(Image2, QStringLiteral("StaticText9"), QStringLiteral("OFF"), Red,
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
    SetTextColour(StaticText4, Red);
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
