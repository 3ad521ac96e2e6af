#include "panels/supplytile.h"

#include "link/modelcatalogue.h"
#include "panels/overview.h"
#include "roster/supplyroster.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

namespace {

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

} // namespace

QLabel *NamedLabel(QWidget *parent, const QString &name, const QString &text)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

QPushButton *NamedButton(QWidget *parent, const QString &name, const QString &text)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    return button;
}

TSupplyTile::TSupplyTile(int address, QWidget *parent)
    : QFrame(parent), m_address(address)
{
    setObjectName(QStringLiteral("Tile%1").arg(address));
    setFrameShape(QFrame::StyledPanel);
    setFixedWidth(236);
    setCursor(Qt::PointingHandCursor);
    setToolTip(TOVERVIEW::tr("点击打开地址 %1 的监控界面和曲线").arg(address));

    LabelAddress = NamedLabel(this, QStringLiteral("LabelAddress"), TOVERVIEW::tr("地址 %1").arg(address));
    QFont bold = font();
    bold.setBold(true);
    LabelAddress->setFont(bold);
    ComboModel = new QComboBox(this);
    ComboModel->setObjectName(QStringLiteral("ComboModel"));
    ComboModel->addItem(TOVERVIEW::tr("（未选型号）"));
    for (const ModelEntry &entry : ModelCatalogue)
        ComboModel->addItem(QLatin1String(entry.caption));
    ComboModel->setMaxVisibleItems(20);
    LabelVolts = NamedLabel(this, QStringLiteral("LabelVolts"));
    LabelAmps = NamedLabel(this, QStringLiteral("LabelAmps"));
    for (QLabel *value : {LabelVolts, LabelAmps}) {
        value->setFont(valueFont(22));
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }
    LabelWatts = NamedLabel(this, QStringLiteral("LabelWatts"));
    LabelWatts->setFont(valueFont(15));
    LabelWatts->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    LabelSet = NamedLabel(this, QStringLiteral("LabelSet"));
    LabelOutput = NamedLabel(this, QStringLiteral("LabelOutput"));
    int outputWidth = 0;
    for (const QString &text : {TOVERVIEW::tr("输出 开"), TOVERVIEW::tr("输出 关"), TOVERVIEW::tr("输出 —")})
        outputWidth = std::max(outputWidth, LabelOutput->fontMetrics().horizontalAdvance(text));
    LabelOutput->setMinimumWidth(outputWidth + 2 * LabelOutput->margin() + 2);
    LabelAge = NamedLabel(this, QStringLiteral("LabelAge"));
    LabelAge->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    LabelState = NamedLabel(this, QStringLiteral("LabelState"));
    LabelState->setWordWrap(true);
    QFont stateFont = font();
    stateFont.setBold(true);
    LabelState->setFont(stateFont);
    ButtonBand = NamedButton(this, QStringLiteral("ButtonBand"), TOVERVIEW::tr("报警…"));
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

