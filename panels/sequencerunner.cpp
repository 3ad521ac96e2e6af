#include "panels/sequencerunner.h"

#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/serialchannel.h"
#include "widgets/errorreport.h"
#include "widgets/placement.h"
#include "widgets/spinedit.h"
#include "widgets/uistyle.h"

#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <cmath>
#include <limits>

bool SequenceRunning = false;
qint16 SequenceAddress = 0;
qint32 StepOrdinal = 0;
qint32 CycleNumber = 0;
qint32 CycleLimit = 0;
qint32 StepIntervalMs = 0;
QByteArray StepSetpointBytes;

namespace {

// The pause between the first setpoint frame and the output-on frame, so the
// supply has taken the setpoints before its output is switched on.
constexpr unsigned long kOutputOnDelayMs = 1000;
// Dwell used for a time of zero or less.
constexpr qint32 kShortestDwellMs = 100;

constexpr QSize kClientSize(394, 645);
// Classic inactive-border grey.
const QColor kBackground(0xD4, 0xD0, 0xC8);

constexpr int kRowTop = 56;
constexpr int kRowPitch = 24;
constexpr int kRowHeight = 22;
constexpr int kEditWidth = 50;

QLabel *makeText(QWidget *parent, const QString &text, int left, int top, int width, int height)
{
    auto *label = new QLabel(text, parent);
    label->setGeometry(left, top, width, height);
    return label;
}

QFrame *makeRule(QWidget *parent, const QString &name, const QRect &geometry, bool horizontal)
{
    auto *rule = new QFrame(parent);
    rule->setObjectName(name);
    rule->setFrameShape(horizontal ? QFrame::HLine : QFrame::VLine);
    rule->setFrameShadow(QFrame::Sunken);
    rule->setLineWidth(1);
    rule->setGeometry(geometry);
    return rule;
}

} // namespace

int VoltageEditNumber(int row)
{
    return row <= 16 ? row : 32 + row;
}

int CurrentEditNumber(int row)
{
    return row <= 16 ? 16 + row : 36 + row;
}

int TimeEditNumber(int row)
{
    return row <= 16 ? 32 + row : 40 + row;
}

// The two conversion errors are the standard ones and read the same in every
// language of the tool, so they are not translated.
qint32 TextToInteger(const QString &text)
{
    bool ok = false;
    const qint32 value = text.trimmed().toInt(&ok, 10);
    if (!ok)
        RaiseError(QStringLiteral("'%1' is not a valid integer value").arg(text));
    return value;
}

double TextToFloat(const QString &text)
{
    const QString trimmed = text.trimmed();
    bool ok = false;
    double value = trimmed.toDouble(&ok);
    if (!ok) {
        // The regional decimal separator is welcome, its digit grouping is not:
        // "1,500" is refused rather than read as fifteen hundred.
        QLocale regional = QLocale::system();
        regional.setNumberOptions(regional.numberOptions() | QLocale::RejectGroupSeparator);
        value = regional.toDouble(trimmed, &ok);
    }
    if (!ok || !std::isfinite(value))
        RaiseError(QStringLiteral("'%1' is not a valid floating point value").arg(text));
    return value;
}

TTYP::TTYP(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("TYP"));
    setWindowTitle(tr("典型应用"));
    setFixedSize(kClientSize);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, kBackground);
    setPalette(palette);

    buildStepTable();
    buildControls();

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setTimerType(Qt::PreciseTimer);

    PlaceWindow(this, QPoint(1134, 110));
    connectHandlers();
}

