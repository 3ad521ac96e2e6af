#include "panels/trend.h"

#include "widgets/errorreport.h"
#include "link/modelcatalogue.h"
#include "link/readingformat.h"
#include "record/readingrecorder.h"
#include "link/statusfeed.h"
#include "record/trendmodel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <limits>
#include <memory>

namespace {

constexpr double kGap = std::numeric_limits<double>::quiet_NaN();
// The hover readout and the cursors name a trace's values only near a
// reading of it: within this, or a two-hundredth of the span in view.
constexpr double kReadoutReachSeconds = 2.0;
// Beyond a day in view the time axis shows the date.
constexpr double kDaySeconds = 86400.0;
// A reading waits no longer than this to be drawn.
constexpr qint64 kLongestReplotWaitMs = 5000;
// A cursor is taken by the mouse within this many pixels.
constexpr double kCursorGrabPixels = 5.0;

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

QPushButton *makeButton(QWidget *parent, const QString &name, const QString &text)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    return button;
}

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

QString signedNumber(double value, const Resolution &resolution)
{
    const QString text = resolution.text(value);
    return value >= 0 && !text.startsWith(QLatin1Char('-')) ? QLatin1Char('+') + text : text;
}

} // namespace

TTREND::TTREND(QWidget *parent)
    : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("TREND"));
    setWindowTitle(tr("曲线"));
    // The readings and their recording belong beside the window, not in it.
    QObject *holder = parent ? static_cast<QObject *>(parent) : this;
    m_model = new TrendModel(holder);
    m_model->setObjectName(QStringLiteral("TrendModel"));
    Recorder = new ReadingRecorder(holder);
    Recorder->setObjectName(QStringLiteral("Recorder"));
    m_replotTimer = new QTimer(this);
    m_replotTimer->setSingleShot(true);
    buildControls();
    resize(960, 640);
    connectHandlers();
    showRecorderState();
}

TTREND::~TTREND() = default;

double TTREND::KeyOf(const QDateTime &time)
{
    return TrendModel::KeyOf(time);
}

