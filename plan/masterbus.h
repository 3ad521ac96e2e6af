#pragma once

#include "master/rtumaster.h"
#include "plan/planresults.h"

#include <memory>

// The plan engine's bus over the Modbus master. A failure that was the port
// itself (CtlError with ExitPort) marks the port lost until it opens again.
class RtuPlanBus : public PlanBus
{
public:
    explicit RtuPlanBus(RtuMaster &master) : m_master(master) {}

    QVector<quint16> read(int address, quint16 start, int count) override;
    void write(int address, quint16 start, const QVector<quint16> &values) override;
    bool lost() const override { return m_lost; }
    bool reopen() override;

private:
    template <typename F>
    auto guarded(F f);

    RtuMaster &m_master;
    bool m_lost = false;
};

// A bus with a master of its own on line, opened (CtlError with ExitPort when
// the port cannot be); for a front end that has no master to lend.
std::unique_ptr<PlanBus> OpenRtuPlanBus(const LineOptions &line);
