#include "panels/calibration.h"

#include "link/frames.h"
#include "link/replydispatcher.h"
#include "link/serialchannel.h"
#include "panels/autocalibration.h"
#include "widgets/errorreport.h"
#include "widgets/placement.h"
#include "widgets/spinedit.h"
#include "widgets/uistyle.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QVBoxLayout>

namespace {


} // namespace

QByteArray CorrectionFrame(int address, quint16 reg, quint8 code)
{
    return BuildWriteSingle(address, reg, code);
}

TERR::TERR(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("ERR"));
    setWindowTitle(QStringLiteral(")"));
    setFont(DesignFont(QStringLiteral("宋体"), 14));

    Label1 = new QLabel(tr("电源误差修正"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(DesignFont(QStringLiteral("华文新魏"), 24, true));
    Label1->setAlignment(Qt::AlignCenter);
    SetTextColour(Label1, QColor(0x00, 0x00, 0x80));

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameShape(QFrame::StyledPanel);
    Bevel1->setFrameShadow(QFrame::Sunken);

    SpinEdit1 = new TSpinEdit(Bevel1);
    SpinEdit1->setObjectName(QStringLiteral("SpinEdit1"));
    SpinEdit1->SetLimits(-10, 10);
    SpinEdit1->SetValue(0);
    RadioButton1 = new QRadioButton(Bevel1);
    RadioButton1->setObjectName(QStringLiteral("RadioButton1"));
    RadioButton1->setAccessibleName(tr("电压修正"));

    SpinEdit3 = new TSpinEdit(Bevel1);
    SpinEdit3->setObjectName(QStringLiteral("SpinEdit3"));
    SpinEdit3->SetLimits(-100, 100);
    SpinEdit3->SetValue(0);
    RadioButton2 = new QRadioButton(Bevel1);
    RadioButton2->setObjectName(QStringLiteral("RadioButton2"));
    RadioButton2->setAccessibleName(tr("电流修正"));

    // One exclusive group: selecting one clears the other; neither is
    // selected until the operator picks one.
    CorrectionGroup = new QButtonGroup(this);
    CorrectionGroup->setObjectName(QStringLiteral("CorrectionGroup"));
    CorrectionGroup->setExclusive(true);
    CorrectionGroup->addButton(RadioButton1);
    CorrectionGroup->addButton(RadioButton2);
    RadioButton1->setChecked(false);
    RadioButton2->setChecked(false);

    SpinEdit2 = new TSpinEdit(Bevel1);
    SpinEdit2->setObjectName(QStringLiteral("SpinEdit2"));
    SpinEdit2->SetLimits(0, 0);
    // The first supply's address: 0, the broadcast, would reach every supply
    // on the bus. It stays selectable.
    SpinEdit2->SetValue(1);

    const auto fieldLabel = [this](const QString &name, const QString &text, QWidget *buddy) {
        auto *label = new QLabel(text, Bevel1);
        label->setObjectName(name);
        label->setBuddy(buddy);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        return label;
    };
    for (TSpinEdit *field : {SpinEdit1, SpinEdit3, SpinEdit2})
        field->setMinimumWidth(100);

    auto *fields = new QGridLayout(Bevel1);
    fields->setContentsMargins(18, 16, 18, 16);
    fields->setHorizontalSpacing(10);
    fields->setVerticalSpacing(14);
    fields->addWidget(fieldLabel(QStringLiteral("Label2"), tr("电压修正值："), SpinEdit1), 0, 0);
    fields->addWidget(SpinEdit1, 0, 1);
    fields->addWidget(RadioButton1, 0, 2);
    fields->addWidget(fieldLabel(QStringLiteral("Label3"), tr("电流修正值："), SpinEdit3), 1, 0);
    fields->addWidget(SpinEdit3, 1, 1);
    fields->addWidget(RadioButton2, 1, 2);
    fields->addWidget(fieldLabel(QStringLiteral("Label4"), tr("仪表地址："), SpinEdit2), 2, 0);
    fields->addWidget(SpinEdit2, 2, 1);
    fields->setColumnStretch(1, 1);

    BitBtn1 = new QPushButton(tr("校  准"), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setMinimumSize(96, 34);
    BitBtn2 = new QPushButton(tr("退  出"), this);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setMinimumSize(96, 34);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(BitBtn1);
    buttons->addSpacing(24);
    buttons->addWidget(BitBtn2);
    buttons->addStretch();

    // Below the window's own buttons, so that they keep their places: the
    // way to the automatic calibration of one supply against a reference meter.
    BitBtn3 = new QPushButton(tr("自动校准…"), this);
    BitBtn3->setObjectName(QStringLiteral("BitBtn3"));
    BitBtn3->setToolTip(tr("用工位的参考万用表自动求出并写入修正值，出具校准证书"));
    auto *automatic = new QHBoxLayout;
    automatic->addStretch();
    automatic->addWidget(BitBtn3);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 16);
    layout->setSpacing(10);
    layout->addWidget(Label1);
    layout->addWidget(Bevel1, 1);
    layout->addLayout(buttons);
    layout->addLayout(automatic);

    setTabOrder(SpinEdit1, RadioButton1);
    setTabOrder(RadioButton1, SpinEdit3);
    setTabOrder(SpinEdit3, RadioButton2);
    setTabOrder(RadioButton2, SpinEdit2);
    setTabOrder(SpinEdit2, BitBtn1);
    setTabOrder(BitBtn1, BitBtn2);
    setTabOrder(BitBtn2, BitBtn3);

    resize(sizeHint().expandedTo(QSize(340, 0)));
    PlaceWindow(this, QPoint(715, 165));
    connectHandlers();
}

// The automatic calibration's window is a window of its own: it stays when
// this one is closed, and goes (its run stopped) with it.
TERR::~TERR()
{
    delete AutoCal;
}

void TERR::connectHandlers()
{
    ConnectHandler(BitBtn1, &QPushButton::clicked, this, &TERR::BitBtn1Click);
    ConnectHandler(BitBtn2, &QPushButton::clicked, this, &TERR::BitBtn2Click);
    ConnectHandler(BitBtn3, &QPushButton::clicked, this, &TERR::BitBtn3Click);
}

void TERR::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        RunHandler([this] { FormShow(); });
}

// However the window goes away (close box, Exit, or being hidden by code),
// acknowledgements go back to the monitor panel.
void TERR::closeEvent(QCloseEvent *event)
{
    QWidget::closeEvent(event);
    RunHandler([this] { FormClose(); });
}

void TERR::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    // Minimising is not closing.
    if (!event->spontaneous())
        RunHandler([this] { FormClose(); });
}

void TERR::FormShow()
{
    CalibrationMode = true;
}

void TERR::FormClose()
{
    CalibrationMode = false;
}

void TERR::BitBtn1Click()
{
    const int address = SpinEdit2->Value();
    int correction = 0;
    int base = 0;
    quint16 reg = 0;
    if (RadioButton1->isChecked()) {
        correction = SpinEdit1->Value();
        base = VoltageCorrectionBase;
        reg = VoltageCorrection;
    } else if (RadioButton2->isChecked()) {
        correction = SpinEdit3->Value();
        base = CurrentCorrectionBase;
        reg = CurrentCorrection;
    } else {
        return;
    }
    SendFrame(CorrectionFrame(address, reg, CorrectionCode(correction, base)));
}

void TERR::BitBtn2Click()
{
    CalibrationMode = false;
    close();
}

void TERR::BitBtn3Click()
{
    if (!AutoCal)
        AutoCal = new TAUTOCAL(m_line);
    AutoCal->show();
    AutoCal->raise();
    AutoCal->activateWindow();
}
