#include "panels/overview.h"

#include "link/linesettings.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "link/statusfeed.h"
#include "panels/addressscan.h"
#include "panels/monitorpanel.h"
#include "panels/planstation.h"
#include "panels/trend.h"
#include "roster/addresslist.h"
#include "roster/supplyroster.h"
#include "widgets/errorreport.h"
#include "widgets/placement.h"
#include "widgets/spinedit.h"
#include "widgets/uistyle.h"

#include <QComboBox>

#include <algorithm>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int kAgeRefreshMs = 250;
constexpr int kTileColumns = 4;
const QPoint kPosition(40, 40);

// Background and border of a tile in each state.
struct TileLook {
    const char *state;
    const char *background;
    const char *border;
};
const TileLook kLooks[] = {
    {"waiting", "#EEEEEE", "#A0A0A0"}, {"normal", "#F2F8F2", "#6A9A6A"}, {"near", "#FFD98A", "#D08C00"},
    {"outside", "#FF9C9C", "#C00000"}, {"silent", "#C4C4C4", "#505050"}, {"model", "#F4E0FF", "#8000A0"},
};

QLabel *makeLabel(QWidget *parent, const QString &name, const QString &text = QString())
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

QPushButton *makeButton(QWidget *parent, const QString &name, const QString &text)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    return button;
}

QLineEdit *makeEdit(QWidget *parent, const QString &name, int width)
{
    auto *edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setFixedWidth(width);
    return edit;
}

QFont valueFont(int pixelSize)
{
    QFont font;
    font.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Noto Sans Mono"),
                      QStringLiteral("Consolas"), QStringLiteral("Courier New")});
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(pixelSize);
    font.setBold(true);
    return font;
}

// A band edge as typed: empty is no edge; a number in the operator's or the
// C locale's notation.
std::optional<double> bandEdge(const QLineEdit *edit)
{
    const QString text = edit->text().trimmed();
    if (text.isEmpty())
        return std::nullopt;
    bool ok = false;
    double value = QLocale().toDouble(text, &ok);
    if (!ok)
        value = QLocale::c().toDouble(text, &ok);
    if (!ok)
        RaiseError(TOVERVIEW::tr("“%1”不是数值：报警上下限请填数值或留空。").arg(text));
    return value;
}

QString edgeText(std::optional<double> edge)
{
    return edge ? QLocale().toString(*edge) : QString();
}

} // namespace

