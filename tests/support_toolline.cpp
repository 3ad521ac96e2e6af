#include "support_toolline.h"

#include "app/forms.h"
#include "app/mainwindow.h"
#include "link/commports.h"
#include "link/mscomm.h"
#include "link/serialchannel.h"

#include <exception>

QString ToolOnPty::open(std::function<void(const QByteArray &frame)> observer)
{
    CreateForms();
    m_peer = std::make_unique<PtyPeer>();
    try {
        OpenToolPort(m_peer->slavePath());
    } catch (const std::exception &error) {
        return QString::fromLocal8Bit(error.what());
    }
    if (!MAIN->MSComm1->PortOpen())
        return QStringLiteral("the tool's port did not open on %1").arg(m_peer->slavePath());
    if (!observer)
        observer = [this](const QByteArray &frame) { m_sent.append(frame); };
    SetSendObserver(std::move(observer));
    return QString();
}

void ToolOnPty::close()
{
    SetSendObserver({});
    DestroyForms();
    m_peer.reset();
    ClearCommPortMappings();
    ResetToolState();
}

void ToolOnPty::reset()
{
    m_fixture.reset();
    m_peer->received();
    m_sent.clear();
}
