#include "panels/trend.h"

#include "widgets/errorreport.h"
#include "link/readingformat.h"
#include "link/readingrecorder.h"
#include "link/statusfeed.h"

#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>
#include <cmath>
#include <limits>

namespace {

constexpr double kGap = std::numeric_limits<double>::quiet_NaN();
// The hover readout names a trace's values only near a reading of it.
constexpr double kReadoutReachSeconds = 2.0;

enum Quantity { Volts = 0, Amperes = 1, Watts = 2 };

// Lines are drawn smooth and a little heavy while the plot shows no more than
// this many readings; beyond it (several per pixel column) thin and plain,
// which looks the same and draws many times faster.
constexpr int kSmoothReadings = 20000;
constexpr double kLineWidth = 1.6;

// One colour per trace, in the order traces start.
const QColor kTraceColours[] = {
    QColor(0x1F, 0x77, 0xB4), QColor(0xD6, 0x27, 0x28), QColor(0x2C, 0xA0, 0x2C), QColor(0x94, 0x67, 0xBD),
    QColor(0xFF, 0x7F, 0x0E), QColor(0x8C, 0x56, 0x4B), QColor(0x17, 0xBE, 0xCF), QColor(0x7F, 0x7F, 0x7F),
};

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

// The value of the graph's reading nearest to key, if one lies within reach.
bool valueNear(const QCPGraph *graph, double key, double *value)
{
    const QCPGraphDataContainer &data = *graph->data();
    if (data.isEmpty())
        return false;
    auto at = data.findBegin(key, false);
    auto best = data.constEnd();
    double distance = kReadoutReachSeconds;
    for (auto it : {at == data.constBegin() ? at : at - 1, at}) {
        if (it == data.constEnd() || std::isnan(it->value))
            continue;
        if (std::fabs(it->key - key) <= distance) {
            distance = std::fabs(it->key - key);
            best = it;
        }
    }
    if (best == data.constEnd())
        return false;
    *value = best->value;
    return true;
}

// A step line's value at key: that of the last point at or before it.
bool stepValueAt(const QCPGraph *graph, double key, double *value)
{
    const QCPGraphDataContainer &data = *graph->data();
    auto after = data.findEnd(key, false);
    if (after == data.constBegin())
        return false;
    const double found = (after - 1)->value;
    if (std::isnan(found))
        return false;
    *value = found;
    return true;
}

} // namespace

TTREND::TTREND(QWidget *parent)
    : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("TREND"));
    setWindowTitle(tr("曲线"));
    buildControls();
    resize(960, 640);
    connectHandlers();
    showRecorderState();
}

TTREND::~TTREND() = default;

