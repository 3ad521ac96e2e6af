#include "netlink/networktransport.h"

#include "link/modbustcp.h"
#include "link/systemerror.h"

#include <QEventLoop>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

NetworkTransport::NetworkTransport(const LinkAddress &address, QObject *parent)
    : PortTransport(parent), m_address(address), m_socket(new QTcpSocket(this)), m_reconnect(new QTimer(this))
{
    m_reconnect->setInterval(ReconnectMs);
    connect(m_reconnect, &QTimer::timeout, this, &NetworkTransport::reconnect);
    connect(m_socket, &QTcpSocket::connected, this, &NetworkTransport::onConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, [this] {
        absorb();
        if (!m_pulling && !m_waiting.isEmpty())
            emit readyRead();
    });
    connect(m_socket, &QTcpSocket::disconnected, this, &NetworkTransport::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this] {
        if (m_open && m_socket->state() != QAbstractSocket::ConnectedState)
            onDisconnected();
    });
}

void NetworkTransport::open(const LineSettings &)
{
    const QString where = m_address.text();
    // The GUI stays live while the name is looked up and the server answers;
    // a close() meanwhile (the port set closed again) ends the wait.
    QEventLoop wait;
    QTimer timeout;
    timeout.setSingleShot(true);
    connect(&timeout, &QTimer::timeout, &wait, &QEventLoop::quit);
    connect(m_socket, &QTcpSocket::connected, &wait, &QEventLoop::quit);
    connect(m_socket, &QTcpSocket::errorOccurred, &wait, &QEventLoop::quit);
    m_socket->connectToHost(m_address.host, m_address.port);
    timeout.start(ConnectTimeoutMs);
    QPointer<NetworkTransport> self(this);
    bool cancelled = false;
    if (m_socket->state() != QAbstractSocket::ConnectedState && m_socket->state() != QAbstractSocket::UnconnectedState) {
        m_connecting = &wait;
        wait.exec();
        cancelled = !self || !m_connecting;
        if (self)
            m_connecting = nullptr;
    }
    if (cancelled)
        RaiseError(tr("与 %1 的连接在建立过程中被取消。").arg(where));
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        const QString why = timeout.isActive() ? m_socket->errorString()
                                               : tr("%1 秒内没有应答").arg(ConnectTimeoutMs / 1000);
        m_socket->abort();
        RaiseError(tr("无法连接 %1：%2。").arg(where, why));
    }
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_open = true;
}

void NetworkTransport::close()
{
    if (m_connecting) {
        m_connecting->quit();
        m_connecting = nullptr;
    }
    m_open = false;
    m_quietReconnect = false;
    m_reconnect->stop();
    m_failure.clear();
    m_socket->abort();
    m_raw.clear();
    m_waiting.clear();
}

void NetworkTransport::onDisconnected()
{
    if (!m_open || !m_failure.isEmpty())
        return;
    const bool closedByServer =
        m_socket->error() == QAbstractSocket::RemoteHostClosedError || m_socket->errorString().isEmpty();
    if (closedByServer && !m_quietReconnect && (!m_lastWrite.isValid() || m_lastWrite.hasExpired(IdleMs))) {
        // Nothing was asked: the server let an idle link go. Made again once,
        // after the socket has settled; only if that fails is the link lost.
        m_quietReconnect = true;
        m_raw.clear();
        m_waiting.clear();
        QTimer::singleShot(0, this, [this] {
            if (m_open && m_quietReconnect)
                remakeQuietly();
        });
        return;
    }
    m_quietReconnect = false;
    m_failure = closedByServer ? tr("%1 断开了连接").arg(m_address.text())
                               : tr("与 %1 的连接中断（%2）").arg(m_address.text(), m_socket->errorString());
    // Told at once, so that nothing is sent meanwhile; the link stays in
    // place (a reception that noticed it may still be reading from it).
    m_reconnect->start();
    emit failed(m_failure);
}

