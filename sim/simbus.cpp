#include "sim/simbus.h"

#include "sim/simexchange.h"
#include "sim/simline.h"

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

// Everything the facade and the engine share, under one lock.
struct SimBus::State {
    mutable QMutex mutex;
    QElapsedTimer clock;
    LineSettings line;
    int turnaroundMs = 5;
    Pacing pacing = Pacing::Automatic;
    bool checkLineSpeed = true;
    bool isPty = false;
    int fd = -1;
    // The pseudo-terminal's far end, held open so that the bus never sees a
    // hang-up while the tool has its port closed.
    int slaveFd = -1;
    QString path;
    QVector<SimSupply> supplies;
    QVector<SimFrameRecord> record;
    bool keepRecord = true;
    std::function<void(const SimFrameRecord &)> observer;

    ~State()
    {
        if (fd >= 0)
            ::close(fd);
        if (slaveFd >= 0)
            ::close(slaveFd);
    }
};

// The part of the bus that does I/O. It lives in the thread the bus runs in
// (the caller's, or a thread of its own; being moved there, it has no parent).
class SimBus::Engine : public QObject
{
public:
    explicit Engine(std::shared_ptr<State> state) : m_state(std::move(state)) {}

    void begin(Pacing pacing);
    void end();
    void queueNoise(const QByteArray &bytes, const QString &note);

private:
    struct Piece {
        QByteArray bytes;
        qint64 notBeforeUs = 0;      // earliest start, 0 for none
        qint64 gapBeforeUs = 0;      // silence after whatever went before
        int address = -1;
        QString note;
        bool started = false;
        qint64 startUs = 0;          // when its first bit goes on the line
        int written = 0;
        qint64 firstWriteUs = -1;
        qint64 lastWriteUs = -1;
    };

    void onReadable();
    void onFrameGap();
    void process(const QByteArray &frame, qint64 startUs, qint64 endUs);
    void queueReply(const SimAnswer &answer, int address, qint64 dueUs);
    void pump();
    void addRecord(const SimFrameRecord &entry);
    QByteArray noiseBytes(int count);
    qint64 now() const { return m_state->clock.nsecsElapsed() / 1000; }

    std::shared_ptr<State> m_state;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_gapTimer = nullptr;
    QTimer *m_sendTimer = nullptr;
    Pacing m_pacing = Pacing::PerByte;
    double m_charUs = 1000.0;
    QByteArray m_rx;
    qint64 m_rxStartUs = 0;
    qint64 m_rxEndUs = 0;
    QList<Piece> m_pieces;
    qint64 m_lineFreeUs = 0;
    quint32 m_noiseState = 0x2545F491u;
};

void SimBus::Engine::begin(Pacing pacing)
{
    m_pacing = pacing;
    int fd;
    int gapMs;
    {
        QMutexLocker lock(&m_state->mutex);
        fd = m_state->fd;
        m_charUs = m_state->line.charMicros();
        gapMs = int(std::ceil(FrameGapMicros(m_state->line) / 1000.0));
    }
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Engine::onReadable);
    m_gapTimer = new QTimer(this);
    m_gapTimer->setSingleShot(true);
    m_gapTimer->setTimerType(Qt::PreciseTimer);
    m_gapTimer->setInterval(qMax(1, gapMs));
    connect(m_gapTimer, &QTimer::timeout, this, &Engine::onFrameGap);
    m_sendTimer = new QTimer(this);
    m_sendTimer->setSingleShot(true);
    m_sendTimer->setTimerType(Qt::PreciseTimer);
    connect(m_sendTimer, &QTimer::timeout, this, &Engine::pump);
}

void SimBus::Engine::end()
{
    delete m_notifier;
    m_notifier = nullptr;
    delete m_gapTimer;
    m_gapTimer = nullptr;
    delete m_sendTimer;
    m_sendTimer = nullptr;
    m_pieces.clear();
    m_rx.clear();
}

void SimBus::Engine::onReadable()
{
    int fd;
    {
        QMutexLocker lock(&m_state->mutex);
        fd = m_state->fd;
    }
    char buffer[512];
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        if (m_rx.isEmpty())
            m_rxStartUs = now();
        m_rx.append(buffer, n);
        any = true;
    }
    if (!any)
        return;
    m_rxEndUs = now();
    // A request ends when the line has been quiet for one frame gap.
    m_gapTimer->start();
}

