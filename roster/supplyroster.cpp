#include "roster/supplyroster.h"

#include "link/modelcatalogue.h"
#include "link/systemerror.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>

namespace {

// A request of a status poll is 8 characters; then 3.5 characters of silence
// end it; the reply's first character comes after the supply's turnaround.
constexpr double kCharactersToReplyStart = 8 + 3.5 + 1;
constexpr double kTurnaroundAllowanceMs = 10;
constexpr int kShortestRhythmMs = 60;

double resolution(quint16 scale)
{
    return scale ? 1.0 / scale : 0.0;
}

} // namespace

const ModelEntry *RosterEntry::model() const
{
    return FindModel(modelItem);
}

bool RosterEntry::beyondModel() const
{
    const ModelEntry *entry = model();
    if (!entry || !reading)
        return false;
    const StatusBlock *status = &reading->counts;
    return status->voltageSetpoint > entry->voltageLimit || status->outputVoltage > entry->voltageLimit
           || status->currentSetpoint > entry->currentLimit || status->outputCurrent > entry->currentLimit;
}

Resolution RosterEntry::volt() const
{
    const ModelEntry *entry = model();
    return entry ? Resolution{entry->voltageScale, entry->voltageDecimals} : Resolution{};
}

Resolution RosterEntry::amp() const
{
    const ModelEntry *entry = model();
    return entry ? Resolution{entry->currentScale, entry->currentDecimals} : Resolution{};
}

double RosterEntry::volts() const
{
    return reading ? volt().units(reading->counts.outputVoltage) : 0.0;
}

double RosterEntry::amperes() const
{
    return reading ? amp().units(reading->counts.outputCurrent) : 0.0;
}

double RosterEntry::watts() const
{
    if (reading && reading->watts)
        return *reading->watts;
    return volts() * amperes();
}

AlarmLevel RosterEntry::alarm() const
{
    const ModelEntry *entry = model();
    if (!entry || !reading)
        return AlarmLevel::Normal;
    return Worse(voltageBand.Level(volts(), resolution(entry->voltageScale)),
                 currentBand.Level(amperes(), resolution(entry->currentScale)));
}

SupplyRoster::SupplyRoster(QObject *parent)
    : QObject(parent)
{
    m_clock.start();
}

void SupplyRoster::SetAddresses(const QList<int> &addresses, int defaultModelItem)
{
    QList<RosterEntry> entries;
    for (int address : addresses) {
        const int old = IndexOf(address);
        if (old >= 0) {
            entries.append(m_entries.at(old));
        } else {
            RosterEntry entry;
            entry.address = address;
            entry.modelItem = FindModel(defaultModelItem) ? defaultModelItem : 0;
            entries.append(entry);
        }
    }
    m_entries = entries;
    m_next = 0;
    m_awaiting = -1;
    emit listChanged();
}

QList<int> SupplyRoster::Addresses() const
{
    QList<int> addresses;
    for (const RosterEntry &entry : m_entries)
        addresses.append(entry.address);
    return addresses;
}

int SupplyRoster::IndexOf(int address) const
{
    for (int n = 0; n < Count(); ++n) {
        if (m_entries.at(n).address == address)
            return n;
    }
    return -1;
}

void SupplyRoster::SetModel(int address, int modelItem)
{
    const int index = IndexOf(address);
    if (index < 0)
        RaiseError(QCoreApplication::translate("SupplyRoster", "地址 %1 不在总览中。").arg(address));
    m_entries[index].modelItem = FindModel(modelItem) ? modelItem : 0;
    emit entryChanged(index);
}

void SupplyRoster::SetBands(int address, const AlarmBand &voltage, const AlarmBand &current)
{
    const int index = IndexOf(address);
    if (index < 0)
        RaiseError(QCoreApplication::translate("SupplyRoster", "地址 %1 不在总览中。").arg(address));
    m_entries[index].voltageBand = voltage;
    m_entries[index].currentBand = current;
    emit entryChanged(index);
}

int SupplyRoster::NextAddress()
{
    if (m_entries.isEmpty())
        return 0;
    if (m_next >= Count())
        m_next = 0;
    return m_entries.at(m_next++).address;
}

void SupplyRoster::NotePoll(int address)
{
    if (m_awaiting >= 0) {
        const int index = IndexOf(m_awaiting);
        if (index >= 0) {
            ++m_entries[index].missed;
            emit entryChanged(index);
        }
    }
    const int index = IndexOf(address);
    m_awaiting = index >= 0 ? address : -1;
    if (index >= 0)
        ++m_entries[index].polls;
}

void SupplyRoster::NoteReading(const Reading &reading, bool ownPower)
{
    const int index = IndexOf(reading.address);
    if (index < 0)
        return;
    if (reading.address == m_awaiting)
        m_awaiting = -1;
    RosterEntry &entry = m_entries[index];
    entry.reading = reading;
    if (!ownPower)
        entry.reading->watts.reset();
    entry.readAtMs = NowMs();
    ++entry.readings;
    entry.missed = 0;
    emit entryChanged(index);
}

qint64 SupplyRoster::AgeMs(int index) const
{
    const RosterEntry &entry = m_entries.at(index);
    return entry.readAtMs < 0 ? -1 : NowMs() - entry.readAtMs;
}

int SupplyRoster::RhythmMs(double charMicros)
{
    const double replyStartMs = kCharactersToReplyStart * charMicros / 1000.0 + kTurnaroundAllowanceMs;
    return std::max(kShortestRhythmMs, int(std::ceil(2 * replyStartMs)));
}