TSupplyTile::TSupplyTile(int address, QWidget *parent)
    : QFrame(parent), m_address(address)
{
    setObjectName(QStringLiteral("Tile%1").arg(address));
    setFrameShape(QFrame::StyledPanel);
    setFixedWidth(236);
    setCursor(Qt::PointingHandCursor);
    setToolTip(TOVERVIEW::tr("点击打开地址 %1 的监控界面和曲线").arg(address));

    LabelAddress = makeLabel(this, QStringLiteral("LabelAddress"), TOVERVIEW::tr("地址 %1").arg(address));
    QFont bold = font();
    bold.setBold(true);
    LabelAddress->setFont(bold);
    ComboModel = new QComboBox(this);
    ComboModel->setObjectName(QStringLiteral("ComboModel"));
    ComboModel->addItem(TOVERVIEW::tr("（未选型号）"));
    for (const ModelEntry &entry : ModelCatalogue)
        ComboModel->addItem(QLatin1String(entry.caption));
    ComboModel->setMaxVisibleItems(20);
    LabelVolts = makeLabel(this, QStringLiteral("LabelVolts"));
    LabelAmps = makeLabel(this, QStringLiteral("LabelAmps"));
    for (QLabel *value : {LabelVolts, LabelAmps}) {
        value->setFont(valueFont(22));
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }
    LabelWatts = makeLabel(this, QStringLiteral("LabelWatts"));
    LabelWatts->setFont(valueFont(15));
    LabelWatts->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    LabelSet = makeLabel(this, QStringLiteral("LabelSet"));
    LabelOutput = makeLabel(this, QStringLiteral("LabelOutput"));
    int outputWidth = 0;
    for (const QString &text : {TOVERVIEW::tr("输出 开"), TOVERVIEW::tr("输出 关"), TOVERVIEW::tr("输出 —")})
        outputWidth = std::max(outputWidth, LabelOutput->fontMetrics().horizontalAdvance(text));
    LabelOutput->setMinimumWidth(outputWidth + 2 * LabelOutput->margin() + 2);
    LabelAge = makeLabel(this, QStringLiteral("LabelAge"));
    LabelAge->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    LabelState = makeLabel(this, QStringLiteral("LabelState"));
    LabelState->setWordWrap(true);
    QFont stateFont = font();
    stateFont.setBold(true);
    LabelState->setFont(stateFont);
    ButtonBand = makeButton(this, QStringLiteral("ButtonBand"), TOVERVIEW::tr("报警…"));
    ButtonBand->setCursor(Qt::ArrowCursor);
    ComboModel->setCursor(Qt::ArrowCursor);

    auto *layout = new QGridLayout(this);
    layout->setContentsMargins(8, 6, 8, 6);
    layout->setVerticalSpacing(2);
    layout->addWidget(LabelAddress, 0, 0);
    layout->addWidget(ComboModel, 0, 1);
    layout->addWidget(LabelVolts, 1, 0, 1, 2);
    layout->addWidget(LabelAmps, 2, 0, 1, 2);
    layout->addWidget(LabelWatts, 3, 0, 1, 2);
    layout->addWidget(LabelSet, 4, 0, 1, 2);
    layout->addWidget(LabelOutput, 5, 0);
    layout->addWidget(LabelAge, 5, 1);
    auto *stateRow = new QHBoxLayout;
    stateRow->addWidget(LabelState, 1);
    stateRow->addWidget(ButtonBand, 0, Qt::AlignRight | Qt::AlignBottom);
    layout->addLayout(stateRow, 6, 0, 1, 2);
    layout->setColumnStretch(1, 1);
    setState(QStringLiteral("waiting"));
}

void TSupplyTile::setState(const QString &state)
{
    if (state == m_state)
        return;
    m_state = state;
    for (const TileLook &look : kLooks) {
        if (state == QLatin1String(look.state)) {
            m_background = QColor(QLatin1String(look.background));
            m_border = QColor(QLatin1String(look.border));
            break;
        }
    }
    update();
}

// The tile paints its own background and border: a style sheet would have
// every readout's repaint go through the style sheet machinery, rounded
// border included, which cost more than all the rest of a reading.
void TSupplyTile::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    // A readout's repaint lies inside the border: a plain fill will do.
    if (rect().adjusted(3, 3, -3, -3).contains(event->rect())) {
        painter.fillRect(event->rect(), m_background);
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(m_border, 2));
    painter.setBrush(m_background);
    painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 4, 4);
}

