#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QWidget>
#include <array>

#include <qcustomplot.h>

class QCPAxisRect;
class QCPGraph;
class QCPItemStraightLine;
class QCPTextElement;
class QCheckBox;
class QComboBox;
class QCustomPlot;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QTimer;
class ReadingRecorder;
class TrendModel;
struct ReadingModel;
struct Reading;

// How one trace of the model is drawn: its graphs in the trend's plot.
struct TTrendTrace {
    int address = 0;
    QString model;
    QDateTime started;
    QString label;
    QCPGraph *voltage = nullptr;
    QCPGraph *current = nullptr;
    // Power as read (dots) and as voltage x current at every reading (a pale line).
    QCPGraph *power = nullptr;
    QCPGraph *computedPower = nullptr;
    QCPGraph *voltageSetpoint = nullptr;
    QCPGraph *currentSetpoint = nullptr;
    // Output-off shading, one per plot (1 while off, a gap while on).
    std::array<QCPGraph *, 3> outputOff{};
    // The value span of each plot over the whole trace (measured values and
    // setpoints), kept as readings come so that a whole day on screen is not
    // scanned at every repaint.
    std::array<QCPRange, 3> span{};
    std::array<bool, 3> spanKnown{};
    bool shown = true;
};

// The trend: measured voltage, current and power of the readings in the
// trend model against time, in three stacked plots on one time axis, with
// the setpoints as dashed lines, the periods with the output off shaded and
// a legend beside the plots that names them all. A poll that got no reply
// leaves a gap. The window only draws: the readings are the model's, and the
// recorder beside it writes every reading the model takes to a CSV file.
class TTREND : public QWidget
{
    Q_OBJECT

public:
    // The model and the recorder are made beside the window (children of
    // parent) and take the status feed's readings whether it is shown or not.
    explicit TTREND(QWidget *parent);
    ~TTREND() override;

    // Series drawn for every trace that can be shown or hidden as a whole.
    enum Series { Setpoints, ComputedPower, ReadPower, OutputOff, SeriesCount };

    QComboBox *ComboBox1;   // time span
    QPushButton *Button1;   // follow the newest reading
    QPushButton *Button2;   // clear
    QPushButton *Button3;   // export PNG
    QPushButton *Button4;   // start / stop recording
    QPushButton *Button5;   // export the visible range to CSV
    QPushButton *Button6;   // cursors on / off
    QLabel *StaticText1;    // the recorder's state
    QLabel *StaticText2;    // values under the mouse
    std::array<QCheckBox *, 3> RangeAuto{};
    std::array<QDoubleSpinBox *, 3> RangeLow{};
    std::array<QDoubleSpinBox *, 3> RangeHigh{};
    QCustomPlot *Plot;
    ReadingRecorder *Recorder;

    TrendModel *Model() const { return m_model; }

    // A status reading (the model takes it).
    void AddReading(const Reading &sample);
    // A status poll went out: if the one before got no reading, its trace
    // gets a gap here.
    void PollSent();

    // Shows the window with the traces of address only (0: every address),
    // following the newest reading. Traces that start later are shown; a
    // click on the legend hides them.
    void showAddress(int address);
    // The model of the supply at address (see TrendModel::setAddressModel).
    void setAddressModel(int address, const ReadingModel &model);

    void Clear();
    // The plots as they are, without the readout under the mouse.
    bool ExportPng(const QString &path);
    // Writes the shown traces' readings in the visible time range in
    // psuctl's CSV on a thread of its own; csvExported() tells the end.
    void ExportCsv(const QString &path);
    // Recording: the button asks for a file; the others are its steps.
    void RecordClick();
    bool StartRecording(const QString &path);
    void StopRecording();

    // Span choices in seconds, 0 for everything.
    void SetSpanSeconds(int seconds);
    bool Following() const { return m_following; }
    // The values of the shown traces near a time, as the hover readout shows them.
    QString ReadoutAt(double key) const;

    void SetTraceShown(int trace, bool shown);
    void SetSeriesShown(Series series, bool shown);
    bool SeriesShown(Series series) const { return m_seriesShown[size_t(series)]; }
    // A fixed value range for plot 0 (V), 1 (A) or 2 (W); lower must be below upper.
    bool SetValueRange(int plot, double lower, double upper);
    void SetAutoRange(int plot);

    // Two cursors at times a and b; the readout of their differences.
    void SetCursors(double a, double b);
    void HideCursors();
    QString CursorText() const;
    // Minimum, maximum and mean of the shown traces in the visible time range.
    QString StatsText() const;
    // The time axis's label format.
    QString TimeFormat() const;

    const QList<TTrendTrace> &Traces() const { return m_traces; }
    // Reading time as a plot key (seconds since the epoch).
    static double KeyOf(const QDateTime &time);

signals:
    void recordingChanged(bool recording);
    void csvExported(const QString &path, bool ok, const QString &cause);

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void buildLegend();
    void connectHandlers();
    void onTraceStarted(int index);
    void onReadingAdded(int index, const Reading &sample);
    void onGapAdded(int index, double key);
    void onCleared();
    void ComboBox1Change();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button5Click();
    void Button6Click();
    void RangeChange(int plot);
    void follow();
    void setKeyRange(double lower, double upper);
    void onKeyRangeChanged();
    void prepareReplot();
    void updateTexts();
    void applyVisibility();
    void widen(TTrendTrace &trace, int plot, double value);
    void scheduleReplot();
    void replotForReading(double key);
    void showRecorderState();
    void onRecordingFailed(const QString &path, const QString &cause);
    void onMouseMove(QMouseEvent *event);
    void onMousePress(QMouseEvent *event);
    void onMouseRelease();
    void onLegendClick(QCPAbstractLegendItem *item);
    void hideHover();
    double reach() const;
    QString timeText(double key) const;

    TrendModel *m_model;
    std::array<QCPAxisRect *, 3> m_rects{};
    std::array<QCPItemStraightLine *, 3> m_hover{};
    std::array<std::array<QCPItemStraightLine *, 3>, 2> m_cursorLines{};
    std::array<double, 2> m_cursorKeys{};
    bool m_cursorsShown = false;
    int m_draggedCursor = -1;
    std::array<QCPGraph *, SeriesCount> m_seriesKeys{};
    std::array<bool, SeriesCount> m_seriesShown{true, true, true, true};
    std::array<bool, 3> m_fixed{};
    std::array<QCPRange, 3> m_fixedRange{};
    QCPLegend *m_keyLegend = nullptr;
    QCPTextElement *m_statsText = nullptr;
    QCPTextElement *m_cursorText = nullptr;
    QSharedPointer<QCPAxisTickerDateTime> m_times;
    QList<TTrendTrace> m_traces;
    int m_spanSeconds = 600;
    bool m_following = true;
    bool m_settingRange = false;
    bool m_textsDirty = true;
    QCPRange m_textsRange;
    QString m_lastRecordFile;
    QTimer *m_replotTimer;
    QElapsedTimer m_sinceReplot;
};
