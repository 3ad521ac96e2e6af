#pragma once

#include "ctl/scpiparser.h"

#include <QString>
#include <QStringList>

#include <deque>

class PortKeeper;
class RtuMaster;
struct ModelEntry;

// A supply on the line as psuctl scpi shows it.
struct ScpiSupply {
    int address = 0;
    const ModelEntry *model = nullptr;
    QString serial;       // *IDN?'s serial field; the address when empty
    QString manufacturer; // *IDN?'s first field
};

// What one client asked for: the log's and the statistics' count.
struct ScpiTally {
    qint64 commands = 0; // units carried out or refused
    qint64 refused = 0;  // units that queued an error
    qint64 onLine = 0;   // units that went on the line
};

// One client's instrument over a supply: the status registers of IEEE 488.2
// (ESR and its enable ESE, the service request enable SRE) and the error
// queue, for this connection alone, as a LAN instrument keeps them per
// session. Values are in the model's units; a setpoint is rounded to the
// model's step as psuctl set rounds it, and its query reads the register
// back, so it answers the value written. A value outside the model's range
// queues -222 and sends nothing. *RST is a safe state: the output off, then
// the voltage and current setpoints 0; the protection limits stay.
class ScpiSession
{
public:
    static constexpr int QueueLength = 16;

    explicit ScpiSession(const ScpiSupply &supply);

    // Whether carrying command out needs the line.
    static bool usesLine(const ScpiCommand &command);
    // Carries command out, on port's line when it needs it; a query's answer
    // is appended to answers (none when it fails). Returns the error it
    // queued, or 0.
    int execute(const ScpiCommand &command, PortKeeper &port, QStringList &answers);
    // Puts an error in the queue and its bit in ESR; a full queue keeps its
    // first entries and ends with -350.
    void queueError(int error, const QString &detail = QString());
    const ScpiTally &tally() const { return m_tally; }
    // The last error queued, as SYST:ERR? gives it, for the log.
    const QString &lastError() const { return m_lastError; }
    // "-113,\"Undefined header;FOO\"", the entry as SYST:ERR? gives it.
    static QString entryText(int error, const QString &detail);

private:
    struct Entry {
        int error;
        QString detail;
    };
    void onLine(const ScpiCommand &command, RtuMaster &master, QStringList &answers);
    void setValue(const ScpiCommand &command, RtuMaster &master);
    // The value a setpoint's command names: its number, or the model's bound.
    double targetValue(const ScpiCommand &command) const;
    QString number(double value, int decimals) const;
    quint8 statusByte(bool answerWaiting) const;

    ScpiSupply m_supply;
    std::deque<Entry> m_queue;
    quint8 m_esr = 0;
    quint8 m_ese = 0;
    quint8 m_sre = 0;
    ScpiTally m_tally;
    QString m_lastError;
};
