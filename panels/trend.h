#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QWidget>
#include <array>

#include <qcustomplot.h>

class QCPAxisRect;
class QCPGraph;
class QCPItemStraightLine;
class QComboBox;
class QCustomPlot;
class QLabel;
class QPushButton;
class ReadingRecorder;
struct StatusSample;

// One run of readings from one supply: one address, one model, times that
// only go forward. Its graphs live in the trend's plot.
struct TTrendTrace {
    int address = 0;
    QString model;
    QDateTime started;
    QString label;
    QCPGraph *voltage = nullptr;
    QCPGraph *current = nullptr;
    QCPGraph *power = nullptr;
    QCPGraph *voltageSetpoint = nullptr;
    QCPGraph *currentSetpoint = nullptr;
    // Output-off shading, one per plot (1 while off, 0 while on).
    std::array<QCPGraph *, 3> outputOff{};
    double lastKey = 0;
    // The value span of each plot over the whole trace (measured values and
    // setpoints), kept as readings come so that a whole day on screen is not
    // scanned at every repaint.
    std::array<QCPRange, 3> span{};
    std::array<bool, 3> spanKnown{};
};

// The trend: measured voltage, current and power of the status readings
// against time, in three stacked plots on one time axis, with the setpoints
// as thin lines and the periods with the output off shaded. A poll that got
// no reply leaves a gap. Another address or model, or a clock set back,
// starts a new trace; the old ones stay until cleared. The window also holds
// the recorder, which writes every reading to a CSV file.
class TTREND : public QWidget
{
    Q_OBJECT

public:
    explicit TTREND(QWidget *parent);
    ~TTREND() override;

    QComboBox *ComboBox1;   // time span
    QPushButton *Button1;   // follow the newest reading
    QPushButton *Button2;   // clear
    QPushButton *Button3;   // export PNG
    QPushButton *Button4;   // start / stop recording
    QLabel *StaticText1;    // the recorder's state
    QLabel *StaticText2;    // values under the cursor
    QCustomPlot *Plot;
    ReadingRecorder *Recorder;

    // A status reading (listener of the status feed). Readings without a
    // model's scales add nothing.
    void AddReading(const StatusSample &sample);
    // A status poll went out: if the one before got no reading, the trace
    // gets a gap here.
    void PollSent();

    void Clear();
    bool ExportPng(const QString &path);
    // Recording: the button asks for a file; the others are its steps.
    void RecordClick();
    bool StartRecording(const QString &path);
    void StopRecording();

    // Span choices in seconds, 0 for everything.
    void SetSpanSeconds(int seconds);
    bool Following() const { return m_following; }
    // The values under a time, as the hover readout shows them.
    QString ReadoutAt(double key) const;

    const QList<TTrendTrace> &Traces() const { return m_traces; }
    // Reading time as a plot key (seconds since the epoch).
    static double KeyOf(const QDateTime &time);

signals:
    void recordingChanged(bool recording);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void buildControls();
    void connectHandlers();
    TTrendTrace &traceFor(const StatusSample &sample);
    void addGap(TTrendTrace &trace, double key);
    void ComboBox1Change();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void follow();
    void setKeyRange(double lower, double upper);
    void onKeyRangeChanged();
    void prepareReplot();
    void widen(TTrendTrace &trace, int plot, double value);
    void scheduleReplot();
    void showRecorderState();
    void onRecordingFailed(const QString &path, const QString &cause);
    void onMouseMove(double key);

    std::array<QCPAxisRect *, 3> m_rects{};
    std::array<QCPItemStraightLine *, 3> m_cursor{};
    QList<TTrendTrace> m_traces;
    int m_spanSeconds = 600;
    bool m_following = true;
    bool m_settingRange = false;
    bool m_pollOutstanding = false;
    double m_firstKey = 0;
    double m_lastKey = 0;
    QString m_lastRecordFile;
};
