#include "panels/trendplot.h"

#include "record/trendmodel.h"

#include <QCoreApplication>
#include <QTimer>
#include <QWidget>
#include <cmath>
#include <limits>

namespace {

constexpr double kGap = std::numeric_limits<double>::quiet_NaN();
// Beyond a day in view the time axis shows the date.
constexpr double kDaySeconds = 86400.0;
// A reading waits no longer than this to be drawn.
constexpr qint64 kLongestReplotWaitMs = 5000;

// Lines are drawn smooth while the plot shows no more than this many
// readings; beyond it (several per pixel column) plain, which looks the same
// and draws many times faster. Heavy lines need this many pixels per reading.
constexpr int kSmoothReadings = 20000;
constexpr int kPixelsPerReading = 3;
constexpr double kLineWidth = 1.6;

// One colour per trace, in the order traces start.
const QColor kTraceColours[] = {
    QColor(0x1F, 0x77, 0xB4), QColor(0xD6, 0x27, 0x28), QColor(0x2C, 0xA0, 0x2C), QColor(0x94, 0x67, 0xBD),
    QColor(0xFF, 0x7F, 0x0E), QColor(0x8C, 0x56, 0x4B), QColor(0x17, 0xBE, 0xCF), QColor(0x7F, 0x7F, 0x7F),
};
const QColor kKeyColour(0x50, 0x50, 0x50);
const QColor kHiddenText(0xA8, 0xA8, 0xA8);
// Computed power: the trace's colour, paler.
constexpr int kComputedAlpha = 110;
constexpr int kShadeAlpha = 40;

// A step line (setpoints, output state) needs a point only where its value
// changes: a value equal to the last two moves the last point instead.
void addStep(QCPGraph *graph, double key, double value)
{
    QCPGraphDataContainer &data = *graph->data();
    if (data.size() >= 2) {
        auto last = data.end() - 1;
        auto before = last - 1;
        if (last->value == value && before->value == value) {
            last->key = key;
            return;
        }
    }
    graph->addData(key, value);
}

bool endsInGap(const QCPGraph *graph)
{
    const QCPGraphDataContainer &data = *graph->data();
    return data.isEmpty() || std::isnan((data.constEnd() - 1)->value);
}

// A legend entry that measures its text once: the plot's layout asks each
// entry for its size several times at every repaint, and shaping the text
// each time cost more than drawing it.
class LegendEntry : public QCPPlottableLegendItem
{
public:
    using QCPPlottableLegendItem::QCPPlottableLegendItem;

    QSize minimumOuterSizeHint() const override
    {
        const QString name = mPlottable->name();
        const QFont font = getFont();
        if (!m_size.isValid() || name != m_name || font != m_font || margins() != m_margins
            || mParentLegend->iconSize() != m_iconSize || mParentLegend->iconTextPadding() != m_padding) {
            m_size = QCPPlottableLegendItem::minimumOuterSizeHint();
            m_name = name;
            m_font = font;
            m_margins = margins();
            m_iconSize = mParentLegend->iconSize();
            m_padding = mParentLegend->iconTextPadding();
        }
        return m_size;
    }

private:
    mutable QSize m_size;
    mutable QString m_name;
    mutable QFont m_font;
    mutable QMargins m_margins;
    mutable QSize m_iconSize;
    mutable int m_padding = 0;
};

void addToLegend(QCPLegend *legend, QCPGraph *graph)
{
    legend->addItem(new LegendEntry(legend, graph));
}

void widen(TTrendTrace &trace, int plot, double value)
{
    if (!trace.spanKnown[size_t(plot)]) {
        trace.span[size_t(plot)] = QCPRange(value, value);
        trace.spanKnown[size_t(plot)] = true;
    } else {
        trace.span[size_t(plot)].expand(value);
    }
}

} // namespace