void SimBus::Engine::onFrameGap()
{
    const QByteArray frame = m_rx;
    m_rx.clear();
    if (!frame.isEmpty())
        process(frame, m_rxStartUs, m_rxEndUs);
}

void SimBus::Engine::addRecord(const SimFrameRecord &entry)
{
    std::function<void(const SimFrameRecord &)> observer;
    {
        QMutexLocker lock(&m_state->mutex);
        if (m_state->keepRecord)
            m_state->record.append(entry);
        observer = m_state->observer;
    }
    if (observer)
        observer(entry);
}

void SimBus::Engine::process(const QByteArray &frame, qint64 startUs, qint64 endUs)
{
    SimFrameRecord received;
    received.direction = SimFrameRecord::Received;
    received.startUs = startUs;
    received.endUs = endUs;
    received.bytes = frame;
    received.address = quint8(frame.at(0));

    SimAnswer answer;
    qint64 replyDueUs = 0;
    {
        QMutexLocker lock(&m_state->mutex);
        if (m_state->isPty && m_state->checkLineSpeed) {
            struct termios tio;
            if (::tcgetattr(m_state->fd, &tio) == 0) {
                const int toolBaud = BaudOfSpeed(cfgetispeed(&tio));
                if (toolBaud != 0 && toolBaud != m_state->line.baud) {
                    received.note = QStringLiteral("line speed mismatch (%1 baud)").arg(toolBaud);
                    lock.unlock();
                    addRecord(received);
                    return;
                }
            }
        }
        replyDueUs = now() + qint64(m_state->turnaroundMs) * 1000;
        answer = AnswerRequest(frame, m_state->supplies);
    }
    received.note = answer.note;
    if (answer.reply.isEmpty()) {
        addRecord(received);
        return;
    }
    queueReply(answer, received.address, replyDueUs);
    addRecord(received);
    pump();
}

// Queues what goes on the line for a reply due at dueUs, with the answering
// supply's line faults applied.
void SimBus::Engine::queueReply(const SimAnswer &answer, int address, qint64 dueUs)
{
    if (answer.collision) {
        Piece piece;
        piece.bytes = answer.reply;
        piece.notBeforeUs = dueUs;
        piece.address = address;
        piece.note = QStringLiteral("collision");
        m_pieces.append(piece);
        return;
    }

    const SimFaults &faults = answer.faults;
    Piece first;
    first.notBeforeUs = dueUs + qint64(faults.delayMs) * 1000;
    first.address = address;
    if (faults.floodBytes > 0) {
        first.bytes = noiseBytes(faults.floodBytes);
        first.note = QStringLiteral("flood");
        m_pieces.append(first);
        return;
    }
    if (!faults.strayBefore.isEmpty()) {
        Piece stray = first;
        stray.bytes = faults.strayBefore;
        stray.note = QStringLiteral("stray");
        m_pieces.append(stray);
        first.notBeforeUs = 0;
    }
    if (faults.splitAt > 0 && faults.splitAt < answer.reply.size()) {
        first.bytes = answer.reply.left(faults.splitAt);
        first.note = QStringLiteral("reply part 1");
        m_pieces.append(first);
        Piece second;
        second.bytes = answer.reply.mid(faults.splitAt);
        second.gapBeforeUs = qint64(faults.splitPauseMs) * 1000;
        second.address = address;
        second.note = QStringLiteral("reply part 2");
        m_pieces.append(second);
    } else {
        first.bytes = answer.reply;
        first.note = QStringLiteral("reply");
        m_pieces.append(first);
    }
    if (!faults.strayAfter.isEmpty()) {
        Piece stray;
        stray.bytes = faults.strayAfter;
        stray.address = address;
        stray.note = QStringLiteral("stray");
        m_pieces.append(stray);
    }
}

QByteArray SimBus::Engine::noiseBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    for (int i = 0; i < count; ++i) {
        m_noiseState ^= m_noiseState << 13;
        m_noiseState ^= m_noiseState >> 17;
        m_noiseState ^= m_noiseState << 5;
        bytes[i] = char(m_noiseState & 0xFF);
    }
    return bytes;
}

void SimBus::Engine::queueNoise(const QByteArray &bytes, const QString &note)
{
    Piece piece;
    piece.bytes = bytes;
    piece.note = note;
    m_pieces.append(piece);
    pump();
}

