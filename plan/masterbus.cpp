#include "plan/masterbus.h"

#include "link/buserror.h"

template <typename F>
auto RtuPlanBus::guarded(F f)
{
    try {
        return f();
    } catch (const BusError &error) {
        m_lost = error.isPortFailure();
        throw;
    }
}

QVector<quint16> RtuPlanBus::read(int address, quint16 start, int count)
{
    return guarded([&] { return m_master.read(address, start, count); });
}

void RtuPlanBus::write(int address, quint16 start, const QVector<quint16> &values)
{
    guarded([&] { m_master.write(address, start, values); });
}

bool RtuPlanBus::reopen()
{
    try {
        m_master.close();
        m_master.open();
        m_lost = false;
    } catch (const BusError &) {
        m_lost = true;
    }
    return !m_lost;
}

namespace {

// The master and the bus over it, owned together.
class OwningRtuPlanBus final : public PlanBus
{
public:
    explicit OwningRtuPlanBus(const LineOptions &line) : m_master(line), m_bus(m_master) { m_master.open(); }

    QVector<quint16> read(int address, quint16 start, int count) override { return m_bus.read(address, start, count); }
    void write(int address, quint16 start, const QVector<quint16> &values) override { m_bus.write(address, start, values); }
    bool lost() const override { return m_bus.lost(); }
    bool reopen() override { return m_bus.reopen(); }

private:
    RtuMaster m_master;
    RtuPlanBus m_bus;
};

} // namespace

std::unique_ptr<PlanBus> OpenRtuPlanBus(const LineOptions &line)
{
    return std::make_unique<OwningRtuPlanBus>(line);
}