void TTYP::buildStepTable()
{
    RadioGroup1 = new QGroupBox(this);
    RadioGroup1->setObjectName(QStringLiteral("RadioGroup1"));
    RadioGroup1->setGeometry(8, 8, 377, 529);

    const QFont headingFont = DesignFont(QStringLiteral("宋体"), 12, true);
    const struct { const char *text; int left; int width; } headings[] = {
        {QT_TRANSLATE_NOOP("TTYP", "步骤选择"), 12, 52},
        {QT_TRANSLATE_NOOP("TTYP", "电压设定"), 80, 90},
        {QT_TRANSLATE_NOOP("TTYP", "电流设定"), 192, 90},
        {QT_TRANSLATE_NOOP("TTYP", "输出时间设定"), 296, 88}};
    int staticNumber = 1;
    for (const auto &heading : headings) {
        QLabel *label = makeText(this, tr(heading.text), heading.left, 24, heading.width, 18);
        label->setObjectName(QStringLiteral("StaticText%1").arg(staticNumber++));
        label->setFont(headingFont);
    }

    makeRule(this, QStringLiteral("Panel1"), QRect(8, 48, 377, 2), true);
    makeRule(this, QStringLiteral("Panel2"), QRect(8, 536, 377, 2), true);
    makeRule(this, QStringLiteral("Panel3"), QRect(64, 16, 2, 521), false);
    makeRule(this, QStringLiteral("Panel4"), QRect(176, 16, 2, 521), false);
    makeRule(this, QStringLiteral("Panel5"), QRect(288, 16, 2, 521), false);

    const QFont editFont = DesignFont(QStringLiteral("楷体_GB2312"), 16);
    const QFont unitFont = DesignFont(QStringLiteral("宋体"), 13);
    const auto makeEdit = [&](int number, const QString &text, int left, int top) {
        auto *edit = new QLineEdit(text, this);
        edit->setObjectName(QStringLiteral("Edit%1").arg(number));
        edit->setFont(editFont);
        edit->setGeometry(left, top, kEditWidth, kRowHeight);
        Edit[number] = edit;
    };
    const auto makeUnit = [&](const QString &text, int left, int top) {
        QLabel *unit = makeText(this, text, left, top, 24, kRowHeight);
        unit->setFont(unitFont);
    };

    for (int row = 1; row <= StepRowCount; ++row) {
        const int top = kRowTop + kRowPitch * (row - 1);
        auto *check = new QCheckBox(QString::number(row), this);
        check->setObjectName(QStringLiteral("CheckBox%1").arg(row));
        check->setGeometry(24, top, 38, kRowHeight);
        CheckBox[row] = check;

        makeEdit(VoltageEditNumber(row), QStringLiteral("0"), 80, top);
        makeUnit(QStringLiteral("V"), 80 + kEditWidth + 4, top);
        makeEdit(CurrentEditNumber(row), QStringLiteral("1"), 192, top);
        makeUnit(QStringLiteral("A"), 192 + kEditWidth + 4, top);
        makeEdit(TimeEditNumber(row), QStringLiteral("2"), 304, top);
        makeUnit(tr("秒"), 304 + kEditWidth + 4, top);
    }
    // Tab through a row before moving to the next one.
    QWidget *previous = nullptr;
    for (int row = 1; row <= StepRowCount; ++row) {
        for (QWidget *w : {static_cast<QWidget *>(CheckBox[row]), static_cast<QWidget *>(VoltageEdit(row)),
                           static_cast<QWidget *>(CurrentEdit(row)), static_cast<QWidget *>(TimeEdit(row))}) {
            if (previous)
                setTabOrder(previous, w);
            previous = w;
        }
    }
}