void TSupplyTile::Show(const RosterEntry &entry, qint64 ageMs)
{
    const ModelEntry *model = entry.model();
    if (ComboModel->currentIndex() != entry.modelItem) {
        const QSignalBlocker quiet(ComboModel);
        ComboModel->setCurrentIndex(entry.modelItem);
    }
    const QString none = QStringLiteral("—");
    const bool readable = model && entry.reading && !entry.beyondModel();
    if (readable) {
        const StatusBlock &status = entry.reading->counts;
        LabelVolts->setText(entry.volt().text(entry.volts())
                            + QStringLiteral(" V"));
        LabelAmps->setText(entry.amp().text(entry.amperes())
                           + QStringLiteral(" A"));
        const QString watts = WattResolution.text(entry.watts());
        // A computed power says so: it is V x I of the reading, not the supply's own figure.
        LabelWatts->setText(entry.powerComputed() ? TOVERVIEW::tr("%1 W (V×I)").arg(watts)
                                                  : TOVERVIEW::tr("%1 W (读数)").arg(watts));
        LabelWatts->setToolTip(entry.powerComputed() ? TOVERVIEW::tr("功率未读取：为电压×电流的计算值")
                                                     : TOVERVIEW::tr("电源读出的输出功率"));
        LabelSet->setText(TOVERVIEW::tr("设定 %1 V / %2 A")
                              .arg(entry.volt().countsText(status.voltageSetpoint),
                                   entry.amp().countsText(status.currentSetpoint)));
        LabelOutput->setText(status.outputOn ? TOVERVIEW::tr("输出 开") : TOVERVIEW::tr("输出 关"));
    } else {
        LabelVolts->setText(none + QStringLiteral(" V"));
        LabelAmps->setText(none + QStringLiteral(" A"));
        LabelWatts->setText(none + QStringLiteral(" W"));
        LabelSet->setText(TOVERVIEW::tr("设定 %1 V / %1 A").arg(none));
        LabelOutput->setText(entry.reading ? (entry.reading->outputOn ? TOVERVIEW::tr("输出 开") : TOVERVIEW::tr("输出 关"))
                                          : TOVERVIEW::tr("输出 —"));
    }

    QString state;
    QString text;
    if (entry.silent()) {
        state = QStringLiteral("silent");
        text = TOVERVIEW::tr("无应答（连续 %1 次）").arg(entry.missed);
    } else if (!entry.reading) {
        state = QStringLiteral("waiting");
        text = TOVERVIEW::tr("等待读数");
    } else if (!model) {
        state = QStringLiteral("model");
        text = TOVERVIEW::tr("请选择型号");
    } else if (entry.beyondModel()) {
        state = QStringLiteral("model");
        text = TOVERVIEW::tr("读数超出 %1 的范围：型号选错了？").arg(QLatin1String(model->caption));
    } else {
        switch (entry.alarm()) {
        case AlarmLevel::Outside:
            state = QStringLiteral("outside");
            text = TOVERVIEW::tr("超出报警范围");
            break;
        case AlarmLevel::Near:
            state = QStringLiteral("near");
            text = TOVERVIEW::tr("接近报警界限");
            break;
        case AlarmLevel::Normal:
            state = QStringLiteral("normal");
            break;
        }
    }
    if (LabelState->text() != text)
        LabelState->setText(text);
    setState(state);
    ShowAge(ageMs);
}

void TSupplyTile::ShowAge(qint64 ageMs)
{
    // Whole seconds: a round of the bench takes about one, and a tenth that
    // changed four times a second in every tile was most of the window's
    // repainting without telling the operator anything more.
    const QString text = ageMs < 0 ? QString() : TOVERVIEW::tr("%1 s 前").arg(ageMs / 1000);
    if (LabelAge->text() != text)
        LabelAge->setText(text);
}

void TSupplyTile::showEvent(QShowEvent *event)
{
    QFrame::showEvent(event);
    if (!m_sizesFixed)
        QTimer::singleShot(0, this, &TSupplyTile::fixReadoutSizes);
}

// The tile's width is fixed, so its readouts keep their laid-out sizes
// whatever they say. Fixed sizes spare the tile a new layout each time a
// reading or the age changes a text: with sixteen tiles that relayout was a
// good share of the window's CPU time.
void TSupplyTile::fixReadoutSizes()
{
    if (m_sizesFixed || !isVisible())
        return;
    m_sizesFixed = true;
    for (QLabel *readout : {LabelVolts, LabelAmps, LabelWatts, LabelSet, LabelOutput, LabelAge})
        readout->setFixedSize(readout->size());
}

void TSupplyTile::mouseReleaseEvent(QMouseEvent *event)
{
    QFrame::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked(m_address);
}