double TTREND::KeyOf(const QDateTime &time)
{
    return double(time.toMSecsSinceEpoch()) / 1000.0;
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
    Button4 = makeButton(this, QStringLiteral("Button4"), tr("开始记录"));
    StaticText1 = new QLabel(this);
    StaticText1->setObjectName(QStringLiteral("StaticText1"));
    StaticText1->setTextInteractionFlags(Qt::TextSelectableByMouse);
    StaticText2 = new QLabel(this);
    StaticText2->setObjectName(QStringLiteral("StaticText2"));
    StaticText2->setText(tr("将鼠标移到曲线上可读出该时刻的数值"));

    auto *tools = new QHBoxLayout;
    tools->addWidget(spanLabel);
    tools->addWidget(ComboBox1);
    tools->addWidget(Button1);
    tools->addSpacing(12);
    tools->addWidget(Button2);
    tools->addWidget(Button3);
    tools->addStretch();
    tools->addWidget(Button4);

    Plot = new QCustomPlot(this);
    Plot->setObjectName(QStringLiteral("Plot"));
    Plot->setMinimumSize(480, 320);
    Plot->setNoAntialiasingOnDrag(true);
    Plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);

    // Three plots stacked on one time axis; only the lowest shows the times.
    m_rects[0] = Plot->axisRect();
    m_rects[1] = new QCPAxisRect(Plot);
    m_rects[2] = new QCPAxisRect(Plot);
    Plot->plotLayout()->addElement(1, 0, m_rects[1]);
    Plot->plotLayout()->addElement(2, 0, m_rects[2]);
    Plot->plotLayout()->setRowSpacing(4);
    auto *margins = new QCPMarginGroup(Plot);
    QSharedPointer<QCPAxisTickerDateTime> times(new QCPAxisTickerDateTime);
    times->setDateTimeFormat(QStringLiteral("HH:mm:ss"));
    times->setTickCount(8);
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
        time->setTicker(times);
        time->setTickLabels(n == 2);
        value->setLabel(labels[n]);
        value->setRange(0, 1);
        // The shading's own axis: 0..1 over the plot's height, not shown.
        shade->setRange(0, 1);
        shade->setVisible(false);
        auto *cursor = new QCPItemStraightLine(Plot);
        cursor->setClipAxisRect(rect);
        cursor->point1->setAxes(time, value);
        cursor->point2->setAxes(time, value);
        cursor->setPen(QPen(QColor(0x60, 0x60, 0x60), 1, Qt::DashLine));
        cursor->setVisible(false);
        m_cursor[size_t(n)] = cursor;
    }
    m_rects[2]->axis(QCPAxis::atBottom)->setLabel(tr("时间"));
    Plot->legend->setVisible(true);
    Plot->legend->setBrush(QColor(255, 255, 255, 210));
    m_rects[0]->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignLeft);
    setKeyRange(KeyOf(QDateTime::currentDateTime()) - m_spanSeconds, KeyOf(QDateTime::currentDateTime()));

    Recorder = new ReadingRecorder(this);
    Recorder->setObjectName(QStringLiteral("Recorder"));

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(tools);
    layout->addWidget(Plot, 1);
    layout->addWidget(StaticText2);
    layout->addWidget(StaticText1);
}

void TTREND::connectHandlers()
{
    ConnectHandler(ComboBox1, &QComboBox::currentIndexChanged, this, &TTREND::ComboBox1Change);
    ConnectHandler(Button1, &QPushButton::clicked, this, &TTREND::Button1Click);
    ConnectHandler(Button2, &QPushButton::clicked, this, &TTREND::Button2Click);
    ConnectHandler(Button3, &QPushButton::clicked, this, &TTREND::Button3Click);
    ConnectHandler(Button4, &QPushButton::clicked, this, &TTREND::Button4Click);
    // The trend and the recorder take every reading, shown or not.
    connect(TheStatusFeed(), &StatusFeed::statusRead, this, &TTREND::AddReading);
    connect(TheStatusFeed(), &StatusFeed::statusRead, Recorder, &ReadingRecorder::Record);
    connect(TheStatusFeed(), &StatusFeed::statusPolled, this, &TTREND::PollSent);
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
    connect(Plot, &QCustomPlot::mouseMove, this, [this](QMouseEvent *event) {
        onMouseMove(m_rects[0]->axis(QCPAxis::atBottom)->pixelToCoord(event->position().x()));
    });
}

void TTREND::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_following)
        follow();
    scheduleReplot();
}

