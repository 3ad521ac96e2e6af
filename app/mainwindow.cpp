#include "app/mainwindow.h"

#include "app/forms.h"
#include "app/modelmenu.h"
#include "app/serialsettings.h"
#include "link/mscomm.h"
#include "link/serialchannel.h"
#include "panels/addressscan.h"
#include "panels/calibration.h"
#include "panels/monitorpanel.h"
#include "panels/overview.h"
#include "panels/planstation.h"
#include "panels/sequencerunner.h"
#include "widgets/errorreport.h"
#include "widgets/placement.h"
#include "widgets/uistyle.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>

namespace {
constexpr QSize kOuterSize(248, 432);
constexpr QPoint kPosition(528, 6);
const QSize kButtonSize(129, 30);
// Classic desktop background blue.
const QColor kDesktopColour(0x3A, 0x6E, 0xA5);
const QColor kLime(0x00, 0xFF, 0x00);
const QColor kAqua(0x00, 0xFF, 0xFF);

QLabel *makeLabel(QWidget *parent, const QString &name, const QString &text, const QRect &geometry,
                  const QFont &font, const QColor &colour)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setGeometry(geometry);
    label->setFont(font);
    SetTextColour(label, colour);
    return label;
}
} // namespace

void ShowWindow(QWidget *window)
{
    window->show();
    window->raise();
    window->activateWindow();
}

TMAIN::TMAIN(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("MAIN"));
    setWindowTitle(QString());
    PlaceWindow(this, kPosition);
    resize(kOuterSize);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, kDesktopColour);
    setPalette(palette);

    Label2 = makeLabel(this, QStringLiteral("Label2"), QStringLiteral("QELTXX-XXX"),
                       QRect(56, 8, 140, 22), DesignFont(QStringLiteral("华文新魏"), 20), kLime);
    Label1 = makeLabel(this, QStringLiteral("Label1"), tr("精密数控电源测试软件"),
                       QRect(16, 32, 216, 24), DesignFont(QStringLiteral("华文新魏"), 21), kLime);

    BitBtn1 = makeButton(QStringLiteral("BitBtn1"), tr("串行口设置"), 72);
    BitBtn2 = makeButton(QStringLiteral("BitBtn2"), tr("仪表地址检测"), 112);
    BitBtn7 = makeButton(QStringLiteral("BitBtn7"), tr("仪表型号选择"), 152);
    BitBtn4 = makeButton(QStringLiteral("BitBtn4"), tr("参数设置"), 192);
    BitBtn6 = makeButton(QStringLiteral("BitBtn6"), tr("典型应用"), 232);
    BitBtn5 = makeButton(QStringLiteral("BitBtn5"), tr("电源误差微调"), 272);
    BitBtn3 = makeButton(QStringLiteral("BitBtn3"), tr("退  出"), 312);
    // The overview: a narrow button in the free column right of "参数设置",
    // so that none of the designed buttons moves.
    BitBtn9 = makeButton(QStringLiteral("BitBtn9"), tr("总览"), QRect(189, 192, 52, 30));
    // Tab order as designed: 1, 2, 4, 6, 7, 3, 5.
    setTabOrder(BitBtn1, BitBtn2);
    setTabOrder(BitBtn2, BitBtn4);
    setTabOrder(BitBtn4, BitBtn6);
    setTabOrder(BitBtn6, BitBtn7);
    setTabOrder(BitBtn7, BitBtn3);
    setTabOrder(BitBtn3, BitBtn5);
    setTabOrder(BitBtn5, BitBtn9);

    // The station's button stands in the free column right of the launcher
    // buttons, beside "电源误差微调" and "退  出", its caption on two lines.
    BitBtn8 = new QPushButton(this);
    BitBtn8->setObjectName(QStringLiteral("BitBtn8"));
    BitBtn8->setGeometry(QRect(190, 272, 48, 70));
    BitBtn8->setIcon(QIcon(StackedButtonPicture(tr("测试计划"), QSize(42, 64))));
    BitBtn8->setIconSize(QSize(42, 64));
    BitBtn8->setAccessibleName(tr("测试计划"));
    BitBtn8->setToolTip(tr("测试计划"));
    setTabOrder(BitBtn9, BitBtn8);

    Label3 = makeLabel(this, QStringLiteral("Label3"), tr("精密电源测试工作室"),
                       QRect(24, 360, 192, 20), DesignFont(QStringLiteral("楷体_GB2312"), 16), kAqua);
    Label3->setAlignment(Qt::AlignCenter);

    MSComm1 = new TMSComm(this);
    MSComm1->setObjectName(QStringLiteral("MSComm1"));
    AttachSerialControl(MSComm1);

    PopupMenu3 = new TModelMenu(this);

    connectHandlers();
}