void TTYP::buildControls()
{
    QLabel *addressText = makeText(this, tr("地址"), 16, 556, 36, 20);
    addressText->setObjectName(QStringLiteral("StaticText5"));
    addressText->setFont(DesignFont(QStringLiteral("宋体"), 14));

    SpinEdit2 = new TSpinEdit(this);
    SpinEdit2->setObjectName(QStringLiteral("SpinEdit2"));
    SpinEdit2->SetLimits(0, 0);
    // The first supply's address: 0, the broadcast, would reach every supply
    // on the bus. It stays selectable.
    SpinEdit2->SetValue(1);
    SpinEdit2->setGeometry(56, 552, 49, 26);

    Label1 = makeText(this, tr("循环次数："), 8, 596, 80, 20);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(DesignFont(QStringLiteral("宋体"), 14, true));

    Edit61 = new QLineEdit(this);
    Edit61->setObjectName(QStringLiteral("Edit61"));
    Edit61->setMaxLength(999999);
    Edit61->setGeometry(88, 592, 81, 26);

    const QFont buttonFont = DesignFont(QStringLiteral("宋体"), 24);
    Button1 = new QPushButton(tr("启  动"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setFont(buttonFont);
    Button1->setGeometry(184, 560, 89, 57);
    Button2 = new QPushButton(tr("返  回"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setFont(buttonFont);
    Button2->setGeometry(288, 560, 89, 57);

    setTabOrder(TimeEdit(StepRowCount), SpinEdit2);
    setTabOrder(SpinEdit2, Edit61);
    setTabOrder(Edit61, Button1);
    setTabOrder(Button1, Button2);
}

void TTYP::connectHandlers()
{
    ConnectHandler(Button1, &QPushButton::clicked, this, &TTYP::Button1Click);
    ConnectHandler(Button2, &QPushButton::clicked, this, &TTYP::Button2Click);
    ConnectHandler(Timer1, &QTimer::timeout, this, &TTYP::Timer1Timer);
}

void TTYP::RefreshAddress()
{
    SequenceAddress = qint16(SpinEdit2->Value());
}

void TTYP::SendOutputSwitch(bool on)
{
    SendFrame(BuildWriteSingle(SequenceAddress, OutputSwitch, on ? 1 : 0));
}

// Loads the next step and writes its voltage and current setpoints in one
// frame; false when the load gave no setpoints (an empty voltage text, or the
// run has ended).
bool TTYP::SendNextStep()
{
    LoadNextStep();
    if (StepSetpointBytes.isEmpty())
        return false;
    SendFrame(BuildWriteRequest(SequenceAddress, VoltageSetpoint,
                                {RegisterAt(StepSetpointBytes, 0), RegisterAt(StepSetpointBytes, 2)}));
    return true;
}

void TTYP::Button1Click()
{
    if (SequenceRunning)
        StopRun();
    else
        StartRun();
}

void TTYP::StartRun()
{
    SequenceRunning = true;
    Button1->setText(tr("停 止"));
    RefreshAddress();
    StepOrdinal = 1;
    CycleLimit = 0;
    CycleNumber = 1;
    // A count that does not convert ends the handler here, leaving the run
    // held: the next press of the button stops it.
    CycleLimit = qMin(TextToInteger(Edit61->text()), MaxCycleCount);

    if (!SendNextStep()) {
        EnterIdle();
        return;
    }
    QThread::msleep(kOutputOnDelayMs);
    SendOutputSwitch(true);
    Timer1->start(StepIntervalMs);
}

void TTYP::EnterIdle()
{
    SequenceRunning = false;
    Button1->setText(tr("启 动"));
    Timer1->stop();
}

void TTYP::StopRun()
{
    EnterIdle();
    RefreshAddress();
    SendOutputSwitch(false);
}

void TTYP::Timer1Timer()
{
    RefreshAddress();
    // The next step's dwell counts from its setpoint frame.
    if (SendNextStep())
        Timer1->start(StepIntervalMs);
}

void TTYP::EndRun()
{
    StopRun();
    StepSetpointBytes.clear();
}

void TTYP::LoadNextStep()
{
    int checked = 0;
    for (int row = 1; row <= StepRowCount; ++row) {
        if (CheckBox[row]->isChecked())
            ++checked;
    }
    if (checked < StepOrdinal) {
        StepOrdinal = 1;
        ++CycleNumber;
        if (CycleNumber > CycleLimit || checked == 0) {
            EndRun();
            return;
        }
    }

    int row = 0;
    for (int count = 0, r = 1; r <= StepRowCount; ++r) {
        if (CheckBox[r]->isChecked() && ++count == StepOrdinal) {
            row = r;
            break;
        }
    }
    // A tick without a started run (ordinal 0) finds no row: nothing to load.
    const QString voltageText = row ? VoltageEdit(row)->text() : QString();
    const QString currentText = row ? CurrentEdit(row)->text() : QString();
    const QString timeText = row ? TimeEdit(row)->text() : QString();
    // The row is consumed from here on, even when one of its texts fails below.
    ++StepOrdinal;

    StepSetpointBytes.clear();
    if (voltageText.isEmpty())
        return;

    const quint16 voltage = ScaledSetpoint(TextToFloat(voltageText), VoltageScale, VoltageLimit);
    const quint16 current = ScaledSetpoint(TextToFloat(currentText), CurrentScale, CurrentLimit);
    StepSetpointBytes.append(char(voltage >> 8));
    StepSetpointBytes.append(char(voltage & 0xFF));
    StepSetpointBytes.append(char(current >> 8));
    StepSetpointBytes.append(char(current & 0xFF));

    const qint64 dwell = qint64(TextToInteger(timeText)) * 1000;
    if (dwell <= 0)
        StepIntervalMs = kShortestDwellMs;
    else
        StepIntervalMs = qint32(qMin<qint64>(dwell, std::numeric_limits<qint32>::max()));
}

void TTYP::Button2Click()
{
    close();
}