void TTREND::buildControls()
{
    auto *spanLabel = new QLabel(tr("时间范围"), this);
    spanLabel->setObjectName(QStringLiteral("LabelSpan"));
    ComboBox1 = new QComboBox(this);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->addItem(tr("1 分钟"), 60);
    ComboBox1->addItem(tr("10 分钟"), 600);
    ComboBox1->addItem(tr("1 小时"), 3600);
    ComboBox1->addItem(tr("全部"), 0);
    ComboBox1->setCurrentIndex(1);
    Button1 = makeButton(this, QStringLiteral("Button1"), tr("跟随最新"));
    Button1->setCheckable(true);
    Button1->setChecked(true);
    Button1->setToolTip(tr("拖动或滚轮缩放后停止跟随，点击此按钮恢复"));
    Button2 = makeButton(this, QStringLiteral("Button2"), tr("清除"));
    Button3 = makeButton(this, QStringLiteral("Button3"), tr("导出图片"));
    Button5 = makeButton(this, QStringLiteral("Button5"), tr("导出 CSV"));
    Button5->setToolTip(tr("将可见时间范围内显示的曲线的读数导出为 CSV 文件"));
    Button6 = makeButton(this, QStringLiteral("Button6"), tr("游标"));
    Button6->setCheckable(true);
    Button6->setToolTip(tr("两条游标可用鼠标拖动，显示两者之间的时间差、电压差和电流差"));
    Button4 = makeButton(this, QStringLiteral("Button4"), tr("开始记录"));
    StaticText1 = new QLabel(this);
    StaticText1->setObjectName(QStringLiteral("StaticText1"));
    StaticText1->setTextInteractionFlags(Qt::TextSelectableByMouse);
    StaticText2 = new QLabel(this);
    StaticText2->setObjectName(QStringLiteral("StaticText2"));
    StaticText2->setText(tr("将鼠标移到曲线上可读出该时刻的数值；单击图例项可显示或隐藏该曲线"));

    auto *tools = new QHBoxLayout;
    tools->addWidget(spanLabel);
    tools->addWidget(ComboBox1);
    tools->addWidget(Button1);
    tools->addSpacing(12);
    tools->addWidget(Button6);
    tools->addWidget(Button2);
    tools->addWidget(Button3);
    tools->addWidget(Button5);
    tools->addStretch();
    tools->addWidget(Button4);

    // A value range per plot: automatic, or fixed between two values.
    auto *ranges = new QHBoxLayout;
    auto *rangeLabel = new QLabel(tr("数值范围"), this);
    rangeLabel->setObjectName(QStringLiteral("LabelRanges"));
    ranges->addWidget(rangeLabel);
    const QString rangeLabels[] = {QStringLiteral("V"), QStringLiteral("A"), QStringLiteral("W")};
    for (int n = 0; n < 3; ++n) {
        auto *label = new QLabel(rangeLabels[n], this);
        label->setObjectName(QStringLiteral("LabelRange%1").arg(n + 1));
        RangeAuto[size_t(n)] = new QCheckBox(tr("自动"), this);
        RangeAuto[size_t(n)]->setObjectName(QStringLiteral("RangeAuto%1").arg(n + 1));
        RangeAuto[size_t(n)]->setChecked(true);
        for (auto *spins : {&RangeLow, &RangeHigh}) {
            auto *spin = new QDoubleSpinBox(this);
            spin->setObjectName(QStringLiteral("%1%2").arg(spins == &RangeLow ? QStringLiteral("RangeLow")
                                                                              : QStringLiteral("RangeHigh"))
                                    .arg(n + 1));
            spin->setRange(-1000, 10000);
            spin->setDecimals(3);
            spin->setKeyboardTracking(false);
            spin->setMaximumWidth(spin->fontMetrics().horizontalAdvance(QStringLiteral("00000.000")) + 28);
            spin->setEnabled(false);
            (*spins)[size_t(n)] = spin;
        }
        RangeHigh[size_t(n)]->setValue(1);
        ranges->addWidget(label);
        ranges->addWidget(RangeAuto[size_t(n)]);
        ranges->addWidget(RangeLow[size_t(n)]);
        ranges->addWidget(new QLabel(QStringLiteral("–"), this));
        ranges->addWidget(RangeHigh[size_t(n)]);
        ranges->addSpacing(12);
    }
    ranges->addStretch();

    Plot = new QCustomPlot(this);
    Plot->setObjectName(QStringLiteral("Plot"));
    Plot->setMinimumSize(480, 320);
    Plot->setNoAntialiasingOnDrag(true);
    Plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    Plot->setMouseTracking(true);
    // One paint buffer for every layer: a full-screen window clears and
    // composes one picture per repaint, not two.
    Plot->layer(QStringLiteral("overlay"))->setMode(QCPLayer::lmLogical);

    // Three plots stacked on one time axis in the left column, only the
    // lowest showing the times; the legend and the figures of the view in the
    // right column, beside the data and never over it.
    m_rects[0] = Plot->axisRect();
    m_rects[0]->insetLayout()->take(Plot->legend);
    Plot->plotLayout()->take(m_rects[0]);
    Plot->plotLayout()->simplify();
    auto *plots = new QCPLayoutGrid;
    Plot->plotLayout()->addElement(0, 0, plots);
    m_rects[1] = new QCPAxisRect(Plot);
    m_rects[2] = new QCPAxisRect(Plot);
    for (int n = 0; n < 3; ++n)
        plots->addElement(n, 0, m_rects[size_t(n)]);
    plots->setRowSpacing(4);
    auto *margins = new QCPMarginGroup(Plot);
    m_times.reset(new QCPAxisTickerDateTime);
    m_times->setDateTimeFormat(QStringLiteral("HH:mm:ss"));
    m_times->setTickCount(8);
    const QString labels[] = {tr("电压 (V)"), tr("电流 (A)"), tr("功率 (W)")};
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
        const auto line = [this, rect, time, value](const QPen &pen) {
            auto *item = new QCPItemStraightLine(Plot);
            item->setClipAxisRect(rect);
            item->point1->setAxes(time, value);
            item->point2->setAxes(time, value);
            item->setPen(pen);
            item->setVisible(false);
            return item;
        };
        m_hover[size_t(n)] = line(QPen(QColor(0x60, 0x60, 0x60), 1, Qt::DashLine));
        m_cursorLines[0][size_t(n)] = line(QPen(QColor(0xC0, 0x30, 0x30), 1.5));
        m_cursorLines[1][size_t(n)] = line(QPen(QColor(0x30, 0x60, 0xC0), 1.5));
    }
    m_rects[2]->axis(QCPAxis::atBottom)->setLabel(tr("时间"));
    buildLegend();
    setKeyRange(KeyOf(QDateTime::currentDateTime()) - m_spanSeconds, KeyOf(QDateTime::currentDateTime()));

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(tools);
    layout->addLayout(ranges);
    layout->addWidget(Plot, 1);
    layout->addWidget(StaticText2);
    layout->addWidget(StaticText1);
}