TOVERVIEW::TOVERVIEW(TPOWER_TEST *monitor, TRSADDERS *scan, TMSComm *comm, QWidget *parent)
    : QWidget(parent), m_monitor(monitor), m_scan(scan), m_comm(comm), m_roster(new SupplyRoster(this))
{
    setObjectName(QStringLiteral("OVERVIEW"));
    setWindowTitle(tr("总览"));
    buildControls();
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(kAgeRefreshMs);
    connectHandlers();
    resize(4 * 236 + 80, 560);
    PlaceWindow(this, kPosition);
}

void TOVERVIEW::buildControls()
{
    StaticText1 = makeLabel(this, QStringLiteral("StaticText1"), tr("电源地址："));
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setPlaceholderText(tr("例如 1,5,17 或 1-4,9"));
    Edit1->setMinimumWidth(220);
    Button1 = makeButton(this, QStringLiteral("Button1"), tr("应用"));
    Button2 = makeButton(this, QStringLiteral("Button2"), tr("取地址检测结果"));
    StaticText2 = makeLabel(this, QStringLiteral("StaticText2"));
    auto *listRow = new QHBoxLayout;
    listRow->addWidget(StaticText1);
    listRow->addWidget(Edit1, 1);
    listRow->addWidget(Button1);
    listRow->addWidget(Button2);

    ScrollBox1 = new QScrollArea(this);
    ScrollBox1->setObjectName(QStringLiteral("ScrollBox1"));
    ScrollBox1->setWidgetResizable(true);
    m_tileBox = new QWidget(ScrollBox1);
    m_tileBox->setObjectName(QStringLiteral("TileBox"));
    m_tileGrid = new QGridLayout(m_tileBox);
    m_tileGrid->setSpacing(8);
    m_tileGrid->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    ScrollBox1->setWidget(m_tileBox);

    GroupBand = new QGroupBox(tr("报警范围（留空为不设）"), this);
    GroupBand->setObjectName(QStringLiteral("GroupBand"));
    ComboBox1 = new QComboBox(GroupBand);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setMinimumWidth(90);
    Edit2 = makeEdit(GroupBand, QStringLiteral("Edit2"), 64);
    Edit3 = makeEdit(GroupBand, QStringLiteral("Edit3"), 64);
    Edit4 = makeEdit(GroupBand, QStringLiteral("Edit4"), 64);
    Edit5 = makeEdit(GroupBand, QStringLiteral("Edit5"), 64);
    Button3 = makeButton(GroupBand, QStringLiteral("Button3"), tr("设定报警"));
    Button4 = makeButton(GroupBand, QStringLiteral("Button4"), tr("清除报警"));
    auto *band = new QHBoxLayout(GroupBand);
    band->addWidget(ComboBox1);
    band->addSpacing(8);
    band->addWidget(makeLabel(GroupBand, QStringLiteral("LabelVoltage"), tr("电压 (V) 下限")));
    band->addWidget(Edit2);
    band->addWidget(makeLabel(GroupBand, QStringLiteral("LabelVoltageMax"), tr("上限")));
    band->addWidget(Edit3);
    band->addSpacing(8);
    band->addWidget(makeLabel(GroupBand, QStringLiteral("LabelCurrent"), tr("电流 (A) 下限")));
    band->addWidget(Edit4);
    band->addWidget(makeLabel(GroupBand, QStringLiteral("LabelCurrentMax"), tr("上限")));
    band->addWidget(Edit5);
    band->addSpacing(8);
    band->addWidget(Button3);
    band->addWidget(Button4);
    band->addStretch();

    Button5 = makeButton(this, QStringLiteral("Button5"), tr("关 闭"));
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(StaticText2, 1);
    bottom->addWidget(Button5);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(listRow);
    layout->addWidget(ScrollBox1, 1);
    layout->addWidget(GroupBand);
    layout->addLayout(bottom);
}