QPushButton *TMAIN::makeButton(const QString &name, const QString &text, int top)
{
    return makeButton(name, text, QRect(QPoint(56, top), kButtonSize));
}

QPushButton *TMAIN::makeButton(const QString &name, const QString &text, const QRect &geometry)
{
    auto *button = new QPushButton(this);
    button->setObjectName(name);
    button->setGeometry(geometry);
    button->setIcon(QIcon(ButtonPicture(text, geometry.size() - QSize(6, 6))));
    button->setIconSize(geometry.size() - QSize(6, 6));
    button->setAccessibleName(text);
    button->setToolTip(text);
    return button;
}

void TMAIN::connectHandlers()
{
    ConnectHandler(BitBtn1, &QPushButton::clicked, this, &TMAIN::BitBtn1Click);
    ConnectHandler(BitBtn2, &QPushButton::clicked, this, &TMAIN::BitBtn2Click);
    ConnectHandler(BitBtn3, &QPushButton::clicked, this, &TMAIN::BitBtn3Click);
    ConnectHandler(BitBtn4, &QPushButton::clicked, this, &TMAIN::BitBtn4Click);
    ConnectHandler(BitBtn5, &QPushButton::clicked, this, &TMAIN::BitBtn5Click);
    ConnectHandler(BitBtn6, &QPushButton::clicked, this, &TMAIN::BitBtn6Click);
    ConnectHandler(BitBtn7, &QPushButton::clicked, this, &TMAIN::BitBtn7Click);
    ConnectHandler(BitBtn9, &QPushButton::clicked, this, &TMAIN::BitBtn9Click);
    ConnectHandler(BitBtn8, &QPushButton::clicked, this, &TMAIN::BitBtn8Click);
    ConnectHandler(MSComm1, &TMSComm::OnComm, this, &TMAIN::MSComm1Comm);
    connect(MSComm1, &TMSComm::PortLost, this, [](const QString &reason) { ReportError(reason); });
    // One box for the whole outage, opened after the handler that noticed it.
    connect(MSComm1, &TMSComm::LinkInterrupted, this, [](const QString &reason) { ShowMessageQueued(reason); });
}

void TMAIN::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    // The design size is the outer frame; take the window manager's frame off.
    const QSize frame = frameGeometry().size() - size();
    if (!frame.isEmpty())
        resize(kOuterSize - frame);
    RunHandler([this] { FormShow(); });
}

void TMAIN::closeEvent(QCloseEvent *event)
{
    // Closing the launcher ends the program at once: no frame is sent, no
    // timer stopped and the port is not closed first.
    event->accept();
    QCoreApplication::quit();
}

void TMAIN::FormShow()
{
    MSComm1->SetInBufferCount(0);
    MSComm1->SetInputMode(1);
    MSComm1->SetInputLen(0);
    MSComm1->SetRThreshold(1);
    RxBusy = false;
}

QPoint TMAIN::ModelMenuPosition() const
{
    return frameGeometry().topLeft() + QPoint(200, 60);
}

void TMAIN::BitBtn1Click()
{
    ShowWindow(RS232);
}

void TMAIN::BitBtn2Click()
{
    ShowWindow(RSADDERS);
}

void TMAIN::BitBtn3Click()
{
    close();
}

void TMAIN::BitBtn4Click()
{
    ShowWindow(POWER_TEST);
}

void TMAIN::BitBtn5Click()
{
    ShowWindow(ERR);
}

void TMAIN::BitBtn6Click()
{
    ShowWindow(TYP);
}

void TMAIN::BitBtn7Click()
{
    PopupMenu3->Popup(ModelMenuPosition());
}

// The overview is made on first use: the six windows of start-up stay six.
void TMAIN::BitBtn9Click()
{
    if (!OVERVIEW)
        OVERVIEW = new TOVERVIEW(POWER_TEST, RSADDERS, ToolLine());
    ShowWindow(OVERVIEW);
}

void TMAIN::BitBtn8Click()
{
    if (!PLANSTATION)
        PLANSTATION = new TPLANSTATION(ToolLine());
    ShowWindow(PLANSTATION);
}

void TMAIN::MSComm1Comm()
{
    ReceiveReply();
}