// Puts due bytes on the line and sleeps until the next one is due. A byte is
// due when its last bit would have arrived on a real line, so the far end never
// sees a byte earlier than it could; after a stall the bytes that fell due meanwhile
// go out together.
void SimBus::Engine::pump()
{
    if (!m_sendTimer)
        return;
    int fd;
    {
        QMutexLocker lock(&m_state->mutex);
        fd = m_state->fd;
    }
    while (!m_pieces.isEmpty()) {
        Piece &piece = m_pieces.first();
        const qint64 t = now();
        if (!piece.started) {
            const qint64 start = qMax(piece.notBeforeUs, m_lineFreeUs + piece.gapBeforeUs);
            if (t < start) {
                m_sendTimer->start(int(std::ceil((start - t) / 1000.0)));
                return;
            }
            piece.started = true;
            piece.startUs = start;
        }
        const int size = int(piece.bytes.size());
        int due = size;
        if (m_pacing == Pacing::PerByte)
            due = qMin<qint64>(size, qint64((t - piece.startUs) / m_charUs));
        else if (m_pacing == Pacing::PerFrame)
            due = t >= piece.startUs + qint64(size * m_charUs) ? size : 0;
        while (piece.written < due) {
            const ssize_t n = ::write(fd, piece.bytes.constData() + piece.written,
                                      size_t(due - piece.written));
            if (n <= 0)
                break;
            if (piece.firstWriteUs < 0)
                piece.firstWriteUs = now();
            piece.lastWriteUs = now();
            piece.written += int(n);
        }
        if (piece.written < due) {
            // The far end's input is full (nobody reads it): try again shortly.
            m_sendTimer->start(1);
            return;
        }
        if (piece.written < size) {
            const qint64 next = m_pacing == Pacing::PerByte
                                    ? piece.startUs + qint64((piece.written + 1) * m_charUs)
                                    : piece.startUs + qint64(size * m_charUs);
            m_sendTimer->start(int(qMax<qint64>(0, (next - now() + 999) / 1000)));
            return;
        }
        m_lineFreeUs = piece.startUs + qint64(size * m_charUs);
        SimFrameRecord sent;
        sent.direction = SimFrameRecord::Sent;
        sent.startUs = piece.firstWriteUs;
        sent.endUs = piece.lastWriteUs;
        sent.bytes = piece.bytes;
        sent.address = piece.address;
        sent.note = piece.note;
        m_pieces.removeFirst();
        addRecord(sent);
    }
}

SimBus::SimBus(QObject *parent)
    : QObject(parent), m_state(std::make_shared<State>())
{
    m_state->clock.start();
}

SimBus::~SimBus()
{
    stop();
}

void SimBus::setLineSettings(const LineSettings &line)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->line = line;
}

LineSettings SimBus::lineSettings() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->line;
}

void SimBus::setTurnaroundMs(int ms)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->turnaroundMs = qMax(0, ms);
}

int SimBus::turnaroundMs() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->turnaroundMs;
}

void SimBus::setPacing(Pacing pacing)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->pacing = pacing;
}

void SimBus::setCheckLineSpeed(bool check)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->checkLineSpeed = check;
}

int SimBus::addSupply(int address, int modelItem)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->supplies.append(SimSupply(address, modelItem));
    return int(m_state->supplies.size()) - 1;
}

int SimBus::supplyCount() const
{
    QMutexLocker lock(&m_state->mutex);
    return int(m_state->supplies.size());
}

SimSupply SimBus::supply(int index) const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->supplies.at(index);
}

int SimBus::indexOfAddress(int address) const
{
    QMutexLocker lock(&m_state->mutex);
    for (int i = 0; i < m_state->supplies.size(); ++i) {
        if (m_state->supplies.at(i).address() == address)
            return i;
    }
    return -1;
}

void SimBus::updateSupply(int index, const std::function<void(SimSupply &)> &change)
{
    QMutexLocker lock(&m_state->mutex);
    change(m_state->supplies[index]);
}

