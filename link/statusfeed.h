#pragma once

#include "link/readingformat.h"

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

    // Builds the reading of one decoded status block (the time is now, the
    // model the active one) and announces it. A power read answered since the
    // last status reading goes into this one and is then forgotten.
    void AnnounceStatus(int address, const StatusBlock &block);
    // A power read's answer, in hundredths of a watt.
    void NotePower(quint16 raw) { m_power = raw; }
    // Forgets a power answer not yet announced (a new start).
    void Reset() { m_power.reset(); }

signals:
    void statusRead(const StatusSample &sample);

private:
    std::optional<quint16> m_power;
};

// The one feed of the process, made on first use.
StatusFeed *TheStatusFeed();
