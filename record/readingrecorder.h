#pragma once

#include "link/readingformat.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <atomic>
#include <memory>

class QFile;
class QThread;
class QTimer;
class RecorderWriter;

// Keeps every status reading as one CSV row, in psuctl's header and formats,
// so that one script reads either. The file is written by a thread of its
// own: a slow disk never holds up the GUI thread. Each row goes to the
// operating system as soon as it is written (a crash of the tool loses no
// row already decoded), and the file is synced to the disk at least every
// 10 s. An existing file is appended to, without a second header.
//
// A write error stops the recording (failed() names the file and the cause);
// the rows already written stay.
class ReadingRecorder : public QObject
{
    Q_OBJECT

public:
    explicit ReadingRecorder(QObject *parent = nullptr);
    ~ReadingRecorder() override;

    // Opens path for appending. On failure returns false, records nothing and
    // leaves the reason in *cause.
    bool Start(const QString &path, QString *cause);
    // Stops after the rows handed over so far are written and synced.
    void Stop();

    bool Recording() const { return m_recording; }
    QString FileName() const { return m_path; }
    // Rows the writer has confirmed written (the header not counted).
    qint64 RowsWritten() const { return m_rows ? m_rows->load() : 0; }

    // One reading (those without a model's scales are not recorded).
    void Record(const Reading &sample);

    // The cause of an I/O error in the operator's words.
    static QString DescribeError(int error);

signals:
    // The state, the file or the count of rows changed.
    void changed();
    // A write failed; the recording has stopped.
    void failed(const QString &path, const QString &cause);

private:
    void onWritten();
    void onWriteFailed(const QString &cause);

    // Each recording has a writer on a thread of its own; a stopped one
    // finishes its rows and ends by itself.
    QThread *m_thread = nullptr;
    RecorderWriter *m_writer = nullptr;
    // Every writer thread not yet gone, waited for when the recorder goes.
    QList<QPointer<QThread>> m_threads;
    // Rows written by the current writer or, after a stop, by the last one
    // (whose final rows may still come in); counted on the writer's thread.
    std::shared_ptr<std::atomic<qint64>> m_rows;
    bool m_recording = false;
    QString m_path;
};

// Lives on a recording's thread: owns the open file, writes each row as it
// comes and syncs the file on a 10 s rhythm while rows are unsynced.
class RecorderWriter : public QObject
{
    Q_OBJECT

public:
    RecorderWriter(QFile *file, std::shared_ptr<std::atomic<qint64>> rows);

    void writeLine(const QByteArray &line, bool counted);
    // Syncs and closes the file.
    void finish();

signals:
    void written();
    void failed(const QString &cause);

private:
    void sync();
    void fail(int error);

    QFile *m_file;
    QTimer *m_syncTimer;
    QElapsedTimer m_sinceSync;
    std::shared_ptr<std::atomic<qint64>> m_rows;
    bool m_dirty = false;
    bool m_failed = false;
};