TTrendTrace &TTREND::traceFor(const StatusSample &sample)
{
    const double key = KeyOf(sample.time);
    if (!m_traces.isEmpty()) {
        TTrendTrace &last = m_traces.last();
        // A clock set back starts a new trace rather than drawing backwards.
        if (last.address == sample.address && last.model == sample.model.name && key >= last.lastKey)
            return last;
    }
    TTrendTrace trace;
    trace.address = sample.address;
    trace.model = sample.model.name;
    trace.started = sample.time;
    trace.label = tr("地址 %1 · %2 · %3 起")
                      .arg(sample.address)
                      .arg(sample.model.name, sample.time.toString(QStringLiteral("HH:mm:ss")));
    const QColor colour = kTraceColours[m_traces.size() % int(std::size(kTraceColours))];
    const auto line = [this, &colour](int rect, double width, Qt::PenStyle style) {
        QCPGraph *graph = Plot->addGraph(m_rects[size_t(rect)]->axis(QCPAxis::atBottom),
                                         m_rects[size_t(rect)]->axis(QCPAxis::atLeft));
        graph->setPen(QPen(colour, width, style));
        graph->removeFromLegend();
        return graph;
    };
    trace.voltage = line(Volts, kLineWidth, Qt::SolidLine);
    trace.voltage->setName(trace.label);
    trace.voltage->addToLegend();
    trace.current = line(Amperes, kLineWidth, Qt::SolidLine);
    trace.power = line(Watts, kLineWidth, Qt::SolidLine);
    trace.power->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssDisc, 5));
    trace.voltageSetpoint = line(Volts, 1.0, Qt::DashLine);
    trace.voltageSetpoint->setLineStyle(QCPGraph::lsStepLeft);
    trace.currentSetpoint = line(Amperes, 1.0, Qt::DashLine);
    trace.currentSetpoint->setLineStyle(QCPGraph::lsStepLeft);
    for (int n = 0; n < 3; ++n) {
        QCPGraph *shade = Plot->addGraph(m_rects[size_t(n)]->axis(QCPAxis::atBottom),
                                         m_rects[size_t(n)]->axis(QCPAxis::atRight));
        shade->setLineStyle(QCPGraph::lsStepLeft);
        shade->setPen(Qt::NoPen);
        QColor fill = colour;
        fill.setAlpha(40);
        shade->setBrush(fill);
        shade->removeFromLegend();
        shade->setLayer(QStringLiteral("background"));
        trace.outputOff[size_t(n)] = shade;
    }
    trace.lastKey = key;
    m_traces.append(trace);
    return m_traces.last();
}

void TTREND::addGap(TTrendTrace &trace, double key)
{
    for (QCPGraph *graph : {trace.voltage, trace.current, trace.voltageSetpoint, trace.currentSetpoint}) {
        if (!endsInGap(graph))
            graph->addData(key, kGap);
    }
    if (!endsInGap(trace.power))
        trace.power->addData(key, kGap);
    for (QCPGraph *shade : trace.outputOff) {
        if (!endsInGap(shade))
            shade->addData(key, kGap);
    }
}

void TTREND::AddReading(const StatusSample &sample)
{
    m_pollOutstanding = false;
    if (!sample.model.scaled())
        return;
    const double key = KeyOf(sample.time);
    TTrendTrace &trace = traceFor(sample);
    trace.voltage->addData(key, sample.outputVoltage());
    trace.current->addData(key, sample.outputCurrent());
    if (const auto watts = sample.watts())
        trace.power->addData(key, *watts);
    else if (!endsInGap(trace.power))
        trace.power->addData(key, kGap); // no line drawn across readings without power
    addStep(trace.voltageSetpoint, key, sample.voltageSetpoint());
    addStep(trace.currentSetpoint, key, sample.currentSetpoint());
    widen(trace, Volts, sample.outputVoltage());
    widen(trace, Volts, sample.voltageSetpoint());
    widen(trace, Amperes, sample.outputCurrent());
    widen(trace, Amperes, sample.currentSetpoint());
    if (const auto watts = sample.watts())
        widen(trace, Watts, *watts);
    for (QCPGraph *shade : trace.outputOff)
        addStep(shade, key, sample.status.outputOn ? 0.0 : 1.0);
    trace.lastKey = key;
    if (m_traces.size() == 1 && trace.voltage->dataCount() == 1)
        m_firstKey = key;
    m_firstKey = std::min(m_firstKey, key);
    m_lastKey = key;
    if (m_following)
        follow();
    scheduleReplot();
}

void TTREND::PollSent()
{
    // The poll before this one got no reading: no line across the silence.
    if (m_pollOutstanding && !m_traces.isEmpty())
        addGap(m_traces.last(), KeyOf(QDateTime::currentDateTime()));
    m_pollOutstanding = true;
}

void TTREND::Clear()
{
    for (const TTrendTrace &trace : m_traces) {
        for (QCPGraph *graph : {trace.voltage, trace.current, trace.power, trace.voltageSetpoint, trace.currentSetpoint})
            Plot->removeGraph(graph);
        for (QCPGraph *shade : trace.outputOff)
            Plot->removeGraph(shade);
    }
    m_traces.clear();
    m_firstKey = m_lastKey = 0;
    m_pollOutstanding = false;
    for (QCPItemStraightLine *cursor : m_cursor)
        cursor->setVisible(false);
    StaticText2->setText(tr("将鼠标移到曲线上可读出该时刻的数值"));
    scheduleReplot();
}

