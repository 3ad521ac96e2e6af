// PlanRun: every slot of a plan at once on one bus. Each slot is a state
// machine (plan/slotmachine.h) whose next action is due at a time and makes at
// most one bus transaction; the scheduler runs the earliest due action, except
// that it does not start a transaction that would run past the due end of
// another slot's step, so a step's dwell does not grow by a neighbour's traffic.

#include "plan/planengine.h"
#include "plan/slotmachine.h"

#include <QSysInfo>
#include <QUuid>

#include <algorithm>
#include <thread>

struct PlanRun::Impl : RunState {
    using RunState::RunState;
};

RunInfo DescribeRun(const Plan &plan, const QStringList &serials, const QString &operatorName,
                    const QString &toolVersion, const QString &port)
{
    RunInfo info;
    info.station = QSysInfo::machineHostName();
    info.operatorName = operatorName;
    if (info.operatorName.isEmpty())
        info.operatorName = qEnvironmentVariable("USER");
    if (info.operatorName.isEmpty())
        info.operatorName = qEnvironmentVariable("USERNAME");
    info.toolVersion = toolVersion;
    info.port = port;
    for (int i = 0; i < plan.slotList.size(); ++i) {
        const PlanSlot &planSlot = plan.slotList.at(i);
        SlotInfo slot;
        slot.index = i;
        slot.name = planSlot.name;
        slot.address = planSlot.address;
        slot.model = planSlot.model;
        slot.serial = serials.value(i).trimmed();
        info.slotList.append(slot);
    }
    return info;
}

PlanRun::PlanRun(Plan plan, PlanBus &bus, RunInfo info) : m_impl(std::make_unique<Impl>(std::move(plan), bus, std::move(info)))
{
}

PlanRun::~PlanRun() = default;

void PlanRun::useReferences(std::shared_ptr<RunReferences> references)
{
    m_impl->references = std::move(references);
}

void PlanRun::addListener(PlanListener *listener)
{
    m_impl->listeners.append(listener);
}

RunEnd PlanRun::run()
{
    Impl &d = *m_impl;
    d.clockBase = Clock::now();
    d.wallBase = QDateTime::currentDateTime();
    if (d.info.runId.isEmpty())
        d.info.runId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    d.info.planName = d.plan.name;
    d.info.planVersion = d.plan.version;
    d.info.planFile = d.plan.file;
    d.info.plannedChecks = PlannedChecks(d.plan);
    d.info.start = d.wallBase;
    if (d.info.station.isEmpty())
        d.info.station = QSysInfo::machineHostName();
    QVector<SlotInfo> slotInfos;
    for (int i = 0; i < d.plan.slotList.size(); ++i) {
        d.machines.push_back(std::make_unique<SlotMachine>(d, i));
        slotInfos.append(d.machines.back()->info);
    }
    d.info.slotList = slotInfos;
    d.tell([&](PlanListener &l) { l.runStarted(d.info); });
    for (auto &slot : d.machines)
        slot->start(d.clockBase);

    bool abortSeen = false;
    for (;;) {
        if (m_abort.load() && !abortSeen) {
            abortSeen = true;
            for (auto &slot : d.machines)
                slot->abort();
        }
        SlotMachine *next = nullptr;
        for (auto &slot : d.machines) {
            if (!slot->done && (!next || slot->due < next->due))
                next = slot.get();
        }
        if (!next)
            break;
        TimePoint now = Clock::now();
        // A transaction is not started when it would hold up another slot's
        // step end (an action without the bus) that falls due meanwhile.
        if (next->usesBus) {
            const TimePoint busy = after(std::max(now, next->due), d.transactionSeconds + 0.001);
            SlotMachine *first = nullptr;
            for (auto &slot : d.machines) {
                if (!slot->done && !slot->usesBus && slot->due < busy && (!first || slot->due < first->due))
                    first = slot.get();
            }
            if (first)
                next = first;
        }
        if (next->due > now) {
            // Sleep in short stretches, so that an abort is seen within 50 ms.
            std::this_thread::sleep_until(std::min(next->due, now + std::chrono::milliseconds(50)));
            continue;
        }
        const TimePoint begun = Clock::now();
        const bool bus = next->usesBus;
        try {
            next->act();
            if (bus) {
                // The longest transaction lately (slowly forgotten): the span a
                // new one is expected to hold the line.
                const double took = secondsBetween(begun, Clock::now());
                d.transactionSeconds = qMax(took, d.transactionSeconds * 0.98);
            }
        } catch (const SystemError &error) {
            if (d.bus.lost()) {
                // The port went: wait for it (unless aborted), then every slot's finally.
                next->fail(QString::fromLatin1(PlanCause::PortLost).arg(error.text()), Verdict::Error);
                while (!d.bus.reopen()) {
                    if (m_abort.load())
                        break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(500));
                }
                for (auto &slot : d.machines) {
                    if (slot.get() != next && !slot->done)
                        slot->fail(QString::fromLatin1(PlanCause::PortLost).arg(error.text()), Verdict::Error);
                }
                if (m_abort.load() && d.bus.lost()) {
                    for (auto &slot : d.machines) {
                        while (!slot->done)
                            slot->fail(QString::fromLatin1(PlanCause::PortLostForGood), Verdict::Error);
                    }
                }
            } else {
                next->fail(error.text(), Verdict::Error);
            }
        }
    }
    RunEnd end;
    end.end = d.wall(Clock::now());
    // The worst verdict of a slot: a failed unit first, then a unit not judged to the end.
    end.overall = Verdict::Pass;
    for (const Verdict worse : {Verdict::Conditional, Verdict::Aborted, Verdict::Error, Verdict::Fail}) {
        for (auto &slot : d.machines) {
            if (slot->verdict == worse)
                end.overall = worse;
        }
    }
    d.tell([&](PlanListener &l) { l.runFinished(end); });
    return end;
}
