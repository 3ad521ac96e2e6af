#include "panels/trendcursors.h"

#include "link/reading.h"
#include "panels/trendplot.h"
#include "record/trendmodel.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <cmath>

namespace {

// The hover readout and the cursors name a trace's values only near a
// reading of it: within this, or a two-hundredth of the span in view.
constexpr double kReadoutReachSeconds = 2.0;
// Beyond a day in view the times are dated.
constexpr double kDaySeconds = 86400.0;
// A cursor is taken by the mouse within this many pixels.
constexpr double kCursorGrabPixels = 5.0;

QString signedNumber(double value, const Resolution &resolution)
{
    const QString text = resolution.text(value);
    return value >= 0 && !text.startsWith(QLatin1Char('-')) ? QLatin1Char('+') + text : text;
}

// A text beside the plots that measures itself once per text: the plot's
// layout asks for its size several times at every repaint, and shaping
// several lines of Chinese each time cost more than drawing them.
class MeasuredText : public QCPTextElement
{
public:
    using QCPTextElement::QCPTextElement;

    QSize minimumOuterSizeHint() const override
    {
        if (stale(m_minimum))
            m_minimum = {text(), font(), margins(), QCPTextElement::minimumOuterSizeHint()};
        return m_minimum.size;
    }
    QSize maximumOuterSizeHint() const override
    {
        if (stale(m_maximum))
            m_maximum = {text(), font(), margins(), QCPTextElement::maximumOuterSizeHint()};
        return m_maximum.size;
    }

private:
    struct Measured {
        QString text;
        QFont font;
        QMargins margins;
        QSize size;
    };
    bool stale(const Measured &measured) const
    {
        return !measured.size.isValid() || measured.text != text() || measured.font != font()
            || measured.margins != margins();
    }

    mutable Measured m_minimum;
    mutable Measured m_maximum;
};

QString hint()
{
    return QCoreApplication::translate("TTREND", "将鼠标移到曲线上可读出该时刻的数值；单击图例项可显示或隐藏该曲线");
}

} // namespace

TrendCursors::TrendCursors(TrendPlot *plot, TrendModel *model, QPushButton *button, QLabel *readout,
                           QObject *parent)
    : QObject(parent)
    , m_plot(plot)
    , m_model(model)
    , m_button(button)
    , m_readout(readout)
{
    QCustomPlot *canvas = plot->plot();
    const auto line = [canvas](QCPAxisRect *rect, const QPen &pen) {
        auto *item = new QCPItemStraightLine(canvas);
        item->setClipAxisRect(rect);
        item->point1->setAxes(rect->axis(QCPAxis::atBottom), rect->axis(QCPAxis::atLeft));
        item->point2->setAxes(rect->axis(QCPAxis::atBottom), rect->axis(QCPAxis::atLeft));
        item->setPen(pen);
        item->setVisible(false);
        return item;
    };
    for (size_t n = 0; n < 3; ++n) {
        m_hover[n] = line(plot->rect(int(n)), QPen(QColor(0x60, 0x60, 0x60), 1, Qt::DashLine));
        m_cursorLines[0][n] = line(plot->rect(int(n)), QPen(QColor(0xC0, 0x30, 0x30), 1.5));
        m_cursorLines[1][n] = line(plot->rect(int(n)), QPen(QColor(0x30, 0x60, 0xC0), 1.5));
    }
    QFont small = canvas->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    const auto text = [canvas, &small](const QString &name) {
        auto *element = new MeasuredText(canvas, QString(), small);
        element->setObjectName(name);
        element->setTextFlags(Qt::AlignLeft | Qt::AlignTop);
        element->setTextColor(QColor(0x20, 0x20, 0x20));
        element->setMargins(QMargins(6, 6, 6, 0));
        return element;
    };
    m_statsText = text(QStringLiteral("Stats"));
    m_cursorText = text(QStringLiteral("Cursors"));
    plot->side()->addElement(2, 0, m_statsText);
    plot->side()->addElement(3, 0, m_cursorText);
    m_readout->setText(hint());

    connect(plot, &TrendPlot::contentChanged, this, [this] { m_textsDirty = true; });
    connect(canvas, &QCustomPlot::beforeReplot, this, &TrendCursors::updateTexts);
    connect(canvas, &QCustomPlot::mouseMove, this, &TrendCursors::mouseMoved);
    connect(canvas, &QCustomPlot::mousePress, this, &TrendCursors::mousePressed);
    connect(canvas, &QCustomPlot::mouseRelease, this, &TrendCursors::mouseReleased);
    // A cleared trend has nothing under the mouse.
    connect(model, &TrendModel::cleared, this, &TrendCursors::hideHover);
}