void TOVERVIEW::connectHandlers()
{
    ConnectHandler(Button1, &QPushButton::clicked, this, &TOVERVIEW::Button1Click);
    ConnectHandler(Edit1, &QLineEdit::returnPressed, this, &TOVERVIEW::Button1Click);
    ConnectHandler(Button2, &QPushButton::clicked, this, &TOVERVIEW::Button2Click);
    ConnectHandler(Button3, &QPushButton::clicked, this, &TOVERVIEW::Button3Click);
    ConnectHandler(Button4, &QPushButton::clicked, this, &TOVERVIEW::Button4Click);
    ConnectHandler(Button5, &QPushButton::clicked, this, &TOVERVIEW::Button5Click);
    ConnectHandler(ComboBox1, &QComboBox::currentIndexChanged, this, &TOVERVIEW::ComboBox1Change);
    ConnectHandler(Timer1, &QTimer::timeout, this, &TOVERVIEW::Timer1Timer);
    connect(m_roster, &SupplyRoster::entryChanged, this, &TOVERVIEW::showEntry);
    connect(TheStatusFeed(), &StatusFeed::statusPolled, this, &TOVERVIEW::onPolled);
    connect(TheStatusFeed(), &StatusFeed::statusRead, this, &TOVERVIEW::onReading);
    connect(TheStatusFeed(), &StatusFeed::statusTaken, this, &TOVERVIEW::onTaken);
    if (m_comm) {
        connect(m_comm, &TMSComm::LinkInterrupted, this, &TOVERVIEW::showLinkDown);
        connect(m_comm, &TMSComm::LinkRestored, this, [this] {
            if (isVisible() && m_monitor->PollsLent() && !m_stationHolds)
                showRhythm(-1);
        });
    }
}

// The polls wait while the port's network link is down: the status line
// says so until the link is back.
void TOVERVIEW::showLinkDown(const QString &reason)
{
    m_roundClock.invalidate();
    if (isVisible() && m_monitor->PollsLent())
        StaticText2->setText(tr("通讯中断，总览暂停查询：%1").arg(reason.section(QLatin1Char('\n'), 0, 0)));
}

TOVERVIEW::~TOVERVIEW()
{
    if (m_monitor->PollsLent())
        m_monitor->ReturnPolls();
}

TSupplyTile *TOVERVIEW::Tile(int address) const
{
    for (TSupplyTile *tile : m_tiles) {
        if (tile->Address() == address)
            return tile;
    }
    return nullptr;
}

int TOVERVIEW::RhythmMs() const
{
    LineSettings line;
    if (!m_comm || !ParseLineSettings(m_comm->Settings(), &line))
        line = LineSettings();
    return SupplyRoster::RhythmMs(line.charMicros());
}

void TOVERVIEW::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    Timer1->start();
    borrowPolls();
}

void TOVERVIEW::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (event->spontaneous())
        return;
    Timer1->stop();
    returnPolls();
}

// Shown with supplies listed, the overview polls them; the monitor panel's
// rules for commands stay in force on the same schedule.
void TOVERVIEW::borrowPolls()
{
    if (!isVisible() || m_roster->Count() == 0) {
        returnPolls();
        return;
    }
    if (!m_monitor->PollsLent())
        // Nothing is polled while the port is closed: the overview may be
        // open before the serial settings are confirmed.
        m_monitor->LendPolls([this] { return m_comm && m_comm->PortOpen() ? m_roster->NextAddress() : 0; },
                             RhythmMs());
    m_roundClock.invalidate();
    m_stationHolds = false;
    showRhythm(-1);
    showStationHold();
}

void TOVERVIEW::returnPolls()
{
    m_roster->Pause();
    m_roundClock.invalidate();
    if (m_monitor->PollsLent())
        m_monitor->ReturnPolls();
    StaticText2->setText(m_roster->Count() ? tr("总览已关闭，查询已交还监控界面") : tr("请输入电源地址后按“应用”"));
}