TrendPlot::TrendPlot(QCustomPlot *plot, TrendModel *model, QObject *parent)
    : QObject(parent)
    , m_plot(plot)
    , m_model(model)
{
    m_replotTimer = new QTimer(this);
    m_replotTimer->setSingleShot(true);
    build();
    connect(m_model, &TrendModel::traceStarted, this, &TrendPlot::onTraceStarted);
    connect(m_model, &TrendModel::readingAdded, this, &TrendPlot::onReadingAdded);
    connect(m_model, &TrendModel::gapAdded, this, &TrendPlot::onGapAdded);
    connect(m_model, &TrendModel::cleared, this, &TrendPlot::onCleared);
    // The three time axes move together; a move the operator makes stops
    // the following.
    for (QCPAxisRect *rect : m_rects) {
        connect(rect->axis(QCPAxis::atBottom), qOverload<const QCPRange &>(&QCPAxis::rangeChanged), this,
                [this](const QCPRange &range) {
                    if (m_settingRange)
                        return;
                    setKeyRange(range.lower, range.upper);
                    m_following = false;
                    emit followingStopped();
                    scheduleReplot();
                });
    }
    connect(m_plot, &QCustomPlot::beforeReplot, this, &TrendPlot::prepareReplot);
    connect(m_replotTimer, &QTimer::timeout, this, &TrendPlot::scheduleReplot);
    connect(m_plot, &QCustomPlot::legendClick, this,
            [this](QCPLegend *, QCPAbstractLegendItem *item, QMouseEvent *) { legendClicked(item); });
}

void TrendPlot::build()
{
    m_plot->setMinimumSize(480, 320);
    m_plot->setNoAntialiasingOnDrag(true);
    m_plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    m_plot->setMouseTracking(true);
    // One paint buffer for every layer: a full-screen window clears and
    // composes one picture per repaint, not two.
    m_plot->layer(QStringLiteral("overlay"))->setMode(QCPLayer::lmLogical);

    // Three plots stacked on one time axis in the left column, only the
    // lowest showing the times; the legend and the figures of the view in the
    // right column, beside the data and never over it.
    m_rects[0] = m_plot->axisRect();
    m_rects[0]->insetLayout()->take(m_plot->legend);
    m_plot->plotLayout()->take(m_rects[0]);
    m_plot->plotLayout()->simplify();
    auto *plots = new QCPLayoutGrid;
    m_plot->plotLayout()->addElement(0, 0, plots);
    m_rects[1] = new QCPAxisRect(m_plot);
    m_rects[2] = new QCPAxisRect(m_plot);
    for (int n = 0; n < 3; ++n)
        plots->addElement(n, 0, m_rects[size_t(n)]);
    plots->setRowSpacing(4);
    auto *margins = new QCPMarginGroup(m_plot);
    m_times.reset(new QCPAxisTickerDateTime);
    m_times->setDateTimeFormat(QStringLiteral("HH:mm:ss"));
    m_times->setTickCount(8);
    const QString labels[]
        = { QCoreApplication::translate("TTREND", "电压 (V)"), QCoreApplication::translate("TTREND", "电流 (A)"),
            QCoreApplication::translate("TTREND", "功率 (W)") };
    for (int n = 0; n < 3; ++n) {
        QCPAxisRect *rect = m_rects[size_t(n)];
        QCPAxis *time = rect->axis(QCPAxis::atBottom);
        QCPAxis *value = rect->axis(QCPAxis::atLeft);
        QCPAxis *shade = rect->axis(QCPAxis::atRight);
        rect->setMarginGroup(QCP::msLeft | QCP::msRight, margins);
        rect->setRangeDrag(Qt::Horizontal);
        rect->setRangeZoom(Qt::Horizontal);
        rect->setRangeDragAxes(time, value);
        rect->setRangeZoomAxes(time, value);
        time->setTicker(m_times);
        time->setTickLabels(n == 2);
        value->setLabel(labels[n]);
        value->setRange(0, 1);
        // The shading's own axis: 0..1 over the plot's height, not shown.
        shade->setRange(0, 1);
        shade->setVisible(false);
    }
    m_rects[2]->axis(QCPAxis::atBottom)->setLabel(QCoreApplication::translate("TTREND", "时间"));
    buildLegend();
    const double now = TrendModel::KeyOf(QDateTime::currentDateTime());
    setKeyRange(now - m_spanSeconds, now);
}

