#pragma once

#include <QString>
#include <QtGlobal>

class QProcess;

// A port on the loopback that nothing listens on at the moment of asking.
quint16 FreeLoopbackPort();

// Whether a process listens on the loopback port, from the kernel's table (a
// test connection would use up a server that takes one).
bool LoopbackListening(quint16 port);

// socat between a loopback TCP port and a device, as a transparent serial
// server stands between the network and an RS-485 bus. It takes one
// connection, as such a server does: a forked socat per connection would
// leave the last one reading the line while it winds down. start() again
// for the next.
class SerialServer
{
public:
    explicit SerialServer(const QString &device);
    ~SerialServer();
    SerialServer(const SerialServer &) = delete;
    SerialServer &operator=(const SerialServer &) = delete;

    // Whether socat is installed at all.
    static bool Installed();

    // Returns once it listens on port (a new one when 0); false when it does
    // not within 10 s.
    bool start(quint16 port = 0);
    void stop();
    // Gone at once, as a server that loses its power.
    void kill();

    quint16 port() const { return m_port; }
    // rtu+tcp://127.0.0.1:port
    QString address() const;

private:
    QString m_device;
    QProcess *m_process = nullptr;
    quint16 m_port = 0;
};
