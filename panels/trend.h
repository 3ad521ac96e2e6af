#pragma once

#include "panels/trendplot.h"

#include <QList>
#include <QString>
#include <QWidget>
#include <array>

class QCheckBox;
class QComboBox;
class QCustomPlot;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class ReadingRecorder;
class TrendCursors;
class TrendExport;
class TrendModel;
class TrendRecording;
struct Reading;
struct ReadingModel;

// The trend: measured voltage, current and power of the readings in the
// trend model against time, in three stacked plots on one time axis, with
// the setpoints as dashed lines, the periods with the output off shaded and
// a legend beside the plots that names them all. A poll that got no reply
// leaves a gap. The window only draws: the readings are the model's, and the
// recorder beside it writes every reading the model takes to a CSV file.
//
// The window holds the controls and puts together its parts: the plot (with
// the time span in view), the cursors and figures of the view, the exports
// and the recording switch. Every part's texts are translated in the
// window's context (TTREND), so the catalogue knows them under one name.
class TTREND : public QWidget
{
    Q_OBJECT

public:
    // The model and the recorder are made beside the window (children of
    // parent) and take the status feed's readings whether it is shown or not.
    explicit TTREND(QWidget *parent);
    ~TTREND() override;

    // Series drawn for every trace that can be shown or hidden as a whole.
    enum Series { Setpoints = TrendSetpoints, ComputedPower = TrendComputedPower, ReadPower = TrendReadPower,
                  OutputOff = TrendOutputOff, SeriesCount = TrendSeriesKinds };

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
    bool Following() const { return m_plot->following(); }
    // The values of the shown traces near a time, as the hover readout shows them.
    QString ReadoutAt(double key) const;

    void SetTraceShown(int trace, bool shown);
    void SetSeriesShown(Series series, bool shown);
    bool SeriesShown(Series series) const { return m_plot->seriesShown(TrendSeriesKind(series)); }
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
    QString TimeFormat() const { return m_plot->timeFormat(); }

    const QList<TTrendTrace> &Traces() const { return m_plot->traces(); }
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
    void connectHandlers();
    void ComboBox1Change();
    void Button1Click();
    void RangeChange(int plot);

    TrendModel *m_model;
    TrendPlot *m_plot = nullptr;
    TrendCursors *m_cursors = nullptr;
    TrendExport *m_export = nullptr;
    TrendRecording *m_recording = nullptr;
};
