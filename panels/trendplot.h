#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <array>

#include <qcustomplot.h>

class QTimer;
class TrendModel;
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

// Series drawn for every trace that can be shown or hidden as a whole.
enum TrendSeriesKind { TrendSetpoints, TrendComputedPower, TrendReadPower, TrendOutputOff, TrendSeriesKinds };

// The drawing of the trend: the model's traces in three stacked plots (V, A,
// W) on one time axis, the legend of the traces and the keys to how each is
// drawn in a column beside them, the time span in view (following the newest
// reading, or where the operator dragged or zoomed it) and the value range of
// each plot. It draws at most once per reading, and less often while a
// reading moves the lines by less than a pixel.
class TrendPlot : public QObject
{
    Q_OBJECT

public:
    TrendPlot(QCustomPlot *plot, TrendModel *model, QObject *parent);

    QCustomPlot *plot() const { return m_plot; }
    QCPAxisRect *rect(int n) const { return m_rects[size_t(n)]; }
    QCPAxis *timeAxis() const { return m_rects[0]->axis(QCPAxis::atBottom); }
    QCPRange keyRange() const { return timeAxis()->range(); }
    // The column beside the plots; rows 2 and 3 are free for the figures of the view.
    QCPLayoutGrid *side() const { return m_side; }
    QString timeFormat() const { return m_times->dateTimeFormat(); }

    const QList<TTrendTrace> &traces() const { return m_traces; }
    bool traceShown(int trace) const { return m_traces.at(trace).shown; }
    void setTraceShown(int trace, bool shown);
    // Shows the traces of address only (0: every one).
    void showOnlyAddress(int address);
    void setSeriesShown(TrendSeriesKind series, bool shown);
    bool seriesShown(TrendSeriesKind series) const { return m_seriesShown[size_t(series)]; }
    // A legend item clicked: its trace or its series shown or hidden.
    void legendClicked(QCPAbstractLegendItem *item);

    // The value range of plot n: fixed, or following what is in view.
    void setFixedRange(int n, const QCPRange &range);
    void setAutoRange(int n);
    bool rangeFixed(int n) const { return m_fixed[size_t(n)]; }
    QCPRange valueRange(int n) const { return m_rects[size_t(n)]->axis(QCPAxis::atLeft)->range(); }

    // Span in view in seconds, 0 for everything.
    void setSpanSeconds(int seconds);
    bool following() const { return m_following; }
    // The newest readings in view again, at the span chosen.
    void startFollowing();
    // The window was shown: the view catches up with the readings taken while hidden.
    void windowShown();

    // Draws again soon (once per pass of the event loop), if shown.
    void scheduleReplot();

signals:
    // The operator dragged or zoomed the time axis: the view no longer follows.
    void followingStopped();
    // What the figures of the view count changed: readings, traces shown.
    void contentChanged();

private:
    void build();
    void buildLegend();
    void onTraceStarted(int index);
    void onReadingAdded(int index, const Reading &sample);
    void onGapAdded(int index, double key);
    void onCleared();
    void follow();
    void setKeyRange(double lower, double upper);
    void applyVisibility();
    void prepareReplot();
    void replotForReading(double key);
    bool isShown() const;

    QCustomPlot *m_plot;
    TrendModel *m_model;
    std::array<QCPAxisRect *, 3> m_rects{};
    std::array<QCPGraph *, TrendSeriesKinds> m_seriesKeys{};
    std::array<bool, TrendSeriesKinds> m_seriesShown{true, true, true, true};
    std::array<bool, 3> m_fixed{};
    std::array<QCPRange, 3> m_fixedRange{};
    QCPLegend *m_keyLegend = nullptr;
    QCPLayoutGrid *m_side = nullptr;
    QSharedPointer<QCPAxisTickerDateTime> m_times;
    QList<TTrendTrace> m_traces;
    int m_spanSeconds = 600;
    bool m_following = true;
    bool m_settingRange = false;
    QTimer *m_replotTimer;
    QElapsedTimer m_sinceReplot;
};
