#pragma once

#include "link/reading.h"

#include <QObject>
#include <optional>

// Announces every status reading the reply dispatcher decodes, to as many
// listeners as want it: the monitor panel's readouts, the trend, the
// recorder. Lives on the GUI thread; statusRead is emitted from inside
// DispatchReply, so a direct listener runs before the reception ends.
class StatusFeed : public QObject
{
    Q_OBJECT

public:
    explicit StatusFeed(QObject *parent = nullptr);

    // A status poll went out to address (the low byte of the panel's).
    void NotePoll(int address);
    // Decodes the reading of one status block once and announces it: the
    // time is now, the model the active one, the address that of the last
    // status poll (the reply's own address byte is not trusted: its CRC is
    // never checked; it goes along as replyAddress). A power read answered
    // since the last status reading goes into this one and is then forgotten.
    void AnnounceStatus(const StatusBlock &block, int replyAddress = -1);
    // A power read's answer, in hundredths of a watt.
    void NotePower(quint16 raw) { m_power = raw; }
    // The address of the last status poll (0 before the first).
    int PollAddress() const { return m_pollAddress; }
    // Back to the start (no poll yet, no power answer).
    void Reset();
    // A reception has ended and nothing more waits on the line.
    void NoteLineFree() { emit lineFree(); }
    // A reading taken by other means than the monitor's poll (a plan run on
    // its own line), for the trend; the monitor's readouts do not show it.
    void AnnounceTaken(const Reading &sample) { emit statusTaken(sample); }

signals:
    void statusRead(const Reading &sample);
    void statusPolled();
    void statusTaken(const Reading &sample);
    // Emitted at the end of a reception that took a reply and left no byte
    // waiting, still inside the receive handler: a listener can put the next
    // request on the line before the windows repaint.
    void lineFree();

private:
    std::optional<quint16> m_power;
    int m_pollAddress = 0;
};

// The one feed of the process, made on first use.
StatusFeed *TheStatusFeed();