void TrendPlot::buildLegend()
{
    m_side = new QCPLayoutGrid;
    m_plot->plotLayout()->addElement(0, 1, m_side);
    m_side->setAutoMargins(QCP::msNone);
    m_side->setMargins(QMargins(0, 8, 8, 0));
    m_plot->plotLayout()->setColumnStretchFactor(1, 0.01);
    m_plot->plotLayout()->setColumnSpacing(8);
    // The traces above, the keys to how every trace is drawn below.
    auto *keys = new QCPLegend;
    m_side->addElement(0, 0, m_plot->legend);
    m_side->addElement(1, 0, keys);
    QFont small = m_plot->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    for (QCPLegend *legend : {m_plot->legend, keys}) {
        legend->setVisible(true);
        legend->setBrush(Qt::white);
        legend->setIconSize(26, 12);
        legend->setFont(small);
    }
    keys->setLayer(m_plot->legend->layer());
    m_keyLegend = keys;
    // Rows 2 and 3 take the figures of the view; what is left of the
    // column's height stays empty below.
    m_side->addElement(4, 0, new QCPLayoutElement(m_plot));
    for (int row = 0; row < 4; ++row)
        m_side->setRowStretchFactor(row, 0.001);

    // Keys of the series every trace draws in the same manner (no data).
    const auto key = [this, keys](const QString &name, const QPen &pen) {
        QCPGraph *graph = m_plot->addGraph(m_rects[0]->axis(QCPAxis::atBottom), m_rects[0]->axis(QCPAxis::atLeft));
        graph->setName(name);
        graph->setPen(pen);
        graph->removeFromLegend();
        addToLegend(keys, graph);
        return graph;
    };
    m_seriesKeys[TrendSetpoints]
        = key(QCoreApplication::translate("TTREND", "设定值（虚线）"), QPen(kKeyColour, 1.0, Qt::DashLine));
    QColor pale = kKeyColour;
    pale.setAlpha(kComputedAlpha);
    m_seriesKeys[TrendComputedPower]
        = key(QCoreApplication::translate("TTREND", "功率 = 电压 × 电流（计算）"), QPen(pale, 0.0));
    m_seriesKeys[TrendReadPower] = key(QCoreApplication::translate("TTREND", "功率（读取值，圆点）"), QPen(kKeyColour));
    m_seriesKeys[TrendReadPower]->setLineStyle(QCPGraph::lsNone);
    m_seriesKeys[TrendReadPower]->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssDisc, 5));
    m_seriesKeys[TrendOutputOff] = key(QCoreApplication::translate("TTREND", "输出关闭（阴影）"), Qt::NoPen);
    QColor shade = kKeyColour;
    shade.setAlpha(kShadeAlpha * 2);
    m_seriesKeys[TrendOutputOff]->setBrush(shade);
}

void TrendPlot::onTraceStarted(int index)
{
    const TrendSeries &series = m_model->traces().at(index);
    TTrendTrace trace;
    trace.address = series.address;
    trace.model = series.model.name;
    trace.started = series.started;
    trace.label = QCoreApplication::translate("TTREND", "地址 %1 · %2 · %3 起")
                      .arg(series.address)
                      .arg(series.model.name, series.started.toString(QStringLiteral("HH:mm:ss")));
    const QColor colour = kTraceColours[index % int(std::size(kTraceColours))];
    const auto line = [this](int rect, const QPen &pen) {
        QCPGraph *graph = m_plot->addGraph(m_rects[size_t(rect)]->axis(QCPAxis::atBottom),
                                           m_rects[size_t(rect)]->axis(QCPAxis::atLeft));
        graph->setPen(pen);
        graph->removeFromLegend();
        return graph;
    };
    trace.voltage = line(TrendVolts, QPen(colour, kLineWidth));
    trace.voltage->setName(trace.label);
    addToLegend(m_plot->legend, trace.voltage);
    trace.current = line(TrendAmperes, QPen(colour, kLineWidth));
    QColor pale = colour;
    pale.setAlpha(kComputedAlpha);
    // Hairline: a pale line of its own, and cheap to draw.
    trace.computedPower = line(TrendWatts, QPen(pale, 0.0));
    trace.power = line(TrendWatts, QPen(colour));
    trace.power->setLineStyle(QCPGraph::lsNone);
    trace.power->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssDisc, 5));
    trace.voltageSetpoint = line(TrendVolts, QPen(colour, 1.0, Qt::DashLine));
    trace.voltageSetpoint->setLineStyle(QCPGraph::lsStepLeft);
    trace.currentSetpoint = line(TrendAmperes, QPen(colour, 1.0, Qt::DashLine));
    trace.currentSetpoint->setLineStyle(QCPGraph::lsStepLeft);
    for (int n = 0; n < 3; ++n) {
        QCPGraph *shade = m_plot->addGraph(m_rects[size_t(n)]->axis(QCPAxis::atBottom),
                                           m_rects[size_t(n)]->axis(QCPAxis::atRight));
        shade->setLineStyle(QCPGraph::lsStepLeft);
        shade->setPen(Qt::NoPen);
        QColor fill = colour;
        fill.setAlpha(kShadeAlpha);
        shade->setBrush(fill);
        shade->removeFromLegend();
        shade->setLayer(QStringLiteral("background"));
        trace.outputOff[size_t(n)] = shade;
    }
    m_traces.append(trace);
    applyVisibility();
}

