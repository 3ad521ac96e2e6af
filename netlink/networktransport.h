#pragma once

#include "link/linkaddress.h"
#include "link/porttransport.h"

#include <QByteArray>
#include <QElapsedTimer>

class QEventLoop;
class QTcpSocket;
class QTimer;

// The tool's port over the network (Qt Network). rtu+tcp:// carries the
// frames byte for byte to a transparent serial server; tcp:// sends each
// frame as a Modbus TCP request (its CRC replaced by the MBAP header) and
// turns each reply back into the RTU frame a supply would have sent, with a
// correct CRC, so that the channel and the dispatcher see RTU as ever.
class NetworkTransport : public PortTransport
{
    Q_OBJECT

public:
    NetworkTransport(const LinkAddress &address, QObject *parent = nullptr);

    // How long open() waits for the server, and a new attempt after a failure.
    static constexpr int ConnectTimeoutMs = 5000;
    // A link that failed under way tries again this often.
    static constexpr int ReconnectMs = 1000;
    // A link that has sent nothing for this long is idle: a server that ends
    // it then (psuctl serve's --idle) owes no reply, and the link is simply
    // made again without a word.
    static constexpr int IdleMs = 2000;

    void open(const LineSettings &line) override;
    void close() override;
    bool isOpen() const override { return m_open; }
    qint64 waiting() override;
    QByteArray take(qint64 max) override;
    void discardInput() override;
    void write(const QByteArray &frame) override;

private:
    void remakeQuietly();
    void pull();
    void absorb();
    void onDisconnected();
    void reconnect();
    void onConnected();

    LinkAddress m_address;
    QTcpSocket *m_socket;
    bool m_open = false;
    QEventLoop *m_connecting = nullptr; // the wait of open(), which close() ends
    bool m_pulling = false;
    QString m_failure;    // why the link failed under way, until it is back
    QTimer *m_reconnect;  // the attempts while it is down
    QElapsedTimer m_attempt;
    QElapsedTimer m_lastWrite;
    bool m_quietReconnect = false; // making an idle link again after the server ended it
    QByteArray m_raw;     // Modbus TCP bytes not yet a whole frame
    QByteArray m_waiting; // what the channel reads: RTU bytes
    quint16 m_transaction = 0;
};

// Installs the network links as the transports of mapped port numbers.
void InstallNetworkTransports();
