#include "panels/trendrecording.h"

#include "record/readingrecorder.h"
#include "widgets/errorreport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>

TrendRecording::TrendRecording(ReadingRecorder *recorder, QPushButton *button, QLabel *state, QWidget *window)
    : QObject(window)
    , m_recorder(recorder)
    , m_button(button)
    , m_state(state)
    , m_window(window)
{
    connect(m_recorder, &ReadingRecorder::changed, this, &TrendRecording::showState);
    connect(m_recorder, &ReadingRecorder::failed, this, &TrendRecording::onFailed);
    showState();
}

void TrendRecording::RecordClick()
{
    if (m_recorder->Recording()) {
        StopRecording();
        return;
    }
    const QString suggested = m_lastFile.isEmpty()
                                  ? QStringLiteral("readings-%1.csv")
                                        .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")))
                                  : m_lastFile;
    // An existing file is appended to, so the dialog does not ask to overwrite it.
    const QString path = QFileDialog::getSaveFileName(
        m_window, QCoreApplication::translate("TTREND", "记录到文件（已有文件将在末尾续写）"), suggested,
        QCoreApplication::translate("TTREND", "CSV 文件 (*.csv)"), nullptr, QFileDialog::DontConfirmOverwrite);
    if (!path.isEmpty())
        StartRecording(path);
}

bool TrendRecording::StartRecording(const QString &path)
{
    QString cause;
    if (!m_recorder->Start(path, &cause)) {
        ShowMessage(QCoreApplication::translate("TTREND", "无法打开记录文件 %1：%2。未开始记录。").arg(path, cause));
        return false;
    }
    m_lastFile = path;
    emit recordingChanged(true);
    return true;
}

void TrendRecording::StopRecording()
{
    if (!m_recorder->Recording())
        return;
    m_recorder->Stop();
    emit recordingChanged(false);
}

void TrendRecording::onFailed(const QString &path, const QString &cause)
{
    emit recordingChanged(false);
    showState();
    ShowMessage(QCoreApplication::translate("TTREND",
                                            "记录已停止：写入文件 %1 失败（%2）。已写入的行仍在文件中，监测继续进行。")
                    .arg(path, cause));
}

void TrendRecording::showState()
{
    m_button->setText(m_recorder->Recording() ? QCoreApplication::translate("TTREND", "停止记录")
                                              : QCoreApplication::translate("TTREND", "开始记录"));
    if (m_recorder->Recording())
        m_state->setText(QCoreApplication::translate("TTREND", "正在记录：%1 · 已写入 %2 行")
                             .arg(m_recorder->FileName())
                             .arg(m_recorder->RowsWritten()));
    else if (!m_recorder->FileName().isEmpty())
        m_state->setText(QCoreApplication::translate("TTREND", "记录已停止：%1 · 共写入 %2 行")
                             .arg(m_recorder->FileName())
                             .arg(m_recorder->RowsWritten()));
    else
        m_state->setText(QCoreApplication::translate("TTREND", "未在记录"));
}