void TrendPlot::onReadingAdded(int index, const Reading &sample)
{
    TTrendTrace &trace = m_traces[index];
    const double key = TrendModel::KeyOf(sample.time);
    const double volts = sample.volts;
    const double amps = sample.amps;
    trace.voltage->addData(key, volts);
    trace.current->addData(key, amps);
    trace.computedPower->addData(key, volts * amps);
    widen(trace, TrendWatts, volts * amps);
    if (const auto watts = sample.watts) {
        trace.power->addData(key, *watts);
        widen(trace, TrendWatts, *watts);
    }
    addStep(trace.voltageSetpoint, key, sample.voltageSetpoint);
    addStep(trace.currentSetpoint, key, sample.currentSetpoint);
    widen(trace, TrendVolts, volts);
    widen(trace, TrendVolts, sample.voltageSetpoint);
    widen(trace, TrendAmperes, amps);
    widen(trace, TrendAmperes, sample.currentSetpoint);
    // The shading is drawn only where the output is off: a stretch from the
    // first reading with the output off to the first with it on again, and
    // nothing (a gap) elsewhere. A fill under a line that runs along the
    // bottom for a whole day costs far more to draw than it shows.
    for (QCPGraph *shade : trace.outputOff) {
        if (!sample.outputOn) {
            addStep(shade, key, 1.0);
        } else if (!endsInGap(shade)) {
            shade->addData(key, 1.0);
            shade->addData(key, kGap);
        }
    }
    emit contentChanged();
    if (m_following)
        follow();
    replotForReading(key);
}

// A reading is drawn at once while it moves the newest end of the lines by
// a pixel or more; with a long span on screen (a day, a minute per pixel)
// the readings in between are drawn together, at most a pixel's time later.
void TrendPlot::replotForReading(double key)
{
    const QCPRange keys = keyRange();
    if (!isShown() || key < keys.lower || key > keys.upper)
        return;
    const double secondsPerPixel = keys.size() / std::max(1, m_rects[0]->width());
    const qint64 intervalMs = std::min<qint64>(qint64(secondsPerPixel * 1000), kLongestReplotWaitMs);
    const qint64 since = m_sinceReplot.isValid() ? m_sinceReplot.elapsed() : intervalMs;
    if (since >= intervalMs)
        scheduleReplot();
    else if (!m_replotTimer->isActive())
        m_replotTimer->start(int(intervalMs - since));
}

void TrendPlot::onGapAdded(int index, double key)
{
    const TTrendTrace &trace = m_traces.at(index);
    for (QCPGraph *graph : {trace.voltage, trace.current, trace.computedPower, trace.voltageSetpoint,
                            trace.currentSetpoint, trace.outputOff[0], trace.outputOff[1], trace.outputOff[2]}) {
        if (!endsInGap(graph))
            graph->addData(key, kGap);
    }
}

void TrendPlot::onCleared()
{
    for (const TTrendTrace &trace : m_traces) {
        for (QCPGraph *graph : {trace.voltage, trace.current, trace.power, trace.computedPower,
                                trace.voltageSetpoint, trace.currentSetpoint})
            m_plot->removeGraph(graph);
        for (QCPGraph *shade : trace.outputOff)
            m_plot->removeGraph(shade);
    }
    m_traces.clear();
    emit contentChanged();
    scheduleReplot();
}

