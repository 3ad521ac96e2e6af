#include "record/readingrecorder.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr int kSyncIntervalMs = 10000;

int syncToDisk(int fd)
{
#ifdef Q_OS_WIN
    return _commit(fd);
#else
    return ::fsync(fd);
#endif
}

} // namespace

RecorderWriter::RecorderWriter(QFile *file, std::shared_ptr<std::atomic<qint64>> rows)
    : m_file(file), m_syncTimer(new QTimer(this)), m_rows(std::move(rows))
{
    m_file->setParent(this);
    m_syncTimer->setInterval(kSyncIntervalMs);
    connect(m_syncTimer, &QTimer::timeout, this, &RecorderWriter::sync);
    m_sinceSync.start();
}

void RecorderWriter::writeLine(const QByteArray &line, bool counted)
{
    if (m_failed)
        return;
    // Unbuffered: each write goes straight to the operating system.
    errno = 0;
    if (m_file->write(line) != line.size()) {
        fail(errno);
        return;
    }
    m_dirty = true;
    if (counted) {
        ++*m_rows;
        emit written();
    }
    if (m_sinceSync.elapsed() >= kSyncIntervalMs)
        sync();
    else if (!m_syncTimer->isActive())
        m_syncTimer->start();
}

void RecorderWriter::finish()
{
    sync();
    m_syncTimer->stop();
    m_file->close();
}

void RecorderWriter::sync()
{
    m_syncTimer->stop();
    m_sinceSync.restart();
    if (!m_dirty || m_failed)
        return;
    m_dirty = false;
    if (syncToDisk(m_file->handle()) != 0)
        fail(errno);
}

void RecorderWriter::fail(int error)
{
    m_failed = true;
    emit failed(error ? ReadingRecorder::DescribeError(error) : m_file->errorString());
}

ReadingRecorder::ReadingRecorder(QObject *parent)
    : QObject(parent)
{
}

ReadingRecorder::~ReadingRecorder()
{
    Stop();
    // The last rows are written before the recorder goes: a writer still
    // finishing reports back to it.
    for (const QPointer<QThread> &thread : std::as_const(m_threads)) {
        if (thread)
            thread->wait();
    }
}

QString ReadingRecorder::DescribeError(int error)
{
    switch (error) {
    case ENOSPC:
        return tr("磁盘已满");
#ifdef EDQUOT
    case EDQUOT:
        return tr("磁盘配额已用完");
#endif
    case EROFS:
        return tr("只读文件系统");
    case EACCES:
    case EPERM:
        return tr("没有写入权限");
    case ENOENT:
        return tr("文件夹不存在");
    case EISDIR:
        return tr("这是一个文件夹");
    case EIO:
        return tr("输入输出错误（设备可能已被拔出）");
#ifdef ENODEV
    case ENODEV:
#endif
    case ENXIO:
        return tr("设备已不存在");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

bool ReadingRecorder::Start(const QString &path, QString *cause)
{
    if (m_recording)
        Stop();
    auto *file = new QFile(path);
    // A pipe or a device cannot seek to an end to append at: it is written
    // where it stands (opening it to append would try that seek, and warn).
    const QFileInfo existing(path);
    const QIODevice::OpenMode at = existing.exists() && !existing.isFile() ? QIODevice::NotOpen : QIODevice::Append;
    errno = 0;
    if (!file->open(QIODevice::WriteOnly | at | QIODevice::Unbuffered)) {
        const int error = errno;
        if (cause)
            *cause = error ? DescribeError(error) : file->errorString();
        delete file;
        return false;
    }
    const bool needsHeader = file->size() == 0;

    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("recorder"));
    m_rows = std::make_shared<std::atomic<qint64>>(0);
    m_writer = new RecorderWriter(file, m_rows);
    m_writer->moveToThread(m_thread);
    connect(m_writer, &RecorderWriter::written, this, &ReadingRecorder::onWritten);
    connect(m_writer, &RecorderWriter::failed, this, &ReadingRecorder::onWriteFailed);
    connect(m_thread, &QThread::finished, m_writer, &QObject::deleteLater);
    connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    m_thread->start();
    m_threads.removeIf([](const QPointer<QThread> &thread) { return thread.isNull(); });
    m_threads.append(m_thread);

    m_path = path;
    m_recording = true;
    if (needsHeader) {
        const QByteArray header = ReadingHeader(ReadingFormat::Csv).toUtf8() + '\n';
        QMetaObject::invokeMethod(m_writer, [writer = m_writer, header] { writer->writeLine(header, false); });
    }
    emit changed();
    return true;
}

void ReadingRecorder::Stop()
{
    if (!m_writer)
        return;
    RecorderWriter *writer = m_writer;
    QThread *thread = m_thread;
    m_writer = nullptr;
    m_thread = nullptr;
    // The rows already handed over are written and synced first, on the
    // writer's thread, which then ends and deletes itself: nothing here waits
    // for the disk.
    QMetaObject::invokeMethod(writer, [this, writer, thread] {
        writer->finish();
        thread->quit();
        // The count of the last rows, now final.
        QMetaObject::invokeMethod(this, [this] { emit changed(); });
    });
    const bool wasRecording = m_recording;
    m_recording = false;
    if (wasRecording)
        emit changed();
}

void ReadingRecorder::Record(const Reading &sample)
{
    if (!m_recording || !m_writer || !sample.model.scaled())
        return;
    const QByteArray line = FormatReading(sample, ReadingFormat::Csv).toUtf8() + '\n';
    QMetaObject::invokeMethod(m_writer, [writer = m_writer, line] { writer->writeLine(line, true); });
}

void ReadingRecorder::onWritten()
{
    emit changed();
}

void ReadingRecorder::onWriteFailed(const QString &cause)
{
    if (!m_recording)
        return;
    const QString path = m_path;
    Stop();
    emit failed(path, cause);
}