bool TTREND::ExportPng(const QString &path)
{
    return Plot->savePng(path, Plot->width(), Plot->height());
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
            setKeyRange(m_firstKey, m_lastKey);
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

void TTREND::Button4Click()
{
    RecordClick();
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
    if (m_traces.isEmpty() && m_lastKey == 0) {
        const double now = KeyOf(QDateTime::currentDateTime());
        setKeyRange(now - (m_spanSeconds > 0 ? m_spanSeconds : 60), now);
        return;
    }
    if (m_spanSeconds > 0)
        setKeyRange(m_lastKey - m_spanSeconds, m_lastKey);
    else
        setKeyRange(m_firstKey, std::max(m_lastKey, m_firstKey + 1.0));
}

void TTREND::setKeyRange(double lower, double upper)
{
    m_settingRange = true;
    for (QCPAxisRect *rect : m_rects)
        rect->axis(QCPAxis::atBottom)->setRange(lower, upper);
    m_settingRange = false;
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
// is not blown up; and the lines are drawn as many readings as are in view
// allow.
void TTREND::prepareReplot()
{
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
        if (data.isEmpty())
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
            const QList<QCPGraph *> graphs = n == Volts     ? QList<QCPGraph *>{trace.voltage, trace.voltageSetpoint}
                                             : n == Amperes ? QList<QCPGraph *>{trace.current, trace.currentSetpoint}
                                                            : QList<QCPGraph *>{trace.power};
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

    const bool smooth = inView <= kSmoothReadings;
    Plot->setNotAntialiasedElements(smooth ? QCP::aeNone : QCP::aePlottables);
    for (const TTrendTrace &trace : m_traces) {
        for (QCPGraph *graph : {trace.voltage, trace.current, trace.power}) {
            QPen pen = graph->pen();
            pen.setWidthF(smooth ? kLineWidth : 0.0);
            graph->setPen(pen);
        }
    }
}

void TTREND::scheduleReplot()
{
    // A hidden window is drawn when it is shown again.
    if (isVisible())
        Plot->replot(QCustomPlot::rpQueuedReplot);
}

void TTREND::onMouseMove(double key)
{
    for (QCPItemStraightLine *cursor : m_cursor) {
        cursor->point1->setCoords(key, 0);
        cursor->point2->setCoords(key, 1);
        cursor->setVisible(true);
    }
    StaticText2->setText(ReadoutAt(key));
    Plot->replot(QCustomPlot::rpQueuedReplot);
}

QString TTREND::ReadoutAt(double key) const
{
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(qint64(std::llround(key * 1000.0)));
    QStringList parts{time.toString(QStringLiteral("HH:mm:ss.z"))};
    for (const TTrendTrace &trace : m_traces) {
        double volts = 0;
        double amps = 0;
        if (!valueNear(trace.voltage, key, &volts) || !valueNear(trace.current, key, &amps))
            continue;
        double watts = 0;
        const QString power = valueNear(trace.power, key, &watts) ? QString::number(watts, 'f', 2) + QStringLiteral(" W")
                                                                  : QStringLiteral("— W");
        double setVolts = 0;
        double setAmps = 0;
        double off = 0;
        const bool haveSet = stepValueAt(trace.voltageSetpoint, key, &setVolts)
                             && stepValueAt(trace.currentSetpoint, key, &setAmps);
        const bool haveState = stepValueAt(trace.outputOff[0], key, &off);
        parts << tr("地址 %1 %2：%3 V  %4 A  %5%6%7")
                     .arg(trace.address)
                     .arg(trace.model)
                     .arg(QString::number(volts, 'f', 3), QString::number(amps, 'f', 3), power,
                          haveSet ? tr("  设定 %1 V / %2 A").arg(QString::number(setVolts, 'g', 6),
                                                                  QString::number(setAmps, 'g', 6))
                                  : QString(),
                          haveState ? (off > 0.5 ? tr("  输出关") : tr("  输出开")) : QString());
    }
    return parts.join(QStringLiteral("    "));
}