void TrendPlot::showOnlyAddress(int address)
{
    for (TTrendTrace &trace : m_traces)
        trace.shown = address == 0 || trace.address == address;
    applyVisibility();
}

void TrendPlot::setTraceShown(int trace, bool shown)
{
    if (trace < 0 || trace >= m_traces.size())
        return;
    m_traces[trace].shown = shown;
    applyVisibility();
}

void TrendPlot::setSeriesShown(TrendSeriesKind series, bool shown)
{
    m_seriesShown[size_t(series)] = shown;
    applyVisibility();
}

void TrendPlot::applyVisibility()
{
    for (TTrendTrace &trace : m_traces) {
        trace.voltage->setVisible(trace.shown);
        trace.current->setVisible(trace.shown);
        trace.power->setVisible(trace.shown && m_seriesShown[TrendReadPower]);
        trace.computedPower->setVisible(trace.shown && m_seriesShown[TrendComputedPower]);
        trace.voltageSetpoint->setVisible(trace.shown && m_seriesShown[TrendSetpoints]);
        trace.currentSetpoint->setVisible(trace.shown && m_seriesShown[TrendSetpoints]);
        for (QCPGraph *shade : trace.outputOff)
            shade->setVisible(trace.shown && m_seriesShown[TrendOutputOff]);
        if (auto *item = m_plot->legend->itemWithPlottable(trace.voltage))
            item->setTextColor(trace.shown ? Qt::black : kHiddenText);
    }
    for (int n = 0; n < TrendSeriesKinds; ++n) {
        if (auto *item = m_keyLegend->itemWithPlottable(m_seriesKeys[size_t(n)]))
            item->setTextColor(m_seriesShown[size_t(n)] ? Qt::black : kHiddenText);
    }
    emit contentChanged();
    scheduleReplot();
}

void TrendPlot::legendClicked(QCPAbstractLegendItem *item)
{
    auto *entry = qobject_cast<QCPPlottableLegendItem *>(item);
    if (!entry)
        return;
    for (int n = 0; n < m_traces.size(); ++n) {
        if (entry->plottable() == m_traces.at(n).voltage) {
            setTraceShown(n, !m_traces.at(n).shown);
            return;
        }
    }
    for (int n = 0; n < TrendSeriesKinds; ++n) {
        if (entry->plottable() == m_seriesKeys[size_t(n)]) {
            setSeriesShown(TrendSeriesKind(n), !m_seriesShown[size_t(n)]);
            return;
        }
    }
}

void TrendPlot::setFixedRange(int n, const QCPRange &range)
{
    m_fixed[size_t(n)] = true;
    m_fixedRange[size_t(n)] = range;
    scheduleReplot();
}

void TrendPlot::setAutoRange(int n)
{
    m_fixed[size_t(n)] = false;
    scheduleReplot();
}

void TrendPlot::setSpanSeconds(int seconds)
{
    m_spanSeconds = seconds;
    if (m_following) {
        follow();
    } else {
        const QCPRange range = keyRange();
        if (seconds > 0)
            setKeyRange(range.upper - seconds, range.upper);
        else if (!m_traces.isEmpty())
            setKeyRange(m_model->firstKey(), m_model->lastKey());
    }
    scheduleReplot();
}

void TrendPlot::startFollowing()
{
    m_following = true;
    follow();
    scheduleReplot();
}

void TrendPlot::windowShown()
{
    if (m_following)
        follow();
    scheduleReplot();
}

void TrendPlot::follow()
{
    if (m_traces.isEmpty() && m_model->lastKey() == 0) {
        const double now = TrendModel::KeyOf(QDateTime::currentDateTime());
        setKeyRange(now - (m_spanSeconds > 0 ? m_spanSeconds : 60), now);
        return;
    }
    const double first = m_model->firstKey();
    const double last = m_model->lastKey();
    if (m_spanSeconds > 0)
        setKeyRange(last - m_spanSeconds, last);
    else
        setKeyRange(first, std::max(last, first + 1.0));
}

void TrendPlot::setKeyRange(double lower, double upper)
{
    m_settingRange = true;
    for (QCPAxisRect *rect : m_rects)
        rect->axis(QCPAxis::atBottom)->setRange(lower, upper);
    m_settingRange = false;
    // Beyond a day in view the times need their dates; within a few seconds,
    // their tenths.
    const double span = upper - lower;
    m_times->setDateTimeFormat(span > kDaySeconds ? QStringLiteral("yyyy-MM-dd\nHH:mm")
                               : span < 10        ? QStringLiteral("HH:mm:ss.z")
                                                  : QStringLiteral("HH:mm:ss"));
}

