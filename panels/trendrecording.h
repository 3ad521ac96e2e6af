#pragma once

#include <QObject>
#include <QString>

class QLabel;
class QPushButton;
class QWidget;
class ReadingRecorder;

// The trend's recording switch: the button starts a recording (asking for
// the file; an existing one is appended to) or stops it, the status line
// tells the file and the rows written, and a failed write stops it with a
// message while the monitoring goes on.
class TrendRecording : public QObject
{
    Q_OBJECT

public:
    TrendRecording(ReadingRecorder *recorder, QPushButton *button, QLabel *state, QWidget *window);

    void RecordClick();
    bool StartRecording(const QString &path);
    void StopRecording();

signals:
    void recordingChanged(bool recording);

private:
    void showState();
    void onFailed(const QString &path, const QString &cause);

    ReadingRecorder *m_recorder;
    QPushButton *m_button;
    QLabel *m_state;
    QWidget *m_window;
    QString m_lastFile;
};
