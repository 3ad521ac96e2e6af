#pragma once

#include "link/linesettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

// What the serial control talks to when a port number is mapped to a network
// link instead of a device (MapCommPort(2, "rtu+tcp://bench-7.lab:4001")):
// the same bytes in and out, so that the channel above sees a serial line.
// Implementations live beside the link layer (the network one on Qt Network)
// and are made through the factory the program installs.
class PortTransport : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Opens the link; raises SystemError with the reason when it cannot.
    // The GUI stays live meanwhile (a network link connects asynchronously).
    virtual void open(const LineSettings &line) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // Received bytes waiting, taking in whatever has arrived without running
    // the event loop (a reception sleeping on the GUI thread still sees them).
    virtual qint64 waiting() = 0;
    // Removes and returns at most max waiting bytes (all with max 0).
    virtual QByteArray take(qint64 max) = 0;
    // Throws every waiting byte away.
    virtual void discardInput() = 0;
    // Hands one frame to the link before returning; raises SystemError when it cannot.
    virtual void write(const QByteArray &frame) = 0;

signals:
    // Bytes have arrived.
    void readyRead();
    // The link failed under way; reason says why. It stays open and connects
    // again by itself (sends are refused meanwhile) until it is closed.
    void failed(const QString &reason);
    // The link that failed is connected again.
    void restored();
};

// Makes the transport for a network address (an empty pointer for one it
// does not know); installed once by the program (the tool installs the
// network links at start-up).
using PortTransportFactory = std::function<PortTransport *(const QString &address, QObject *parent)>;
void SetPortTransportFactory(PortTransportFactory factory);
PortTransport *MakePortTransport(const QString &address, QObject *parent);
