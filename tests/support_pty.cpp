#include "support_pty.h"

#include "app/forms.h"
#include "app/mainwindow.h"
#include "link/commports.h"
#include "link/mscomm.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer(QObject *parent)
    : QObject(parent)
{
    char name[256] = {};
    struct termios raw = {};
    cfmakeraw(&raw);
    if (::openpty(&m_master, &m_slave, name, &raw, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slavePath = QString::fromLocal8Bit(name);
    m_clock.start();
}

PtyPeer::~PtyPeer()
{
    hangUp();
}

void PtyPeer::hangUp()
{
    delete m_notifier;
    m_notifier = nullptr;
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = m_slave = -1;
}

void PtyPeer::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0) {
            if (errno == EAGAIN) {
                QThread::usleep(200);
                continue;
            }
            throw std::runtime_error("write to pty master failed");
        }
        done += n;
    }
}

QByteArray PtyPeer::received()
{
    QByteArray all;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        all.append(buffer, n);
    }
    return all;
}

QByteArray PtyPeer::readSome(int minBytes, int timeoutMs)
{
    QByteArray all;
    QElapsedTimer clock;
    clock.start();
    while (all.size() < minBytes && clock.elapsed() < timeoutMs) {
        struct pollfd pfd = {m_master, POLLIN, 0};
        ::poll(&pfd, 1, 10);
        all += received();
    }
    return all;
}

void PtyPeer::startRecording(int gapMs)
{
    m_gapMs = gapMs;
    if (m_notifier)
        return;
    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PtyPeer::onReadable);
    m_gapTimer = new QTimer(this);
    m_gapTimer->setSingleShot(true);
    connect(m_gapTimer, &QTimer::timeout, this, &PtyPeer::flushFrame);
}

void PtyPeer::onReadable()
{
    const QByteArray bytes = received();
    if (bytes.isEmpty())
        return;
    if (m_partial.isEmpty())
        m_partialStart = m_clock.elapsed();
    m_partial += bytes;
    m_lastByteAt = m_clock.elapsed();
    m_gapTimer->start(m_gapMs);
}

void PtyPeer::flushFrame()
{
    if (m_partial.isEmpty())
        return;
    const QByteArray frame = m_partial;
    m_frames.append({m_partialStart, frame});
    m_partial.clear();
    if (m_responder) {
        const QByteArray answer = m_responder(frame);
        if (!answer.isEmpty())
            write(answer);
    }
}

QVector<PtyPeer::Frame> PtyPeer::frames()
{
    return m_frames;
}

bool WaitUntilCounted(TMSComm &comm, int count, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (comm.InBufferCount() != count) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::usleep(100);
    }
    return true;
}

void OpenToolPort(const QString &device, int port)
{
    MapCommPort(port, device);
    MAIN->MSComm1->SetCommPort(short(port));
    MAIN->MSComm1->SetPortOpen(true);
}