void TTREND::buildLegend()
{
    auto *side = new QCPLayoutGrid;
    Plot->plotLayout()->addElement(0, 1, side);
    side->setAutoMargins(QCP::msNone);
    side->setMargins(QMargins(0, 8, 8, 0));
    Plot->plotLayout()->setColumnStretchFactor(1, 0.01);
    Plot->plotLayout()->setColumnSpacing(8);
    // The traces above, the keys to how every trace is drawn below.
    auto *keys = new QCPLegend;
    side->addElement(0, 0, Plot->legend);
    side->addElement(1, 0, keys);
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    for (QCPLegend *legend : {Plot->legend, keys}) {
        legend->setVisible(true);
        legend->setBrush(Qt::white);
        legend->setIconSize(26, 12);
        legend->setFont(small);
    }
    keys->setLayer(Plot->legend->layer());
    m_keyLegend = keys;
    const auto text = [this, &small](const QString &name) {
        auto *element = new QCPTextElement(Plot, QString(), small);
        element->setObjectName(name);
        element->setTextFlags(Qt::AlignLeft | Qt::AlignTop);
        element->setTextColor(QColor(0x20, 0x20, 0x20));
        element->setMargins(QMargins(6, 6, 6, 0));
        return element;
    };
    m_statsText = text(QStringLiteral("Stats"));
    m_cursorText = text(QStringLiteral("Cursors"));
    side->addElement(2, 0, m_statsText);
    side->addElement(3, 0, m_cursorText);
    // What is left of the column's height stays empty below.
    side->addElement(4, 0, new QCPLayoutElement(Plot));
    for (int row = 0; row < 4; ++row)
        side->setRowStretchFactor(row, 0.001);

    // Keys of the series every trace draws in the same manner (no data).
    const auto key = [this, keys](const QString &name, const QPen &pen) {
        QCPGraph *graph = Plot->addGraph(m_rects[0]->axis(QCPAxis::atBottom), m_rects[0]->axis(QCPAxis::atLeft));
        graph->setName(name);
        graph->setPen(pen);
        graph->removeFromLegend();
        graph->addToLegend(keys);
        return graph;
    };
    m_seriesKeys[Setpoints] = key(tr("设定值（虚线）"), QPen(kKeyColour, 1.0, Qt::DashLine));
    QColor pale = kKeyColour;
    pale.setAlpha(kComputedAlpha);
    m_seriesKeys[ComputedPower] = key(tr("功率 = 电压 × 电流（计算）"), QPen(pale, 0.0));
    m_seriesKeys[ReadPower] = key(tr("功率（读取值，圆点）"), QPen(kKeyColour));
    m_seriesKeys[ReadPower]->setLineStyle(QCPGraph::lsNone);
    m_seriesKeys[ReadPower]->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssDisc, 5));
    m_seriesKeys[OutputOff] = key(tr("输出关闭（阴影）"), Qt::NoPen);
    QColor shade = kKeyColour;
    shade.setAlpha(kShadeAlpha * 2);
    m_seriesKeys[OutputOff]->setBrush(shade);
}

void TTREND::connectHandlers()
{
    ConnectHandler(ComboBox1, &QComboBox::currentIndexChanged, this, &TTREND::ComboBox1Change);
    ConnectHandler(Button1, &QPushButton::clicked, this, &TTREND::Button1Click);
    ConnectHandler(Button2, &QPushButton::clicked, this, &TTREND::Button2Click);
    ConnectHandler(Button3, &QPushButton::clicked, this, &TTREND::Button3Click);
    ConnectHandler(Button4, &QPushButton::clicked, this, &TTREND::RecordClick);
    ConnectHandler(Button5, &QPushButton::clicked, this, &TTREND::Button5Click);
    ConnectHandler(Button6, &QPushButton::clicked, this, &TTREND::Button6Click);
    for (int n = 0; n < 3; ++n) {
        const auto change = [this, n] { RunHandler([this, n] { RangeChange(n); }); };
        connect(RangeAuto[size_t(n)], &QCheckBox::toggled, this, change);
        connect(RangeLow[size_t(n)], &QDoubleSpinBox::valueChanged, this, change);
        connect(RangeHigh[size_t(n)], &QDoubleSpinBox::valueChanged, this, change);
    }
    // The model takes every reading, shown or not; the recorder writes each
    // one the model takes, as the model took it.
    m_model->listenTo(TheStatusFeed());
    connect(m_model, &TrendModel::readingAdded, Recorder,
            [recorder = Recorder](int, const Reading &sample) { recorder->Record(sample); });
    connect(m_model, &TrendModel::traceStarted, this, &TTREND::onTraceStarted);
    connect(m_model, &TrendModel::readingAdded, this, &TTREND::onReadingAdded);
    connect(m_model, &TrendModel::gapAdded, this, &TTREND::onGapAdded);
    connect(m_model, &TrendModel::cleared, this, &TTREND::onCleared);
    connect(Recorder, &ReadingRecorder::changed, this, &TTREND::showRecorderState);
    connect(Recorder, &ReadingRecorder::failed, this, &TTREND::onRecordingFailed);
    // The three time axes move together; a move the operator makes stops
    // the following.
    for (QCPAxisRect *rect : m_rects) {
        connect(rect->axis(QCPAxis::atBottom), qOverload<const QCPRange &>(&QCPAxis::rangeChanged), this,
                [this](const QCPRange &range) {
                    if (m_settingRange)
                        return;
                    setKeyRange(range.lower, range.upper);
                    onKeyRangeChanged();
                });
    }
    connect(Plot, &QCustomPlot::beforeReplot, this, &TTREND::prepareReplot);
    connect(m_replotTimer, &QTimer::timeout, this, &TTREND::scheduleReplot);
    connect(Plot, &QCustomPlot::mouseMove, this, &TTREND::onMouseMove);
    connect(Plot, &QCustomPlot::mousePress, this, &TTREND::onMousePress);
    connect(Plot, &QCustomPlot::mouseRelease, this, &TTREND::onMouseRelease);
    connect(Plot, &QCustomPlot::legendClick, this,
            [this](QCPLegend *, QCPAbstractLegendItem *item, QMouseEvent *) { onLegendClick(item); });
    Plot->installEventFilter(this);
}

