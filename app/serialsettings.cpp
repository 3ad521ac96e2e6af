#include "app/serialsettings.h"

#include "app/forms.h"
#include "app/mainwindow.h"
#include "link/commports.h"
#include "link/mscomm.h"
#include "widgets/errorreport.h"
#include "widgets/placement.h"
#include "widgets/uistyle.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

int LastPortNumber = 0;

namespace {

// The entries of the parity list, in their order.
constexpr int kNoParity = 0;
constexpr int kOddParity = 1;
constexpr int kEvenParity = 2;

QComboBox *makeList(QWidget *parent, const QString &name, const QStringList &entries)
{
    auto *list = new QComboBox(parent);
    list->setObjectName(name);
    list->addItems(entries);
    list->setMinimumWidth(110);
    return list;
}

QString selectedEntry(const QComboBox *list, const QString &what)
{
    if (list->currentIndex() < 0)
        RaiseError(QCoreApplication::translate("TRS232", "请选择%1。").arg(what));
    return list->currentText();
}

} // namespace

TRS232::TRS232(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("RS232"));
    setWindowTitle(tr("通讯设置"));
    setModal(false);

    QStringList ports;
    for (int n = 1; n <= 12; ++n)
        ports << QStringLiteral("COM%1").arg(n);

    GroupBox1 = new QGroupBox(tr("通讯端口设置"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    ComboBox1 = makeList(GroupBox1, QStringLiteral("ComboBox1"), ports);
    ComboBox2 = makeList(GroupBox1, QStringLiteral("ComboBox2"),
                         {QStringLiteral("1200"), QStringLiteral("2400"), QStringLiteral("4800"),
                          QStringLiteral("9600"), QStringLiteral("14400"), QStringLiteral("19200")});
    ComboBox3 = makeList(GroupBox1, QStringLiteral("ComboBox3"),
                         {QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")});
    ComboBox4 = makeList(GroupBox1, QStringLiteral("ComboBox4"),
                         {QStringLiteral("5"), QStringLiteral("6"), QStringLiteral("7"),
                          QStringLiteral("8")});
    ComboBox5 = makeList(GroupBox1, QStringLiteral("ComboBox5"),
                         {tr("无"), tr("奇校验"), tr("偶校验")});
    DeviceLabel = new QLabel(GroupBox1);
    DeviceLabel->setObjectName(QStringLiteral("DeviceLabel"));
    DeviceLabel->setMinimumWidth(160);
    SetTextColour(DeviceLabel, QColor(0x40, 0x40, 0x40));

    auto *portRow = new QHBoxLayout;
    portRow->addWidget(ComboBox1);
    portRow->addWidget(DeviceLabel, 1);
    auto *form = new QFormLayout(GroupBox1);
    form->setLabelAlignment(Qt::AlignRight);
    form->addRow(tr("通讯口："), portRow);
    form->addRow(tr("波特率："), ComboBox2);
    form->addRow(tr("停止位："), ComboBox3);
    form->addRow(tr("数据位："), ComboBox4);
    form->addRow(tr("校验位："), ComboBox5);

    BitBtn1 = new QPushButton(tr("确  定"), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setDefault(true);
    BitBtn2 = new QPushButton(tr("返  回"), this);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    buttons->addStretch();

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(GroupBox1);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    PlaceWindow(this, QPoint(483, 120));
    connectHandlers();
}

void TRS232::connectHandlers()
{
    ConnectHandler(BitBtn1, &QPushButton::clicked, this, &TRS232::BitBtn1Click);
    ConnectHandler(BitBtn2, &QPushButton::clicked, this, &TRS232::BitBtn2Click);
    connect(ComboBox1, &QComboBox::currentIndexChanged, this, &TRS232::ShowDevice);
}

void TRS232::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // Restoring a minimised window is not a new showing: the operator's picks stay.
    if (!event->spontaneous())
        RunHandler([this] { FormShow(); });
}

void TRS232::FormShow()
{
    ComboBox1->setCurrentIndex(LastPortNumber <= 0 ? 1 : qMin(LastPortNumber, 12) - 1);
    ComboBox2->setCurrentText(QStringLiteral("9600"));
    ComboBox3->setCurrentText(QStringLiteral("1"));
    ComboBox4->setCurrentText(QStringLiteral("8"));
    ComboBox5->setCurrentIndex(kNoParity);
    ShowDevice();
}

void TRS232::ShowDevice()
{
    const int port = ComboBox1->currentIndex() + 1;
    const QString device = port > 0 ? CommPortDevice(port) : QString();
    DeviceLabel->setText(device.isEmpty() ? tr("（无对应设备）")
                                          : tr("设备：%1").arg(device));
}

QString TRS232::SettingsText() const
{
    // The parity list is read by position: its texts are in the operator's language.
    selectedEntry(ComboBox5, tr("校验位"));
    QString letter = QStringLiteral("n");
    if (ComboBox5->currentIndex() == kOddParity)
        letter = QStringLiteral("o");
    else if (ComboBox5->currentIndex() == kEvenParity)
        letter = QStringLiteral("e");
    return QStringList{selectedEntry(ComboBox2, tr("波特率")), letter,
                       selectedEntry(ComboBox4, tr("数据位")),
                       selectedEntry(ComboBox3, tr("停止位"))}
        .join(QLatin1Char(','));
}

void TRS232::BitBtn1Click()
{
    TMSComm *comm = MAIN->MSComm1;
    comm->SetInBufferCount(0);
    comm->SetInputLen(0);
    comm->SetRThreshold(1);
    if (comm->PortOpen())
        comm->SetPortOpen(false);

    const QString port = selectedEntry(ComboBox1, tr("通讯口"));
    const int number = port.mid(3).toInt();
    comm->SetCommPort(short(number));
    LastPortNumber = number;

    comm->SetSettings(SettingsText());
    comm->SetPortOpen(true);
    ShowMessage(tr("串口初始化成功！"));
    close();
}

void TRS232::BitBtn2Click()
{
    close();
}