// Connects again after the server ended an idle link, unless a send has
// already begun it; a send meanwhile waits in the socket for the connection.
void NetworkTransport::remakeQuietly()
{
    const QAbstractSocket::SocketState state = m_socket->state();
    if (state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState
        || state == QAbstractSocket::ConnectedState)
        return;
    m_socket->abort();
    m_attempt.start();
    m_socket->connectToHost(m_address.host, m_address.port);
}

// A new attempt each second while the link is down; one that has not
// connected within the wait of open() is given up for the next.
void NetworkTransport::reconnect()
{
    if (!m_open || m_failure.isEmpty()) {
        m_reconnect->stop();
        return;
    }
    if (m_socket->state() != QAbstractSocket::UnconnectedState) {
        if (!m_attempt.isValid() || !m_attempt.hasExpired(ConnectTimeoutMs))
            return;
        m_socket->abort();
    }
    m_attempt.start();
    m_socket->connectToHost(m_address.host, m_address.port);
}

void NetworkTransport::onConnected()
{
    if (m_open && m_quietReconnect) {
        m_quietReconnect = false;
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        return;
    }
    if (!m_open || m_failure.isEmpty())
        return;
    m_reconnect->stop();
    m_failure.clear();
    // Whatever was under way when the link went will never be answered.
    m_raw.clear();
    m_waiting.clear();
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    emit restored();
}

// Takes in what the system holds for the socket without the event loop: a
// reception sleeping on the GUI thread still sees the bytes arrive.
void NetworkTransport::pull()
{
    if (!m_open)
        return;
    m_pulling = true;
    while (m_socket->state() == QAbstractSocket::ConnectedState && m_socket->waitForReadyRead(0)) {
    }
    m_pulling = false;
    absorb();
}

void NetworkTransport::absorb()
{
    const QByteArray arrived = m_socket->readAll();
    if (m_address.kind == LinkAddress::RtuOverTcp) {
        m_waiting += arrived;
        return;
    }
    m_raw += arrived;
    for (;;) {
        const int length = MbapFrameLength(m_raw);
        if (length < 0) {
            // Not Modbus TCP: nothing after it can be framed either.
            m_raw.clear();
            return;
        }
        if (length == 0 || m_raw.size() < length)
            return;
        m_waiting += RtuFromMbap(m_raw.left(length));
        m_raw.remove(0, length);
    }
}

qint64 NetworkTransport::waiting()
{
    pull();
    return m_waiting.size();
}

QByteArray NetworkTransport::take(qint64 max)
{
    pull();
    const QByteArray taken = max > 0 ? m_waiting.left(max) : m_waiting;
    m_waiting.remove(0, taken.size());
    return taken;
}

void NetworkTransport::discardInput()
{
    pull();
    m_waiting.clear();
}

void NetworkTransport::write(const QByteArray &frame)
{
    if (!m_failure.isEmpty())
        RaiseError(tr("向 %1 发送失败：%2。").arg(m_address.text(), m_failure));
    QByteArray bytes = frame;
    if (m_address.kind == LinkAddress::ModbusTcp) {
        bytes = MbapFromRtu(frame, ++m_transaction);
        if (bytes.isEmpty())
            RaiseError(tr("%1 字节的帧不是 Modbus 请求，无法经 %2 发送。").arg(frame.size()).arg(m_address.text()));
    }
    if (m_quietReconnect)
        remakeQuietly();
    m_lastWrite.start();
    if (m_socket->write(bytes) != bytes.size())
        RaiseError(tr("向 %1 发送失败：%2。").arg(m_address.text(), m_socket->errorString()));
    // To the system now, as a serial send does: callers sleep after a send.
    m_socket->flush();
}

void InstallNetworkTransports()
{
    SetPortTransportFactory([](const QString &text, QObject *parent) -> PortTransport * {
        LinkAddress address;
        if (!ParseLinkAddress(text, &address, nullptr))
            return nullptr;
        return new NetworkTransport(address, parent);
    });
}