void TrendCursors::ButtonClick()
{
    if (!m_button->isChecked()) {
        HideCursors();
        return;
    }
    const QCPRange keys = m_plot->keyRange();
    SetCursors(keys.lower + keys.size() / 3, keys.lower + keys.size() * 2 / 3);
}

void TrendCursors::SetCursors(double a, double b)
{
    m_cursorKeys = {a, b};
    m_cursorsShown = true;
    m_button->setChecked(true);
    for (size_t c = 0; c < 2; ++c) {
        for (QCPItemStraightLine *line : m_cursorLines[c]) {
            line->point1->setCoords(m_cursorKeys[c], 0);
            line->point2->setCoords(m_cursorKeys[c], 1);
            line->setVisible(true);
        }
    }
    m_textsDirty = true;
    m_plot->scheduleReplot();
}

void TrendCursors::HideCursors()
{
    m_cursorsShown = false;
    m_button->setChecked(false);
    for (const auto &lines : m_cursorLines) {
        for (QCPItemStraightLine *line : lines)
            line->setVisible(false);
    }
    m_textsDirty = true;
    m_plot->scheduleReplot();
}

QString TrendCursors::CursorText() const
{
    if (!m_cursorsShown)
        return QString();
    const double a = m_cursorKeys[0];
    const double b = m_cursorKeys[1];
    QStringList lines{QCoreApplication::translate("TTREND", "游标 A %1  B %2").arg(timeText(a), timeText(b)),
                      QCoreApplication::translate("TTREND", "Δt %1 s").arg(signedNumber(b - a, Resolution{1000, 3}))};
    for (int n = 0; n < m_plot->traces().size(); ++n) {
        if (!m_plot->traceShown(n))
            continue;
        const auto delta = m_model->delta(n, a, b, reach());
        if (!delta)
            continue;
        const TrendSeries &series = m_model->traces().at(n);
        lines << QCoreApplication::translate("TTREND", "地址 %1 %2：ΔV %3 V  ΔI %4 A")
                     .arg(series.address)
                     .arg(series.model.name, signedNumber(delta->volts, series.model.volt),
                          signedNumber(delta->amps, series.model.amp));
    }
    return lines.join(QLatin1Char('\n'));
}

QString TrendCursors::StatsText() const
{
    const QCPRange keys = m_plot->keyRange();
    QStringList lines{QCoreApplication::translate("TTREND", "可见范围：最小 / 最大 / 平均")};
    const QString units[] = {QStringLiteral("V"), QStringLiteral("A"), QStringLiteral("W")};
    for (int n = 0; n < m_plot->traces().size(); ++n) {
        if (!m_plot->traceShown(n))
            continue;
        const TrendSeries &series = m_model->traces().at(n);
        const TrendStats first = m_model->stats(n, TrendVolts, keys.lower, keys.upper);
        if (first.count == 0)
            continue;
        lines << QCoreApplication::translate("TTREND", "地址 %1 %2（%3 个读数）")
                     .arg(series.address)
                     .arg(series.model.name)
                     .arg(first.count);
        for (int q = 0; q < 3; ++q) {
            const TrendStats stats = q == 0 ? first : m_model->stats(n, q, keys.lower, keys.upper);
            const Resolution resolution = series.resolution(q);
            QString line = QStringLiteral("  %1 / %2 / %3 %4")
                               .arg(resolution.text(stats.min), resolution.text(stats.max),
                                    resolution.text(stats.mean), units[q]);
            if (q == TrendWatts && stats.computed > 0)
                line += stats.computed == stats.count ? QCoreApplication::translate("TTREND", "（计算）")
                                                      : QCoreApplication::translate("TTREND", "（部分计算）");
            lines << line;
        }
    }
    if (lines.size() == 1)
        lines << QCoreApplication::translate("TTREND", "（无读数）");
    return lines.join(QLatin1Char('\n'));
}