void TOVERVIEW::onPolled()
{
    if (!m_monitor->PollsLent() || !isVisible())
        return;
    const int address = TheStatusFeed()->PollAddress();
    m_roster->NotePoll(address);
    // A round is measured from one poll of the first supply to the next.
    if (m_roster->Count() == 0 || address != m_roster->Entry(0).address)
        return;
    if (m_roundClock.isValid())
        showRhythm(m_roundClock.elapsed());
    m_roundClock.start();
}

void TOVERVIEW::showRhythm(qint64 roundMs)
{
    QString text = tr("%1 台电源轮流查询，间隔 %2 ms 起").arg(m_roster->Count()).arg(RhythmMs());
    if (roundMs >= 0)
        text += tr("，上一轮 %1 s").arg(QString::number(double(roundMs) / 1000.0, 'f', 2));
    StaticText2->setText(text);
}

// While a plan run holds the line the port is closed to the overview: the
// status line says whose the line is, and the tiles show the run's readings.
void TOVERVIEW::showStationHold()
{
    const bool holds = PLANSTATION && PLANSTATION->Running();
    if (holds == m_stationHolds)
        return;
    m_stationHolds = holds;
    // The poll outstanding when the line changed hands will not be answered.
    m_roster->Pause();
    m_roundClock.invalidate();
    if (holds)
        StaticText2->setText(tr("测试工位正在使用串口：总览暂停查询，显示测试工位的读数"));
    else if (m_monitor->PollsLent())
        showRhythm(-1);
}

void TOVERVIEW::onTaken(const Reading &sample)
{
    if (!isVisible())
        return;
    showStationHold();
    const int index = m_roster->IndexOf(sample.address);
    if (index < 0)
        return;
    // A tile without a model reads the run's under the model its slot names.
    if (m_roster->Entry(index).modelItem == 0) {
        const int item = ModelItemFromText(sample.model.name);
        if (item > 0) {
            m_roster->SetModel(sample.address, item);
            m_monitor->Trend->setAddressModel(sample.address, ReadingModel(FindModel(item)));
        }
    }
    m_roster->NoteReading(sample, true);
}

void TOVERVIEW::onReading(const Reading &sample)
{
    if (!m_monitor->PollsLent() || !isVisible())
        return;
    // A reply that names another supply than the one polled last is a late
    // answer to an earlier poll: it belongs to no tile for sure.
    if (sample.replyAddress != sample.address)
        return;
    // A power read answers the monitor panel's address and rides on the next
    // reading, whichever supply that is from: only that supply takes it.
    const bool ownPower = sample.address == quint8(PanelAddress & 0xFF);
    m_roster->NoteReading(sample, ownPower);
}

void TOVERVIEW::rebuildTiles()
{
    qDeleteAll(m_tiles);
    m_tiles.clear();
    const QSignalBlocker quiet(ComboBox1);
    ComboBox1->clear();
    for (int n = 0; n < m_roster->Count(); ++n) {
        const int address = m_roster->Entry(n).address;
        auto *tile = new TSupplyTile(address, m_tileBox);
        m_tileGrid->addWidget(tile, n / kTileColumns, n % kTileColumns);
        m_tiles.append(tile);
        connect(tile, &TSupplyTile::clicked, this, [this](int clicked) { RunHandler([&] { TileClick(clicked); }); });
        connect(tile->ButtonBand, &QPushButton::clicked, this, [this, address] { editBands(address); });
        connect(tile->ComboModel, &QComboBox::currentIndexChanged, this,
                [this, address](int item) {
                    RunHandler([&] {
                        m_roster->SetModel(address, item);
                        m_monitor->Trend->setAddressModel(address, ReadingModel(FindModel(item)));
                    });
                });
        if (const ModelEntry *model = m_roster->Entry(n).model())
            m_monitor->Trend->setAddressModel(address, ReadingModel(model));
        ComboBox1->addItem(tr("地址 %1").arg(address), address);
        showEntry(n);
    }
    ComboBox1Change();
}

void TOVERVIEW::showEntry(int index)
{
    if (index < 0 || index >= m_tiles.size())
        return;
    m_tiles.at(index)->Show(m_roster->Entry(index), m_roster->AgeMs(index));
}

