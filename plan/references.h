#pragma once

// The reference instruments of a run, opened: one SCPI link per link of the
// station file (a scanner card on the meter's own socket shares the meter's),
// each instrument identified and reset before anything goes to a supply, and
// the operations the steps ask of them. A scanner's channel of a slot routes
// the meter to that slot's terminals; a load whose driver can select a
// channel is switched to the same channel before it draws current. The load
// serves one slot at a time: a slot holds it from its first current to its
// "off" (or the slot's end). Every failure raises SystemError naming the
// reference and the cause.

#include "plan/planresults.h"
#include "plan/stationfile.h"

#include "link/systemerror.h"

#include <QDate>
#include <QMap>
#include <map>
#include <memory>

class ScpiClient;

// The references of station as its file declares them, on today, before any
// has been asked who it is (no identity).
QVector<ReferenceUsed> DeclaredReferences(const StationFile &station, const QDate &today);

class RunReferences
{
public:
    // Checks that station holds every reference of needed (name -> kind) and
    // that none is past due on today (unless allowExpired), then opens each
    // reference of the station that is needed and every scanner, reads its
    // *IDN? and resets it.
    RunReferences(const StationFile &station, const QMap<QString, QString> &needed, const QDate &today,
                  bool allowExpired);
    ~RunReferences();

    QVector<ReferenceUsed> used() const { return m_used; }
    QString stationFile() const { return m_station.file; }

    // The reading of function ("volts", "amperes") on meter at the terminals
    // of slot: the channel closed, the range that holds expected configured
    // with nplc (the error queue asked after it), one reading triggered.
    // accuracy: that of the range it was read on.
    double read(const QString &meter, const QString &slot, const QString &function, double expected, double nplc,
                AccuracyLimits &accuracy);

    // True while another slot than slot holds load.
    bool loadHeldByOther(const QString &load, int slot) const;
    // The load on the terminals of slot (its index and name), drawing amps in
    // constant current; returns the seconds the driver asks to settle.
    double setLoad(const QString &load, int slot, const QString &slotName, double amps);
    // The load's input off, and the load free for the next slot.
    void loadOff(const QString &load);
    // Switches off every load slot holds; a failure is left to the caller.
    void releaseLoads(int slot);

private:
    struct Link;
    struct Open {
        const ReferenceInstrument *instrument = nullptr;
        Link *link = nullptr;
        int holder = -1; // a load: the slot that holds it
    };

    Open &find(const QString &name);
    const Open *find(const QString &name) const;
    void send(Open &reference, ReferenceOperation operation, const QHash<QString, QString> &values = {});
    void route(Open &reference, const QString &slot);
    [[noreturn]] void fault(const Open &reference, const SystemError &error) const;

    StationFile m_station;
    std::map<QString, std::unique_ptr<Link>> m_links;
    QVector<Open> m_open;
    QVector<ReferenceUsed> m_used;
};
