#pragma once

#include "link/linesettings.h"

#include <QObject>
#include <QSerialPort>
#include <QString>

class PortTransport;
struct PortHolder;

// The serial control of the main window: a small property interface over
// QSerialPort that the serial channel, the start-up code and the serial
// settings dialog drive. A port number mapped to a network address
// (MapCommPort(2, "rtu+tcp://host:4001")) is opened as a network link made by
// the installed transport factory instead, with the same bytes and events.
// It raises OnComm on the GUI thread whenever received
// bytes are waiting, and reports refused operations as SystemError.
class TMSComm : public QObject
{
    Q_OBJECT

public:
    explicit TMSComm(QObject *parent = nullptr);

    // Bytes that have reached the computer and not been read, counted without
    // running the event loop, so that a reception sleeping on the GUI thread
    // still sees bytes arrive. 16-bit like the counter it stands for.
    short InBufferCount();
    // Writing 0 discards every waiting byte; other values are not meaningful.
    void SetInBufferCount(short count);

    void SetInputMode(int mode);
    int InputMode() const { return m_inputMode; }
    // 0: Input takes every waiting byte; n > 0: Input takes at most n bytes.
    void SetInputLen(short length);
    short InputLen() const { return m_inputLen; }
    // 0: no OnComm for received bytes; 1 or more: OnComm whenever bytes wait.
    void SetRThreshold(short threshold);
    short RThreshold() const { return m_rThreshold; }

    // Hands the bytes to the operating system before returning.
    void Output(const QByteArray &bytes);
    // Removes and returns the waiting bytes, at most InputLen of them when set.
    QByteArray Input();

    bool PortOpen() const;
    void SetPortOpen(bool open);

    void SetCommPort(short port);
    short CommPort() const { return m_commPort; }

    // "baud,parity,data,stop", for example "9600,n,8,1" or "4800,e,7,1.5".
    void SetSettings(const QString &settings);
    QString Settings() const { return m_settings; }

    // The device the port was opened on (empty while closed).
    QString OpenDevice() const;

    // Why the network link of the open port is down, while it connects
    // again; empty while it is up (and on a serial port).
    QString LinkInterruption() const { return m_linkDown; }

signals:
    void OnComm();
    // The port was closed because its device failed; reason says which and why.
    // Raised once per loss, from the event loop after the close, unless a send
    // refused in the meantime has already said why.
    void PortLost(const QString &reason);
    // The network link of the open port went down: the port stays open, its
    // sends are refused, and the link connects again every second. Raised
    // once per loss, at once; LinkRestored when it is back, or when the port
    // is closed meanwhile (nothing waits for it then).
    void LinkInterrupted(const QString &reason);
    void LinkRestored();

private:
    qint64 pendingInSystem() const;
    void pullFromSystem();
    bool portIsOpen() const;
    void openPort();
    void openLink(const QString &address);
    void closePort();
    void portFailed(const QString &reason);
    void linkFailed(const QString &reason);
    void applyLineSettings();
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);
    QString portLabel() const;
    static QString holderText(const PortHolder &holder);

    QSerialPort *m_port;
    // The network link while the port is open over one, else null.
    PortTransport *m_link = nullptr;
    int m_inputMode = 0;
    short m_inputLen = 0;
    short m_rThreshold = 0;
    short m_commPort = 1;
    QString m_openDevice;
    // Why the port was closed behind the operator's back, until it is opened again.
    QString m_lostReason;
    // PortLost is still due: no send error has carried the reason yet.
    bool m_lossUnreported = false;
    // Why the network link is down while it connects again.
    QString m_linkDown;
    QString m_settings = QStringLiteral("9600,n,8,1");
    LineSettings m_line;
};
