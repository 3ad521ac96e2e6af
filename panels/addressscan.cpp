#include "panels/addressscan.h"

#include "link/frames.h"
#include "link/serialchannel.h"
#include "widgets/errorreport.h"
#include "widgets/placement.h"
#include "widgets/spinedit.h"
#include "widgets/uistyle.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

quint16 ScanAddress = 0;
bool RecordingAnswer = false;

namespace {

constexpr int kProbeIntervalMs = 1000;
constexpr int kBarMaximum = 10000;
constexpr int kDefaultStart = 0;
constexpr int kDefaultEnd = 247;

} // namespace

QByteArray ScanProbeFrame(quint16 address)
{
    return BuildReadRequest(address, VoltageSetpoint, 1);
}

TRSADDERS::TRSADDERS(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("RSADDERS"));
    setWindowTitle(tr("通讯地址查询"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);

    const QFont fieldFont = DesignFont(QStringLiteral("宋体"), 14);
    setFont(fieldFont);

    GroupBox1 = new QGroupBox(tr("地址检测范围"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    SpinEdit1 = new TSpinEdit(GroupBox1);
    SpinEdit1->setObjectName(QStringLiteral("SpinEdit1"));
    SpinEdit1->SetLimits(0, 255);
    SpinEdit1->setMinimumWidth(90);
    SpinEdit2 = new TSpinEdit(GroupBox1);
    SpinEdit2->setObjectName(QStringLiteral("SpinEdit2"));
    SpinEdit2->SetLimits(0, 255);
    SpinEdit2->SetValue(kDefaultEnd);
    SpinEdit2->setMinimumWidth(90);
    auto *range = new QFormLayout(GroupBox1);
    range->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    range->addRow(tr("起始地址："), SpinEdit1);
    range->addRow(tr("结束地址："), SpinEdit2);

    Edit3 = new QLineEdit(this);
    Edit3->setObjectName(QStringLiteral("Edit3"));
    Edit3->setMinimumWidth(260);
    auto *resultRow = new QHBoxLayout;
    auto *resultText = new QLabel(tr("检测结果："), this);
    resultText->setObjectName(QStringLiteral("Label3"));
    resultRow->addWidget(resultText);
    resultRow->addWidget(Edit3, 1);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setRange(0, kBarMaximum);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setFixedHeight(18);
    Label4 = new QLabel(QStringLiteral("0%"), this);
    Label4->setObjectName(QStringLiteral("Label4"));
    Label4->setMinimumWidth(44);
    Label4->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto *progressRow = new QHBoxLayout;
    progressRow->addWidget(ProgressBar1, 1);
    progressRow->addWidget(Label4);

    const auto makeButton = [this](const QString &name, const QString &caption) {
        auto *button = new QPushButton(caption, this);
        button->setObjectName(name);
        button->setMinimumSize(88, 32);
        return button;
    };
    BitBtn1 = makeButton(QStringLiteral("BitBtn1"), tr("启  动"));
    BitBtn2 = makeButton(QStringLiteral("BitBtn2"), tr("停  止"));
    BitBtn3 = makeButton(QStringLiteral("BitBtn3"), tr("返  回"));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    buttons->addWidget(BitBtn3);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 12, 14, 14);
    layout->setSpacing(10);
    layout->addWidget(GroupBox1);
    layout->addLayout(resultRow);
    layout->addLayout(progressRow);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // Outside the layout: only the reply dispatcher clicks it.
    See_Button = new QPushButton(this);
    See_Button->setObjectName(QStringLiteral("See_Button"));
    See_Button->setGeometry(0, 0, 1, 1);
    See_Button->setFocusPolicy(Qt::NoFocus);
    See_Button->hide();

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setInterval(kProbeIntervalMs);

    PlaceWindow(this, QPoint(517, 135));
    connectHandlers();
}

void TRSADDERS::connectHandlers()
{
    ConnectHandler(BitBtn1, &QPushButton::clicked, this, &TRSADDERS::BitBtn1Click);
    ConnectHandler(BitBtn2, &QPushButton::clicked, this, &TRSADDERS::BitBtn2Click);
    ConnectHandler(BitBtn3, &QPushButton::clicked, this, &TRSADDERS::BitBtn3Click);
    ConnectHandler(See_Button, &QPushButton::clicked, this, &TRSADDERS::See_ButtonClick);
    ConnectHandler(Timer1, &QTimer::timeout, this, &TRSADDERS::Timer1Timer);
}

void TRSADDERS::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Restoring a minimised window is not a new showing.
    if (!event->spontaneous())
        RunHandler([this] { FormShow(); });
}

void TRSADDERS::FormShow()
{
    SpinEdit1->SetValue(kDefaultStart);
    SpinEdit2->SetValue(kDefaultEnd);
    Edit3->clear();
}

void TRSADDERS::BitBtn1Click()
{
    Label4->setText(QStringLiteral("0%"));
    ProgressBar1->setValue(0);
    const int start = SpinEdit1->Value();
    const int end = SpinEdit2->Value();
    if (start > end) {
        Timer1->stop();
        ShowMessage(tr("仪表起始地址错误！！"));
        return;
    }
    m_scanStart = start;
    // A one-address range has no steps in between: its single probe ends at
    // the next tick, which fills the bar.
    m_barStep = end > start ? kBarMaximum / (end - start) : kBarMaximum;
    Edit3->clear();
    ScanAddress = quint16(start);
    SendFrame(ScanProbeFrame(ScanAddress));
    // A scan already running keeps its rhythm: neither the same interval nor
    // enabling an enabled timer starts its second anew.
    if (Timer1->interval() != kProbeIntervalMs)
        Timer1->setInterval(kProbeIntervalMs);
    if (!Timer1->isActive())
        Timer1->start();
}

void TRSADDERS::Timer1Timer()
{
    if (RecordingAnswer)
        return;
    ProgressBar1->setValue(qMin(ProgressBar1->value() + m_barStep, kBarMaximum));
    const int end = SpinEdit2->Value();
    if (end <= ScanAddress) {
        Timer1->stop();
        Label4->setText(QStringLiteral("100%"));
        ProgressBar1->setValue(kBarMaximum);
        ShowMessage(tr("仪表地址检测结束！！"));
        return;
    }
    ++ScanAddress;
    const int span = qMax(1, end - m_scanStart);
    Label4->setText(QStringLiteral("%1%").arg((ScanAddress - m_scanStart) * 100 / span));
    SendFrame(ScanProbeFrame(ScanAddress));
}

void TRSADDERS::See_ButtonClick()
{
    RecordAnswer();
}

void TRSADDERS::RecordAnswer()
{
    RecordingAnswer = true;
    Edit3->setText(Edit3->text() + QString::number(ScanAddress) + QLatin1Char(','));
    RecordingAnswer = false;
}

void TRSADDERS::BitBtn2Click()
{
    Timer1->stop();
    ShowMessage(tr("仪表地址检测结束！！"));
}

void TRSADDERS::BitBtn3Click()
{
    // A running scan goes on while the window is hidden.
    close();
}
