#pragma once

#include "link/reading.h"
#include "roster/alarmband.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <optional>

struct ModelEntry;

// What the roster knows of one listed supply: the model the operator chose
// for it, its alarm bands, its last reading and how its polls went.
struct RosterEntry {
    int address = 0;
    // Catalogue number of the supply's model (from 1); 0: none chosen.
    int modelItem = 0;
    AlarmBand voltageBand;
    AlarmBand currentBand;
    // The last reading from this address (its registers read under the
    // chosen model, its power only when it was this supply's) and when it
    // came (on the roster's clock, ms).
    std::optional<Reading> reading;
    qint64 readAtMs = -1;
    int readings = 0;
    int polls = 0;
    // Polls in a row that got no reading; the supply counts as silent from
    // the first one.
    int missed = 0;

    const ModelEntry *model() const;
    // The chosen model's resolution of volts and amperes (unscaled: none).
    Resolution volt() const;
    Resolution amp() const;
    bool silent() const { return missed > 0; }
    // The reading lies beyond what the chosen model can hold (a setpoint or
    // a measured value above its limits): the model is likely the wrong one.
    bool beyondModel() const;
    // Measured values in volts and amperes under the chosen model.
    double volts() const;
    double amperes() const;
    // The output power in watts: read, or else volts x amperes (computed).
    double watts() const;
    bool powerComputed() const { return !reading || !reading->watts; }
    // Worst level of the measured voltage and current against their bands.
    AlarmLevel alarm() const;
};

// The supplies of the overview and the order of their status polls: each
// poll goes to the next listed address, round after round. It learns which
// address a reading belongs to from the reading itself (the address of the
// last status poll), and counts a poll without a reading before the next
// poll as missed.
class SupplyRoster : public QObject
{
    Q_OBJECT

public:
    explicit SupplyRoster(QObject *parent = nullptr);

    // The listed supplies, in this order. An address listed before keeps its
    // model, bands and last reading; a new one gets defaultModelItem.
    void SetAddresses(const QList<int> &addresses, int defaultModelItem);
    QList<int> Addresses() const;
    int Count() const { return int(m_entries.size()); }
    const RosterEntry &Entry(int index) const { return m_entries.at(index); }
    // Index of address in the list, or -1.
    int IndexOf(int address) const;

    // Raises SystemError for an unknown address or a band with min > max.
    void SetModel(int address, int modelItem);
    void SetBands(int address, const AlarmBand &voltage, const AlarmBand &current);

    // The address the next status poll goes to (the list in turn; 0 when empty).
    int NextAddress();
    // A status poll went out to address; a poll before it without a reading
    // counts as missed.
    void NotePoll(int address);
    // A status reading arrived. ownPower: the power read with it is this
    // supply's (otherwise it is left out).
    void NoteReading(const Reading &reading, bool ownPower);
    // Forget whose poll is outstanding (the polls have been given back).
    void Pause() { m_awaiting = -1; }

    // Milliseconds on the roster's clock, and the age of an entry's reading.
    qint64 NowMs() const { return m_clock.elapsed(); }
    qint64 AgeMs(int index) const;

    // The rhythm of the overview's polls on a line with characters of
    // charMicros: the time before a reply can have started to arrive (the
    // request, the frame gap, a turnaround and one character), twice, and
    // never below 60 ms. A reply that has started blocks the next tick until
    // it has been taken in, so each poll follows the reading before it as
    // soon as the line is free.
    static int RhythmMs(double charMicros);

signals:
    // An entry changed (reading, missed poll, model, bands).
    void entryChanged(int index);
    // The list itself changed.
    void listChanged();

private:
    QList<RosterEntry> m_entries;
    int m_next = 0;
    int m_awaiting = -1;
    QElapsedTimer m_clock;
};
