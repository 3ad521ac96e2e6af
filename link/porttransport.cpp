#include "link/porttransport.h"

namespace {

PortTransportFactory &factory()
{
    static PortTransportFactory made;
    return made;
}

} // namespace

void SetPortTransportFactory(PortTransportFactory made)
{
    factory() = std::move(made);
}

PortTransport *MakePortTransport(const QString &address, QObject *parent)
{
    return factory() ? factory()(address, parent) : nullptr;
}
