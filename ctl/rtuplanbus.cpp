#include "ctl/rtuplanbus.h"

#include "ctl/ctlerror.h"

template <typename F>
auto RtuPlanBus::guarded(F f)
{
    try {
        return f();
    } catch (const CtlError &error) {
        m_lost = error.exitCode() == ExitPort;
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
    } catch (const CtlError &) {
        m_lost = true;
    }
    return !m_lost;
}
