#include "plan/rtuplanbus.h"

#include "master/ctlerror.h"
#include "master/rtumaster.h"

namespace {

class RtuPlanBus final : public PlanBus
{
public:
    explicit RtuPlanBus(const LineOptions &line) : m_master(line, stderr) { m_master.open(); }

    QVector<quint16> read(int address, quint16 start, int count) override
    {
        return guarded([&] { return m_master.read(address, start, count); });
    }
    void write(int address, quint16 start, const QVector<quint16> &values) override
    {
        guarded([&] {
            m_master.write(address, start, values);
            return 0;
        });
    }
    bool lost() const override { return m_lost; }
    bool reopen() override
    {
        try {
            m_master.open();
            m_lost = false;
        } catch (const CtlError &) {
            m_lost = true;
        }
        return !m_lost;
    }

private:
    // A port failure (the master's ExitPort) is the line going, not a supply's silence.
    template <typename Call>
    auto guarded(Call call) -> decltype(call())
    {
        try {
            return call();
        } catch (const CtlError &error) {
            m_lost = error.exitCode() == ExitPort;
            throw;
        }
    }

    RtuMaster m_master;
    bool m_lost = false;
};

} // namespace

std::unique_ptr<PlanBus> MakeRtuPlanBus(const QString &device, const LineSettings &line)
{
    LineOptions options;
    options.port = device;
    options.serial = line;
    return std::make_unique<RtuPlanBus>(options);
}