void TOVERVIEW::Button1Click()
{
    // A list that does not parse raises here: nothing changes, nothing is sent.
    const QList<int> addresses = ParseAddressList(Edit1->text());
    m_roster->SetAddresses(addresses, ModelItemFromText(ModelName));
    Edit1->setText(AddressListText(addresses));
    rebuildTiles();
    borrowPolls();
}

void TOVERVIEW::Button2Click()
{
    QString found = m_scan->Edit3->text().trimmed();
    while (found.endsWith(QLatin1Char(',')))
        found.chop(1);
    if (found.isEmpty())
        RaiseError(tr("地址检测还没有找到电源：请先在“仪表地址检测”中检测，或直接输入地址。"));
    Edit1->setText(found);
    Button1Click();
}

void TOVERVIEW::editBands(int address)
{
    const int index = ComboBox1->findData(address);
    if (index >= 0)
        ComboBox1->setCurrentIndex(index);
    Edit2->setFocus();
}

void TOVERVIEW::ComboBox1Change()
{
    const int index = m_roster->IndexOf(ComboBox1->currentData().toInt());
    const bool known = index >= 0;
    for (QLineEdit *edit : {Edit2, Edit3, Edit4, Edit5})
        edit->setEnabled(known);
    if (!known) {
        for (QLineEdit *edit : {Edit2, Edit3, Edit4, Edit5})
            edit->clear();
        return;
    }
    const RosterEntry &entry = m_roster->Entry(index);
    Edit2->setText(edgeText(entry.voltageBand.Minimum()));
    Edit3->setText(edgeText(entry.voltageBand.Maximum()));
    Edit4->setText(edgeText(entry.currentBand.Minimum()));
    Edit5->setText(edgeText(entry.currentBand.Maximum()));
}

void TOVERVIEW::Button3Click()
{
    const int address = ComboBox1->currentData().toInt();
    if (m_roster->IndexOf(address) < 0)
        RaiseError(tr("请先列出电源，再设定报警范围。"));
    // Both bands are checked before either is set: a refused one changes nothing.
    AlarmBand voltage;
    voltage.Set(bandEdge(Edit2), bandEdge(Edit3));
    AlarmBand current;
    current.Set(bandEdge(Edit4), bandEdge(Edit5));
    m_roster->SetBands(address, voltage, current);
}

void TOVERVIEW::Button4Click()
{
    const int address = ComboBox1->currentData().toInt();
    if (m_roster->IndexOf(address) < 0)
        return;
    m_roster->SetBands(address, AlarmBand(), AlarmBand());
    ComboBox1Change();
}

void TOVERVIEW::Button5Click()
{
    close();
}

void TOVERVIEW::Timer1Timer()
{
    showStationHold();
    for (int n = 0; n < m_tiles.size(); ++n)
        m_tiles.at(n)->ShowAge(m_roster->AgeMs(n));
}

void TOVERVIEW::TileClick(int address)
{
    // The tile's model becomes the active one, as a choice in the catalogue
    // makes it, so that the panel scales and caps for this supply; a tile
    // without a model leaves the active one as it is.
    const int index = m_roster->IndexOf(address);
    const RosterEntry *entry = index >= 0 ? &m_roster->Entry(index) : nullptr;
    if (entry && entry->model())
        SelectModel(entry->modelItem);
    m_monitor->ShowSupply(address, entry && entry->reading ? &*entry->reading : nullptr);
    m_monitor->show();
    m_monitor->raise();
    m_monitor->activateWindow();
    // The trend draws this supply under the model its tile holds, and only it.
    for (int i = 0; i < m_roster->Count(); ++i) {
        const RosterEntry &entry = m_roster->Entry(i);
        if (entry.address == address && entry.model())
            m_monitor->Trend->setAddressModel(address, ReadingModel(entry.model()));
    }
    m_monitor->Trend->showAddress(address);
}
