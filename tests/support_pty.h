#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QVector>
#include <functional>

class QSocketNotifier;
class TMSComm;

// The far end of a real pseudo-terminal: the tool opens the slave side as an
// ordinary serial port, the test reads and writes the master side.
class PtyPeer : public QObject
{
    Q_OBJECT

public:
    struct Frame {
        qint64 atMs;        // since the peer was created
        QByteArray bytes;
    };

    explicit PtyPeer(QObject *parent = nullptr);
    ~PtyPeer() override;

    QString slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }

    // Writes bytes to the tool at once.
    void write(const QByteArray &bytes);

    // Everything the tool has sent so far (read from the master without waiting).
    QByteArray received();
    // Reads what the tool has sent, waiting up to timeoutMs for at least minBytes.
    QByteArray readSome(int minBytes, int timeoutMs);

    // Records incoming bytes as frames, cut where the line was quiet for gapMs,
    // while the event loop runs. With a responder, each frame may be answered.
    void startRecording(int gapMs = 3);
    QVector<Frame> frames();
    void setResponder(std::function<QByteArray(const QByteArray &request)> responder)
    {
        m_responder = std::move(responder);
    }

    qint64 elapsedMs() const { return m_clock.elapsed(); }

    // Closes the master side, as when the device vanishes.
    void hangUp();

private:
    void onReadable();
    void flushFrame();

    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    QSocketNotifier *m_notifier = nullptr;
    QElapsedTimer m_clock;
    QVector<Frame> m_frames;
    QByteArray m_partial;
    qint64 m_partialStart = 0;
    qint64 m_lastByteAt = 0;
    int m_gapMs = 3;
    class QTimer *m_gapTimer = nullptr;
    std::function<QByteArray(const QByteArray &)> m_responder;
};

// Waits, without running the event loop, until comm counts exactly `count`
// received bytes: what the peer writes reaches the tool's side of the
// pseudo-terminal a moment later, later still on a loaded machine. False when
// the count is not reached within timeoutMs.
bool WaitUntilCounted(TMSComm &comm, int count, int timeoutMs = 5000);

// Opens the tool's serial control (the main window's) on device as COMn, the
// way the serial settings dialog would after mapping the port.
void OpenToolPort(const QString &device, int port = 1);
