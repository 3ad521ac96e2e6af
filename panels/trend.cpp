#include "panels/trend.h"

#include "link/statusfeed.h"
#include "panels/trendcursors.h"
#include "panels/trendexport.h"
#include "panels/trendrecording.h"
#include "record/readingrecorder.h"
#include "record/trendmodel.h"
#include "widgets/errorreport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

namespace {

QPushButton *makeButton(QWidget *parent, const QString &name, const QString &text)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    return button;
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
    // The recorder writes each reading the model takes, as the model took
    // it, before the plot draws it.
    connect(m_model, &TrendModel::readingAdded, Recorder,
            [recorder = Recorder](int, const Reading &sample) { recorder->Record(sample); });
    buildControls();
    resize(960, 640);
    connectHandlers();
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
    m_plot = new TrendPlot(Plot, m_model, this);
    m_cursors = new TrendCursors(m_plot, m_model, Button6, StaticText2, this);
    m_export = new TrendExport(m_plot, m_cursors, m_model, Button5, StaticText2, this);
    m_recording = new TrendRecording(Recorder, Button4, StaticText1, this);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(tools);
    layout->addLayout(ranges);
    layout->addWidget(Plot, 1);
    layout->addWidget(StaticText2);
    layout->addWidget(StaticText1);
}

void TTREND::connectHandlers()
{
    ConnectHandler(ComboBox1, &QComboBox::currentIndexChanged, this, &TTREND::ComboBox1Change);
    ConnectHandler(Button1, &QPushButton::clicked, this, &TTREND::Button1Click);
    ConnectHandler(Button2, &QPushButton::clicked, this, &TTREND::Clear);
    ConnectHandler(Button3, &QPushButton::clicked, m_export, &TrendExport::PngClick);
    ConnectHandler(Button4, &QPushButton::clicked, m_recording, &TrendRecording::RecordClick);
    ConnectHandler(Button5, &QPushButton::clicked, m_export, &TrendExport::CsvClick);
    ConnectHandler(Button6, &QPushButton::clicked, m_cursors, &TrendCursors::ButtonClick);
    for (int n = 0; n < 3; ++n) {
        const auto change = [this, n] { RunHandler([this, n] { RangeChange(n); }); };
        connect(RangeAuto[size_t(n)], &QCheckBox::toggled, this, change);
        connect(RangeLow[size_t(n)], &QDoubleSpinBox::valueChanged, this, change);
        connect(RangeHigh[size_t(n)], &QDoubleSpinBox::valueChanged, this, change);
    }
    // The model takes every reading, shown or not.
    m_model->listenTo(TheStatusFeed());
    connect(m_plot, &TrendPlot::followingStopped, Button1, [this] { Button1->setChecked(false); });
    connect(m_export, &TrendExport::csvExported, this, &TTREND::csvExported);
    connect(m_recording, &TrendRecording::recordingChanged, this, &TTREND::recordingChanged);
    Plot->installEventFilter(this);
}

void TTREND::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_plot->windowShown();
}

bool TTREND::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Plot && event->type() == QEvent::Leave)
        m_cursors->mouseLeft();
    return QWidget::eventFilter(watched, event);
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
    m_plot->showOnlyAddress(address);
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
    return m_export->ExportPng(path);
}

void TTREND::ExportCsv(const QString &path)
{
    m_export->ExportCsv(path);
}

void TTREND::RecordClick()
{
    m_recording->RecordClick();
}

bool TTREND::StartRecording(const QString &path)
{
    return m_recording->StartRecording(path);
}

void TTREND::StopRecording()
{
    m_recording->StopRecording();
}

void TTREND::SetSpanSeconds(int seconds)
{
    const int index = ComboBox1->findData(seconds);
    if (index >= 0 && index != ComboBox1->currentIndex()) {
        // The choice shown follows; its change handler sets the span.
        const QSignalBlocker quiet(ComboBox1);
        ComboBox1->setCurrentIndex(index);
    }
    m_plot->setSpanSeconds(seconds);
}

void TTREND::ComboBox1Change()
{
    SetSpanSeconds(ComboBox1->currentData().toInt());
}

void TTREND::Button1Click()
{
    Button1->setChecked(true);
    m_plot->startFollowing();
}

void TTREND::RangeChange(int plot)
{
    const size_t n = size_t(plot);
    const bool automatic = RangeAuto[n]->isChecked();
    RangeLow[n]->setEnabled(!automatic);
    RangeHigh[n]->setEnabled(!automatic);
    if (automatic) {
        m_plot->setAutoRange(plot);
        return;
    }
    if (!m_plot->rangeFixed(plot)) {
        // Fixing starts from the range shown.
        const QCPRange shown = m_plot->valueRange(plot);
        m_plot->setFixedRange(plot, shown);
        const QSignalBlocker low(RangeLow[n]);
        const QSignalBlocker high(RangeHigh[n]);
        RangeLow[n]->setValue(shown.lower);
        RangeHigh[n]->setValue(shown.upper);
    }
    if (RangeLow[n]->value() >= RangeHigh[n]->value()) {
        StaticText2->setText(tr("下限须小于上限，数值范围未改变"));
        return;
    }
    m_plot->setFixedRange(plot, QCPRange(RangeLow[n]->value(), RangeHigh[n]->value()));
}

bool TTREND::SetValueRange(int plot, double lower, double upper)
{
    if (plot < 0 || plot > 2 || !(lower < upper))
        return false;
    const size_t n = size_t(plot);
    m_plot->setFixedRange(plot, QCPRange(lower, upper));
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
    m_plot->setTraceShown(trace, shown);
}

void TTREND::SetSeriesShown(Series series, bool shown)
{
    m_plot->setSeriesShown(TrendSeriesKind(series), shown);
}

void TTREND::SetCursors(double a, double b)
{
    m_cursors->SetCursors(a, b);
}

void TTREND::HideCursors()
{
    m_cursors->HideCursors();
}

QString TTREND::CursorText() const
{
    return m_cursors->CursorText();
}

QString TTREND::StatsText() const
{
    return m_cursors->StatsText();
}

QString TTREND::ReadoutAt(double key) const
{
    return m_cursors->ReadoutAt(key);
}