// Before each repaint: each value axis spans what its plot shows in the
// visible time, with a margin, and never less than a small span so that noise
// is not blown up (unless the operator fixed its range); the lines are drawn
// as many readings as are in view allow.
void TrendPlot::prepareReplot()
{
    m_sinceReplot.start();
    m_replotTimer->stop();
    const QCPRange keys = keyRange();
    int inView = 0;
    std::array<QCPRange, 3> totals{};
    std::array<bool, 3> any{};
    const auto take = [&totals, &any](int n, const QCPRange &range) {
        if (any[size_t(n)])
            totals[size_t(n)].expand(range);
        else
            totals[size_t(n)] = range;
        any[size_t(n)] = true;
    };
    for (const TTrendTrace &trace : m_traces) {
        const QCPGraphDataContainer &data = *trace.voltage->data();
        if (!trace.shown || data.isEmpty())
            continue;
        const auto first = data.findBegin(keys.lower, false);
        const auto last = data.findEnd(keys.upper, false);
        inView += int(last - first);
        if (first == last)
            continue;
        // A trace wholly in view: its kept spans; otherwise the readings in view.
        const bool whole = first == data.constBegin() && last == data.constEnd();
        for (int n = 0; n < 3; ++n) {
            if (whole) {
                if (trace.spanKnown[size_t(n)])
                    take(n, trace.span[size_t(n)]);
                continue;
            }
            const QList<QCPGraph*> graphs = n == TrendVolts ? QList<QCPGraph*> { trace.voltage, trace.voltageSetpoint }
                : n == TrendAmperes                         ? QList<QCPGraph*> { trace.current, trace.currentSetpoint }
                                                            : QList<QCPGraph*> { trace.computedPower, trace.power };
            for (QCPGraph *graph : graphs) {
                bool found = false;
                const QCPRange range = graph->getValueRange(found, QCP::sdBoth, keys);
                if (found)
                    take(n, range);
            }
        }
    }
    for (int n = 0; n < 3; ++n) {
        QCPAxis *axis = m_rects[size_t(n)]->axis(QCPAxis::atLeft);
        if (m_fixed[size_t(n)]) {
            axis->setRange(m_fixedRange[size_t(n)]);
            continue;
        }
        if (!any[size_t(n)]) {
            axis->setRange(0, 1);
            continue;
        }
        QCPRange total = totals[size_t(n)];
        const double minimumSpan = std::max(0.05, std::fabs(total.upper) * 0.02);
        if (total.size() < minimumSpan) {
            const double middle = total.center();
            total = QCPRange(middle - minimumSpan / 2, middle + minimumSpan / 2);
        }
        const double margin = total.size() * 0.08;
        axis->setRange(total.lower - margin, total.upper + margin);
    }

    // About one time label per 130 pixels, so that they never run together.
    m_times->setTickCount(std::max(2, m_rects[0]->width() / 130));

    // Readings a few pixels apart or more: heavy smooth lines. Closer (ten
    // minutes on a wide window): hairlines, which look the same at that
    // density and draw many times faster, above all where noise makes the
    // line run up and down the plot at every reading. Thousands per view
    // (several per pixel column): plain hairlines.
    const bool sparse = inView * kPixelsPerReading <= m_rects[0]->width();
    m_plot->setNotAntialiasedElements(inView <= kSmoothReadings ? QCP::aeNone : QCP::aePlottables);
    for (const TTrendTrace &trace : m_traces) {
        for (QCPGraph *graph : {trace.voltage, trace.current}) {
            QPen pen = graph->pen();
            pen.setWidthF(sparse ? kLineWidth : 0.0);
            graph->setPen(pen);
        }
    }
}

bool TrendPlot::isShown() const
{
    return m_plot->window()->isVisible();
}

void TrendPlot::scheduleReplot()
{
    // A hidden window is drawn when it is shown again.
    if (isShown())
        m_plot->replot(QCustomPlot::rpQueuedReplot);
}