void TTREND::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_following)
        follow();
    scheduleReplot();
}

bool TTREND::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Plot && event->type() == QEvent::Leave) {
        hideHover();
        onMouseRelease();
    }
    return QWidget::eventFilter(watched, event);
}

void TTREND::onTraceStarted(int index)
{
    const TrendSeries &series = m_model->traces().at(index);
    TTrendTrace trace;
    trace.address = series.address;
    trace.model = series.model.name;
    trace.started = series.started;
    trace.label = tr("地址 %1 · %2 · %3 起")
                      .arg(series.address)
                      .arg(series.model.name, series.started.toString(QStringLiteral("HH:mm:ss")));
    const QColor colour = kTraceColours[index % int(std::size(kTraceColours))];
    const auto line = [this](int rect, const QPen &pen) {
        QCPGraph *graph = Plot->addGraph(m_rects[size_t(rect)]->axis(QCPAxis::atBottom),
                                         m_rects[size_t(rect)]->axis(QCPAxis::atLeft));
        graph->setPen(pen);
        graph->removeFromLegend();
        return graph;
    };
    trace.voltage = line(TrendVolts, QPen(colour, kLineWidth));
    trace.voltage->setName(trace.label);
    trace.voltage->addToLegend();
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
        QCPGraph *shade = Plot->addGraph(m_rects[size_t(n)]->axis(QCPAxis::atBottom),
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

void TTREND::onReadingAdded(int index, const Reading &sample)
{
    TTrendTrace &trace = m_traces[index];
    const double key = KeyOf(sample.time);
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
    m_textsDirty = true;
    if (m_following)
        follow();
    replotForReading(key);
}

// A reading is drawn at once while it moves the newest end of the lines by
// a pixel or more; with a long span on screen (a day, a minute per pixel)
// the readings in between are drawn together, at most a pixel's time later.
void TTREND::replotForReading(double key)
{
    const QCPRange keys = m_rects[0]->axis(QCPAxis::atBottom)->range();
    if (!isVisible() || key < keys.lower || key > keys.upper)
        return;
    const double secondsPerPixel = keys.size() / std::max(1, m_rects[0]->width());
    const qint64 intervalMs = std::min<qint64>(qint64(secondsPerPixel * 1000), kLongestReplotWaitMs);
    const qint64 since = m_sinceReplot.isValid() ? m_sinceReplot.elapsed() : intervalMs;
    if (since >= intervalMs)
        scheduleReplot();
    else if (!m_replotTimer->isActive())
        m_replotTimer->start(int(intervalMs - since));
}

void TTREND::onGapAdded(int index, double key)
{
    const TTrendTrace &trace = m_traces.at(index);
    for (QCPGraph *graph : {trace.voltage, trace.current, trace.computedPower, trace.voltageSetpoint,
                            trace.currentSetpoint, trace.outputOff[0], trace.outputOff[1], trace.outputOff[2]}) {
        if (!endsInGap(graph))
            graph->addData(key, kGap);
    }
}

void TTREND::onCleared()
{
    for (const TTrendTrace &trace : m_traces) {
        for (QCPGraph *graph : {trace.voltage, trace.current, trace.power, trace.computedPower,
                                trace.voltageSetpoint, trace.currentSetpoint})
            Plot->removeGraph(graph);
        for (QCPGraph *shade : trace.outputOff)
            Plot->removeGraph(shade);
    }
    m_traces.clear();
    hideHover();
    m_textsDirty = true;
    scheduleReplot();
}

void TTREND::AddReading(const Reading &sample)
{
    m_model->append(sample);
}

void TTREND::PollSent()
{
    m_model->pollSent(TheStatusFeed()->PollAddress(), KeyOf(QDateTime::currentDateTime()));
}

void TTREND::showAddress(int address)
{
    for (int n = 0; n < m_traces.size(); ++n)
        m_traces[n].shown = address == 0 || m_traces.at(n).address == address;
    applyVisibility();
    Button1Click();
    show();
    raise();
    activateWindow();
}

void TTREND::setAddressModel(int address, const ReadingModel &model)
{
    m_model->setAddressModel(address, model);
}

void TTREND::Clear()
{
    m_model->clear();
}

bool TTREND::ExportPng(const QString &path)
{
    // The readout under the mouse is not part of the picture.
    hideHover();
    Plot->replot(QCustomPlot::rpImmediateRefresh);
    return Plot->savePng(path, Plot->width(), Plot->height());
}

void TTREND::ExportCsv(const QString &path)
{
    const QCPRange keys = m_rects[0]->axis(QCPAxis::atBottom)->range();
    QList<TrendSeries> shown;
    for (int n = 0; n < m_traces.size(); ++n) {
        if (m_traces.at(n).shown)
            shown.append(m_model->traces().at(n)); // shares the readings, copies nothing
    }
    // A day of rows takes a while to format: not on the GUI thread.
    auto result = std::make_shared<std::pair<bool, QString>>(false, QString());
    QThread *writer = QThread::create([path, shown, keys, result] {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            result->second = file.errorString();
            return;
        }
        result->first = TrendModel::WriteCsv(&file, shown, keys.lower, keys.upper, &result->second);
    });
    connect(writer, &QThread::finished, this, [this, writer, path, result] {
        writer->deleteLater();
        emit csvExported(path, result->first, result->second);
    });
    // A window closed for good first waits for the file to be written.
    writer->setParent(this);
    connect(this, &QObject::destroyed, writer, [writer] { writer->wait(); });
    writer->start();
}

void TTREND::SetSpanSeconds(int seconds)
{
    m_spanSeconds = seconds;
    const int index = ComboBox1->findData(seconds);
    if (index >= 0 && index != ComboBox1->currentIndex())
        ComboBox1->setCurrentIndex(index);
    if (m_following) {
        follow();
    } else {
        const QCPRange range = m_rects[0]->axis(QCPAxis::atBottom)->range();
        if (seconds > 0)
            setKeyRange(range.upper - seconds, range.upper);
        else if (!m_traces.isEmpty())
            setKeyRange(m_model->firstKey(), m_model->lastKey());
    }
    scheduleReplot();
}

void TTREND::ComboBox1Change()
{
    SetSpanSeconds(ComboBox1->currentData().toInt());
}

void TTREND::Button1Click()
{
    m_following = true;
    Button1->setChecked(true);
    follow();
    scheduleReplot();
}

void TTREND::Button2Click()
{
    Clear();
}

void TTREND::Button3Click()
{
    const QString suggested = QStringLiteral("trend-%1.png")
                                  .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    const QString path = QFileDialog::getSaveFileName(this, tr("导出图片"), suggested, tr("PNG 图片 (*.png)"));
    if (path.isEmpty())
        return;
    if (!ExportPng(path))
        ShowMessage(tr("无法保存图片 %1。").arg(path));
}

void TTREND::Button5Click()
{
    const QString suggested = QStringLiteral("trend-%1.csv")
                                  .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    const QString path = QFileDialog::getSaveFileName(this, tr("导出 CSV"), suggested, tr("CSV 文件 (*.csv)"));
    if (path.isEmpty())
        return;
    Button5->setEnabled(false);
    auto *once = new QObject(this);
    connect(this, &TTREND::csvExported, once, [this, once](const QString &file, bool ok, const QString &cause) {
        once->deleteLater();
        Button5->setEnabled(true);
        if (ok)
            StaticText2->setText(tr("已导出到 %1").arg(file));
        else
            ShowMessage(tr("无法导出到文件 %1：%2。").arg(file, cause));
    });
    ExportCsv(path);
}

void TTREND::Button6Click()
{
    if (!Button6->isChecked()) {
        HideCursors();
        return;
    }
    const QCPRange keys = m_rects[0]->axis(QCPAxis::atBottom)->range();
    SetCursors(keys.lower + keys.size() / 3, keys.lower + keys.size() * 2 / 3);
}

void TTREND::RangeChange(int plot)
{
    const size_t n = size_t(plot);
    const bool automatic = RangeAuto[n]->isChecked();
    RangeLow[n]->setEnabled(!automatic);
    RangeHigh[n]->setEnabled(!automatic);
    if (automatic) {
        m_fixed[n] = false;
        scheduleReplot();
        return;
    }
    if (!m_fixed[n]) {
        // Fixing starts from the range shown.
        const QCPRange shown = m_rects[n]->axis(QCPAxis::atLeft)->range();
        m_fixed[n] = true;
        m_fixedRange[n] = shown;
        const QSignalBlocker low(RangeLow[n]);
        const QSignalBlocker high(RangeHigh[n]);
        RangeLow[n]->setValue(shown.lower);
        RangeHigh[n]->setValue(shown.upper);
    }
    if (RangeLow[n]->value() >= RangeHigh[n]->value()) {
        StaticText2->setText(tr("下限须小于上限，数值范围未改变"));
        return;
    }
    m_fixedRange[n] = QCPRange(RangeLow[n]->value(), RangeHigh[n]->value());
    scheduleReplot();
}

bool TTREND::SetValueRange(int plot, double lower, double upper)
{
    if (plot < 0 || plot > 2 || !(lower < upper))
        return false;
    const size_t n = size_t(plot);
    m_fixed[n] = true;
    {
        const QSignalBlocker automatic(RangeAuto[n]);
        const QSignalBlocker low(RangeLow[n]);
        const QSignalBlocker high(RangeHigh[n]);
        RangeAuto[n]->setChecked(false);
        RangeLow[n]->setValue(lower);
        RangeHigh[n]->setValue(upper);
    }
    RangeChange(plot);
    return true;
}

void TTREND::SetAutoRange(int plot)
{
    if (plot >= 0 && plot <= 2)
        RangeAuto[size_t(plot)]->setChecked(true);
}

void TTREND::SetTraceShown(int trace, bool shown)
{
    if (trace < 0 || trace >= m_traces.size())
        return;
    m_traces[trace].shown = shown;
    applyVisibility();
}

void TTREND::SetSeriesShown(Series series, bool shown)
{
    m_seriesShown[size_t(series)] = shown;
    applyVisibility();
}

void TTREND::applyVisibility()
{
    for (TTrendTrace &trace : m_traces) {
        trace.voltage->setVisible(trace.shown);
        trace.current->setVisible(trace.shown);
        trace.power->setVisible(trace.shown && m_seriesShown[ReadPower]);
        trace.computedPower->setVisible(trace.shown && m_seriesShown[ComputedPower]);
        trace.voltageSetpoint->setVisible(trace.shown && m_seriesShown[Setpoints]);
        trace.currentSetpoint->setVisible(trace.shown && m_seriesShown[Setpoints]);
        for (QCPGraph *shade : trace.outputOff)
            shade->setVisible(trace.shown && m_seriesShown[OutputOff]);
        if (auto *item = Plot->legend->itemWithPlottable(trace.voltage))
            item->setTextColor(trace.shown ? Qt::black : kHiddenText);
    }
    for (int n = 0; n < SeriesCount; ++n) {
        if (auto *item = m_keyLegend->itemWithPlottable(m_seriesKeys[size_t(n)]))
            item->setTextColor(m_seriesShown[size_t(n)] ? Qt::black : kHiddenText);
    }
    m_textsDirty = true;
    scheduleReplot();
}

void TTREND::onLegendClick(QCPAbstractLegendItem *item)
{
    auto *entry = qobject_cast<QCPPlottableLegendItem *>(item);
    if (!entry)
        return;
    for (int n = 0; n < m_traces.size(); ++n) {
        if (entry->plottable() == m_traces.at(n).voltage) {
            SetTraceShown(n, !m_traces.at(n).shown);
            return;
        }
    }
    for (int n = 0; n < SeriesCount; ++n) {
        if (entry->plottable() == m_seriesKeys[size_t(n)]) {
            SetSeriesShown(Series(n), !m_seriesShown[size_t(n)]);
            return;
        }
    }
}

void TTREND::SetCursors(double a, double b)
{
    m_cursorKeys = {a, b};
    m_cursorsShown = true;
    Button6->setChecked(true);
    for (size_t c = 0; c < 2; ++c) {
        for (QCPItemStraightLine *line : m_cursorLines[c]) {
            line->point1->setCoords(m_cursorKeys[c], 0);
            line->point2->setCoords(m_cursorKeys[c], 1);
            line->setVisible(true);
        }
    }
    m_textsDirty = true;
    scheduleReplot();
}

void TTREND::HideCursors()
{
    m_cursorsShown = false;
    Button6->setChecked(false);
    for (const auto &lines : m_cursorLines) {
        for (QCPItemStraightLine *line : lines)
            line->setVisible(false);
    }
    m_textsDirty = true;
    scheduleReplot();
}

QString TTREND::CursorText() const
{
    if (!m_cursorsShown)
        return QString();
    const double a = m_cursorKeys[0];
    const double b = m_cursorKeys[1];
    QStringList lines{tr("游标 A %1  B %2").arg(timeText(a), timeText(b)),
                      tr("Δt %1 s").arg(signedNumber(b - a, Resolution{1000, 3}))};
    for (int n = 0; n < m_traces.size(); ++n) {
        if (!m_traces.at(n).shown)
            continue;
        const auto delta = m_model->delta(n, a, b, reach());
        if (!delta)
            continue;
        const TrendSeries &series = m_model->traces().at(n);
        lines << tr("地址 %1 %2：ΔV %3 V  ΔI %4 A")
                     .arg(series.address)
                     .arg(series.model.name, signedNumber(delta->volts, series.model.volt),
                          signedNumber(delta->amps, series.model.amp));
    }
    return lines.join(QLatin1Char('\n'));
}

QString TTREND::StatsText() const
{
    const QCPRange keys = m_rects[0]->axis(QCPAxis::atBottom)->range();
    QStringList lines{tr("可见范围：最小 / 最大 / 平均")};
    const QString units[] = {QStringLiteral("V"), QStringLiteral("A"), QStringLiteral("W")};
    for (int n = 0; n < m_traces.size(); ++n) {
        if (!m_traces.at(n).shown)
            continue;
        const TrendSeries &series = m_model->traces().at(n);
        const TrendStats first = m_model->stats(n, TrendVolts, keys.lower, keys.upper);
        if (first.count == 0)
            continue;
        lines << tr("地址 %1 %2（%3 个读数）").arg(series.address).arg(series.model.name).arg(first.count);
        for (int q = 0; q < 3; ++q) {
            const TrendStats stats = q == 0 ? first : m_model->stats(n, q, keys.lower, keys.upper);
            const Resolution resolution = series.resolution(q);
            QString line = QStringLiteral("  %1 / %2 / %3 %4")
                               .arg(resolution.text(stats.min), resolution.text(stats.max),
                                    resolution.text(stats.mean), units[q]);
            if (q == TrendWatts && stats.computed > 0)
                line += stats.computed == stats.count ? tr("（计算）") : tr("（部分计算）");
            lines << line;
        }
    }
    if (lines.size() == 1)
        lines << tr("（无读数）");
    return lines.join(QLatin1Char('\n'));
}

QString TTREND::TimeFormat() const
{
    return m_times->dateTimeFormat();
}


void TTREND::RecordClick()
{
    if (Recorder->Recording()) {
        StopRecording();
        return;
    }
    const QString suggested = m_lastRecordFile.isEmpty()
                                  ? QStringLiteral("readings-%1.csv")
                                        .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")))
                                  : m_lastRecordFile;
    // An existing file is appended to, so the dialog does not ask to overwrite it.
    const QString path = QFileDialog::getSaveFileName(this, tr("记录到文件（已有文件将在末尾续写）"), suggested,
                                                      tr("CSV 文件 (*.csv)"), nullptr,
                                                      QFileDialog::DontConfirmOverwrite);
    if (!path.isEmpty())
        StartRecording(path);
}

bool TTREND::StartRecording(const QString &path)
{
    QString cause;
    if (!Recorder->Start(path, &cause)) {
        ShowMessage(tr("无法打开记录文件 %1：%2。未开始记录。").arg(path, cause));
        return false;
    }
    m_lastRecordFile = path;
    emit recordingChanged(true);
    return true;
}

void TTREND::StopRecording()
{
    if (!Recorder->Recording())
        return;
    Recorder->Stop();
    emit recordingChanged(false);
}

void TTREND::onRecordingFailed(const QString &path, const QString &cause)
{
    emit recordingChanged(false);
    showRecorderState();
    ShowMessage(tr("记录已停止：写入文件 %1 失败（%2）。已写入的行仍在文件中，监测继续进行。").arg(path, cause));
}

void TTREND::showRecorderState()
{
    Button4->setText(Recorder->Recording() ? tr("停止记录") : tr("开始记录"));
    if (Recorder->Recording())
        StaticText1->setText(tr("正在记录：%1 · 已写入 %2 行").arg(Recorder->FileName()).arg(Recorder->RowsWritten()));
    else if (!Recorder->FileName().isEmpty())
        StaticText1->setText(tr("记录已停止：%1 · 共写入 %2 行").arg(Recorder->FileName()).arg(Recorder->RowsWritten()));
    else
        StaticText1->setText(tr("未在记录"));
}

void TTREND::follow()
{
    if (m_traces.isEmpty() && m_model->lastKey() == 0) {
        const double now = KeyOf(QDateTime::currentDateTime());
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

void TTREND::setKeyRange(double lower, double upper)
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

void TTREND::onKeyRangeChanged()
{
    // The operator dragged or zoomed.
    m_following = false;
    Button1->setChecked(false);
    scheduleReplot();
}

void TTREND::widen(TTrendTrace &trace, int plot, double value)
{
    if (!trace.spanKnown[size_t(plot)]) {
        trace.span[size_t(plot)] = QCPRange(value, value);
        trace.spanKnown[size_t(plot)] = true;
    } else {
        trace.span[size_t(plot)].expand(value);
    }
}

// Before each repaint: each value axis spans what its plot shows in the
// visible time, with a margin, and never less than a small span so that noise
// is not blown up (unless the operator fixed its range); the lines are drawn
// as many readings as are in view allow; the figures of the view are brought
// up to date.
void TTREND::prepareReplot()
{
    m_sinceReplot.start();
    m_replotTimer->stop();
    const QCPRange keys = m_rects[0]->axis(QCPAxis::atBottom)->range();
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
            const QList<QCPGraph *> graphs = n == TrendVolts     ? QList<QCPGraph *>{trace.voltage, trace.voltageSetpoint}
                                             : n == TrendAmperes ? QList<QCPGraph *>{trace.current, trace.currentSetpoint}
                                                                 : QList<QCPGraph *>{trace.computedPower, trace.power};
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
    Plot->setNotAntialiasedElements(inView <= kSmoothReadings ? QCP::aeNone : QCP::aePlottables);
    for (const TTrendTrace &trace : m_traces) {
        for (QCPGraph *graph : {trace.voltage, trace.current}) {
            QPen pen = graph->pen();
            pen.setWidthF(sparse ? kLineWidth : 0.0);
            graph->setPen(pen);
        }
    }
    updateTexts();
}

// The figures of the view change only with the readings, the range or what
// is shown: a repaint for the mouse alone does not count them again.
void TTREND::updateTexts()
{
    const QCPRange keys = m_rects[0]->axis(QCPAxis::atBottom)->range();
    if (!m_textsDirty && keys == m_textsRange)
        return;
    m_textsDirty = false;
    m_textsRange = keys;
    m_statsText->setText(StatsText());
    m_cursorText->setText(CursorText());
    m_cursorText->setVisible(m_cursorsShown);
}

void TTREND::scheduleReplot()
{
    // A hidden window is drawn when it is shown again.
    if (isVisible())
        Plot->replot(QCustomPlot::rpQueuedReplot);
}

double TTREND::reach() const
{
    return std::max(kReadoutReachSeconds, m_rects[0]->axis(QCPAxis::atBottom)->range().size() / 200);
}

QString TTREND::timeText(double key) const
{
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(qint64(std::llround(key * 1000.0)));
    const bool dated = m_rects[0]->axis(QCPAxis::atBottom)->range().size() > kDaySeconds;
    return time.toString(dated ? QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz") : QStringLiteral("HH:mm:ss.zzz"));
}

void TTREND::onMousePress(QMouseEvent *event)
{
    if (!m_cursorsShown || event->button() != Qt::LeftButton)
        return;
    const QCPAxis *time = m_rects[0]->axis(QCPAxis::atBottom);
    const double x = event->position().x();
    for (int c = 0; c < 2; ++c) {
        if (std::fabs(time->coordToPixel(m_cursorKeys[size_t(c)]) - x) <= kCursorGrabPixels) {
            // The cursor moves, not the view.
            m_draggedCursor = c;
            Plot->setInteraction(QCP::iRangeDrag, false);
            return;
        }
    }
}

void TTREND::onMouseRelease()
{
    if (m_draggedCursor < 0)
        return;
    m_draggedCursor = -1;
    Plot->setInteraction(QCP::iRangeDrag, true);
}

void TTREND::onMouseMove(QMouseEvent *event)
{
    const double key = m_rects[0]->axis(QCPAxis::atBottom)->pixelToCoord(event->position().x());
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
    StaticText2->setText(ReadoutAt(key));
    Plot->replot(QCustomPlot::rpQueuedReplot);
}

void TTREND::hideHover()
{
    bool shown = false;
    for (QCPItemStraightLine *line : m_hover) {
        shown = shown || line->visible();
        line->setVisible(false);
    }
    StaticText2->setText(tr("将鼠标移到曲线上可读出该时刻的数值；单击图例项可显示或隐藏该曲线"));
    if (shown)
        scheduleReplot();
}

QString TTREND::ReadoutAt(double key) const
{
    QStringList parts{timeText(key)};
    for (int n = 0; n < m_traces.size(); ++n) {
        if (!m_traces.at(n).shown)
            continue;
        const TrendSeries &series = m_model->traces().at(n);
        const int at = series.nearest(key, reach());
        if (at < 0)
            continue;
        const TrendPoint &point = series.points.at(at);
        const Resolution &vd = series.model.volt;
        const Resolution &cd = series.model.amp;
        const QString power = point.powerRead ? tr("%1 W（读取）").arg(WattResolution.text(series.watts(point)))
                                              : tr("%1 W（计算）").arg(WattResolution.text(series.watts(point)));
        parts << tr("地址 %1 %2：%3 V  %4 A  %5  设定 %6 V / %7 A  %8")
                     .arg(series.address)
                     .arg(series.model.name, vd.text(series.volts(point)), cd.text(series.amps(point)), power,
                          vd.text(series.voltageSetpoint(point)), cd.text(series.currentSetpoint(point)),
                          point.status.outputOn ? tr("输出开") : tr("输出关"));
    }
    return parts.join(QStringLiteral("    "));
}