QString SimBus::openPty()
{
    if (isRunning())
        throw std::logic_error("the bus is running");
    int master = -1;
    int slave = -1;
    char name[256] = {};
    // cfmakeraw() sets only some flags: start from zero, not from whatever
    // the stack held, or the tool's end opens with random parity and flow bits.
    struct termios raw = {};
    cfmakeraw(&raw);
    QMutexLocker lock(&m_state->mutex);
    cfsetspeed(&raw, SpeedOfBaud(m_state->line.baud) == B0 ? B9600 : SpeedOfBaud(m_state->line.baud));
    if (::openpty(&master, &slave, name, &raw, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    if (m_state->fd >= 0)
        ::close(m_state->fd);
    if (m_state->slaveFd >= 0)
        ::close(m_state->slaveFd);
    m_lock.release();
    m_state->fd = master;
    m_state->slaveFd = slave;
    m_state->isPty = true;
    m_state->path = QString::fromLocal8Bit(name);
    return m_state->path;
}

void SimBus::openDevice(const QString &path)
{
    if (isRunning())
        throw std::logic_error("the bus is running");
    PortHolder holder;
    QString busy;
    if (!m_lock.acquire(path, &holder, &busy))
        throw PortBusyError(busy.toStdString());
    QMutexLocker lock(&m_state->mutex);
    const LineSettings line = m_state->line;
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        m_lock.release();
        throw std::runtime_error(QStringLiteral("cannot open %1: %2")
                                     .arg(path, QString::fromLocal8Bit(strerror(errno)))
                                     .toStdString());
    }
    struct termios tio;
    if (::tcgetattr(fd, &tio) != 0) {
        ::close(fd);
        m_lock.release();
        throw std::runtime_error(QStringLiteral("%1 is not a serial port").arg(path).toStdString());
    }
    SetRawFraming(tio, line);
    const speed_t speed = SpeedOfBaud(line.baud);
    if (speed == B0 || cfsetspeed(&tio, speed) != 0 || ::tcsetattr(fd, TCSANOW, &tio) != 0) {
        ::close(fd);
        m_lock.release();
        throw std::runtime_error(QStringLiteral("%1 does not take %2").arg(path, LineSettingsText(line)).toStdString());
    }
    if (m_state->fd >= 0)
        ::close(m_state->fd);
    if (m_state->slaveFd >= 0)
        ::close(m_state->slaveFd);
    MakeExclusive(fd);
    m_state->fd = fd;
    m_state->slaveFd = -1;
    m_state->isPty = false;
    m_state->path = path;
}

QString SimBus::devicePath() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->path;
}

void SimBus::start(Threading threading)
{
    if (m_engine)
        return;
    Pacing pacing;
    {
        QMutexLocker lock(&m_state->mutex);
        if (m_state->fd < 0)
            throw std::logic_error("open a pseudo-terminal or a device first");
        pacing = m_state->pacing;
        if (pacing == Pacing::Automatic) {
            if (!m_state->isPty)
                pacing = Pacing::None;
            else
                pacing = threading == Threading::OwnThread ? Pacing::PerByte : Pacing::PerFrame;
        }
    }
    m_threading = threading;
    m_engine = new Engine(m_state);
    if (threading == Threading::OwnThread) {
        m_thread = new QThread(this);
        m_thread->setObjectName(QStringLiteral("psusim bus"));
        m_engine->moveToThread(m_thread);
        m_thread->start(QThread::HighPriority);
        QMetaObject::invokeMethod(
            m_engine, [engine = m_engine, pacing] { engine->begin(pacing); },
            Qt::BlockingQueuedConnection);
    } else {
        m_engine->begin(pacing);
    }
}

void SimBus::stop()
{
    if (!m_engine)
        return;
    if (m_thread) {
        QThread *home = thread();
        QMetaObject::invokeMethod(
            m_engine,
            [engine = m_engine, home] {
                engine->end();
                engine->moveToThread(home);
            },
            Qt::BlockingQueuedConnection);
        m_thread->quit();
        m_thread->wait();
        delete m_thread;
        m_thread = nullptr;
    } else {
        m_engine->end();
    }
    delete m_engine;
    m_engine = nullptr;
}

bool SimBus::isRunning() const
{
    return m_engine != nullptr;
}

SimBus::Threading SimBus::threading() const
{
    return m_threading;
}

QVector<SimFrameRecord> SimBus::record() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->record;
}

void SimBus::clearRecord()
{
    QMutexLocker lock(&m_state->mutex);
    m_state->record.clear();
}

void SimBus::setKeepRecord(bool keep)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->keepRecord = keep;
    if (!keep)
        m_state->record.clear();
}

void SimBus::setRecordObserver(std::function<void(const SimFrameRecord &)> observer)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->observer = std::move(observer);
}

void SimBus::inject(const QByteArray &bytes, const QString &note)
{
    if (!m_engine)
        throw std::logic_error("the bus is not running");
    QMetaObject::invokeMethod(m_engine, [engine = m_engine, bytes, note] {
        engine->queueNoise(bytes, note);
    });
}

qint64 SimBus::nowUs() const
{
    return m_state->clock.nsecsElapsed() / 1000;
}