// The figures of the view change only with the readings, the range or what
// is shown: a repaint for the mouse alone does not count them again.
void TrendCursors::updateTexts()
{
    const QCPRange keys = m_plot->keyRange();
    if (!m_textsDirty && keys == m_textsRange)
        return;
    m_textsDirty = false;
    m_textsRange = keys;
    m_statsText->setText(StatsText());
    m_cursorText->setText(CursorText());
    m_cursorText->setVisible(m_cursorsShown);
}

double TrendCursors::reach() const
{
    return std::max(kReadoutReachSeconds, m_plot->keyRange().size() / 200);
}

QString TrendCursors::timeText(double key) const
{
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(qint64(std::llround(key * 1000.0)));
    const bool dated = m_plot->keyRange().size() > kDaySeconds;
    return time.toString(dated ? QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz") : QStringLiteral("HH:mm:ss.zzz"));
}

void TrendCursors::mousePressed(QMouseEvent *event)
{
    if (!m_cursorsShown || event->button() != Qt::LeftButton)
        return;
    const QCPAxis *time = m_plot->timeAxis();
    const double x = event->position().x();
    for (int c = 0; c < 2; ++c) {
        if (std::fabs(time->coordToPixel(m_cursorKeys[size_t(c)]) - x) <= kCursorGrabPixels) {
            // The cursor moves, not the view.
            m_draggedCursor = c;
            m_plot->plot()->setInteraction(QCP::iRangeDrag, false);
            return;
        }
    }
}

void TrendCursors::mouseReleased()
{
    if (m_draggedCursor < 0)
        return;
    m_draggedCursor = -1;
    m_plot->plot()->setInteraction(QCP::iRangeDrag, true);
}

void TrendCursors::mouseMoved(QMouseEvent *event)
{
    const double key = m_plot->timeAxis()->pixelToCoord(event->position().x());
    if (m_draggedCursor >= 0) {
        std::array<double, 2> keys = m_cursorKeys;
        keys[size_t(m_draggedCursor)] = key;
        SetCursors(keys[0], keys[1]);
    }
    for (QCPItemStraightLine *line : m_hover) {
        line->point1->setCoords(key, 0);
        line->point2->setCoords(key, 1);
        line->setVisible(true);
    }
    m_readout->setText(ReadoutAt(key));
    m_plot->plot()->replot(QCustomPlot::rpQueuedReplot);
}

void TrendCursors::mouseLeft()
{
    hideHover();
    mouseReleased();
}

void TrendCursors::hideHover()
{
    bool shown = false;
    for (QCPItemStraightLine *line : m_hover) {
        shown = shown || line->visible();
        line->setVisible(false);
    }
    m_readout->setText(hint());
    if (shown)
        m_plot->scheduleReplot();
}

QString TrendCursors::ReadoutAt(double key) const
{
    QStringList parts{timeText(key)};
    for (int n = 0; n < m_plot->traces().size(); ++n) {
        if (!m_plot->traceShown(n))
            continue;
        const TrendSeries &series = m_model->traces().at(n);
        const int at = series.nearest(key, reach());
        if (at < 0)
            continue;
        const TrendPoint &point = series.points.at(at);
        const Resolution &vd = series.model.volt;
        const Resolution &cd = series.model.amp;
        const QString power = point.powerRead
            ? QCoreApplication::translate("TTREND", "%1 W（读取）").arg(WattResolution.text(series.watts(point)))
            : QCoreApplication::translate("TTREND", "%1 W（计算）").arg(WattResolution.text(series.watts(point)));
        parts << QCoreApplication::translate("TTREND", "地址 %1 %2：%3 V  %4 A  %5  设定 %6 V / %7 A  %8")
                     .arg(series.address)
                     .arg(series.model.name, vd.text(series.volts(point)), cd.text(series.amps(point)), power,
                          vd.text(series.voltageSetpoint(point)), cd.text(series.currentSetpoint(point)),
                          point.status.outputOn ? QCoreApplication::translate("TTREND", "输出开")
                                                : QCoreApplication::translate("TTREND", "输出关"));
    }
    return parts.join(QStringLiteral("    "));
}
