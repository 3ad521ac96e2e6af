#pragma once

#include "link/linesettings.h"
#include "link/portlock.h"
#include "sim/simsupply.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVector>
#include <functional>
#include <memory>
#include <stdexcept>

class QThread;

// One frame seen on the line, in either direction, with the times its first
// and last byte passed the simulator (microseconds since the bus was made).
struct SimFrameRecord {
    enum Direction { Received, Sent };
    Direction direction = Received;
    qint64 startUs = 0;
    qint64 endUs = 0;
    QByteArray bytes;
    // Received: the request's address byte; Sent: the answering supply's
    // address at the time of the request; -1 for line noise.
    int address = -1;
    // What became of a request ("answered", "CRC error", "no such address",
    // "broadcast", "exception 02", "reply dropped", "line speed mismatch", ...)
    // or what a sent piece was ("reply", "reply part 1", "stray", "flood", ...).
    QString note;
};

// A virtual RS-485 bus of simulated supplies behind a pseudo-terminal (or a
// real serial port for a null-modem cable). The tool opens the other end as an
// ordinary serial port.
//
// The slave side: a request is the bytes received up to a silence of one frame
// gap; a supply answers only a request with a right CRC and its own address,
// after the turnaround time; address 0 is a broadcast that every supply carries
// out (writes) without answering.
//
// Timing: a pseudo-terminal moves bytes at once, so the bus paces what it
// sends at the line's character time. How faithfully depends on where it runs:
// - OwnThread: the bus has its own thread and event loop. Each byte is written
//   when its last bit would have arrived (PerByte pacing), whatever the tool's
//   GUI thread is doing; a reply cut by a pause really has that pause.
// - InThread: the bus shares the caller's event loop. The tool blocks that
//   thread in 30 ms sleeps while it collects a reply, and a simulator that
//   trickled bytes would stall with it and look like a quiet line; so here a
//   whole piece is written at once when its last byte would have arrived
//   (PerFrame pacing). Reply delays are kept; a pause inside a reply shorter
//   than the tool's 30 ms poll is not, since the tool's sleep outlasts it.
// For a real serial port the UART paces the bytes itself (Pacing::None).
class SimBus : public QObject
{
    Q_OBJECT

public:
    enum class Threading { InThread, OwnThread };
    enum class Pacing { Automatic, PerByte, PerFrame, None };

    explicit SimBus(QObject *parent = nullptr);
    ~SimBus() override;

    // Line settings, turnaround and pacing: set before start().
    void setLineSettings(const LineSettings &line);
    LineSettings lineSettings() const;
    // Silence between the end of a request and the first byte of the reply.
    void setTurnaroundMs(int ms);
    int turnaroundMs() const;
    void setPacing(Pacing pacing);
    // On a pseudo-terminal the bus can see the baud rate the tool set on its
    // end; when it differs from the bus's own, the supplies hear only noise and
    // answer nothing, as on a real line. (Data bits, parity and stop bits do
    // not travel through a Linux pseudo-terminal and are not compared.)
    void setCheckLineSpeed(bool check);

    // Adds a supply of catalogue model modelItem (counted from 1) at address;
    // returns its index. Allowed while the bus runs.
    int addSupply(int address, int modelItem);
    int supplyCount() const;
    // A copy of supply index as it stands now.
    SimSupply supply(int index) const;
    // Index of the supply that answers address now, or -1.
    int indexOfAddress(int address) const;
    // Changes supply index under the bus's lock (load, faults, front panel ...).
    void updateSupply(int index, const std::function<void(SimSupply &)> &change);

    // Opens a new pseudo-terminal and returns the path of the tool's end.
    QString openPty();
    // Uses a real serial device instead (null-modem use), set to the line
    // settings, and takes it for this process alone (its lock file and
    // TIOCEXCL): a device that another program holds raises PortBusyError.
    void openDevice(const QString &path);
    QString devicePath() const;

    void start(Threading threading = Threading::OwnThread);
    void stop();
    bool isRunning() const;
    Threading threading() const;

    // Every frame received and sent so far, oldest first.
    QVector<SimFrameRecord> record() const;
    void clearRecord();
    // Whether the record is kept (the default). A bus that runs for hours
    // and is never asked for its record (psusim, the demo) keeps none, or it
    // would grow by every frame; the observer still sees each entry.
    void setKeepRecord(bool keep);
    // Called in the bus's thread for each record entry as it is made.
    void setRecordObserver(std::function<void(const SimFrameRecord &)> observer);

    // Puts bytes on the line outside any exchange, paced like a reply.
    void inject(const QByteArray &bytes, const QString &note = QStringLiteral("noise"));

    // The record's clock.
    qint64 nowUs() const;

    struct State;
    class Engine;

private:
    std::shared_ptr<State> m_state;
    Engine *m_engine = nullptr;
    QThread *m_thread = nullptr;
    Threading m_threading = Threading::OwnThread;
    PortLock m_lock;
};

// openDevice() on a port that another program holds; the text names it.
class PortBusyError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};
