#include "link/mscomm.h"

#include "link/commports.h"
#include "link/linkaddress.h"
#include "link/portlock.h"
#include "link/porttransport.h"
#include "link/systemerror.h"

#include <QPointer>
#include <QSignalBlocker>
#include <QTimer>
#include <limits>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/ioctl.h>
#endif

TMSComm::TMSComm(QObject *parent)
    : QObject(parent), m_port(new QSerialPort(this))
{
    connect(m_port, &QSerialPort::readyRead, this, &TMSComm::onReadyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, &TMSComm::onError);
}

QString TMSComm::holderText(const PortHolder &holder)
{
    if (holder.program.isEmpty())
        return tr("进程 %1").arg(holder.pid);
    return tr("%1（进程 %2）").arg(holder.program).arg(holder.pid);
}

QString TMSComm::portLabel() const
{
    const QString device = CommPortDevice(m_commPort);
    if (device.isEmpty() || device == QStringLiteral("COM%1").arg(m_commPort))
        return QStringLiteral("COM%1").arg(m_commPort);
    return tr("COM%1（%2）").arg(m_commPort).arg(device);
}

qint64 TMSComm::pendingInSystem() const
{
    if (!m_port->isOpen())
        return 0;
#ifdef Q_OS_WIN
    COMSTAT status = {};
    DWORD errors = 0;
    if (!ClearCommError(m_port->handle(), &errors, &status))
        return 0;
    return status.cbInQue;
#else
    int waiting = 0;
    if (::ioctl(m_port->handle(), FIONREAD, &waiting) < 0)
        return 0;
    return waiting;
#endif
}

// Moves what the operating system holds into the port's own buffer. readyRead
// is blocked meanwhile: these bytes are being taken by the caller right now.
void TMSComm::pullFromSystem()
{
    QSignalBlocker blocker(m_port);
    while (m_port->isOpen() && pendingInSystem() > 0) {
        if (!m_port->waitForReadyRead(0))
            break;
    }
}

short TMSComm::InBufferCount()
{
    if (!portIsOpen())
        return 0;
    const qint64 waiting = m_link ? m_link->waiting() : m_port->bytesAvailable() + pendingInSystem();
    return short(qMin<qint64>(waiting, std::numeric_limits<short>::max()));
}

void TMSComm::SetInBufferCount(short count)
{
    if (count != 0 || !portIsOpen())
        return;
    if (m_link) {
        m_link->discardInput();
        return;
    }
    m_port->clear(QSerialPort::Input);
    // Anything the port had already buffered is gone as well.
    m_port->readAll();
}

void TMSComm::SetInputMode(int mode)
{
    m_inputMode = mode;
}

void TMSComm::SetInputLen(short length)
{
    m_inputLen = qMax<short>(length, 0);
}

void TMSComm::SetRThreshold(short threshold)
{
    m_rThreshold = qMax<short>(threshold, 0);
}

void TMSComm::Output(const QByteArray &bytes)
{
    if (!portIsOpen()) {
        // A port closed because its device vanished says why; a loss not yet
        // reported needs no report of its own then, the operator has the reason.
        if (!m_lostReason.isEmpty()) {
            m_lossUnreported = false;
            RaiseError(tr("串口未打开：%1").arg(m_lostReason));
        }
        RaiseError(tr("串口未打开，无法发送数据。请先通过“串行口设置”打开串口。"));
    }
    if (m_link) {
        m_link->write(bytes);
        return;
    }
    if (m_port->write(bytes) != bytes.size())
        RaiseError(tr("向 %1 写入数据失败：%2").arg(portLabel(), m_port->errorString()));
    // write() only queues; callers sleep after a send, so the frame must reach
    // the operating system now to go out in order and on time.
    while (m_port->isOpen() && m_port->bytesToWrite() > 0) {
        if (!m_port->flush() && !m_port->waitForBytesWritten(1000))
            RaiseError(tr("向 %1 写入数据失败：%2").arg(portLabel(), m_port->errorString()));
    }
}

QByteArray TMSComm::Input()
{
    if (!portIsOpen())
        return QByteArray();
    if (m_link)
        return m_link->take(m_inputLen);
    pullFromSystem();
    if (m_inputLen > 0)
        return m_port->read(m_inputLen);
    return m_port->readAll();
}

bool TMSComm::PortOpen() const
{
    return portIsOpen();
}

bool TMSComm::portIsOpen() const
{
    return m_link ? m_link->isOpen() : m_port->isOpen();
}

QString TMSComm::OpenDevice() const
{
    return portIsOpen() ? m_openDevice : QString();
}

void TMSComm::SetPortOpen(bool open)
{
    if (!open) {
        closePort();
        return;
    }
    if (portIsOpen() || m_link)
        RaiseError(tr("%1 已经打开。").arg(portLabel()));
    openPort();
}

void TMSComm::closePort()
{
    // Closed while it was down: no longer waiting for it to come back.
    if (!m_linkDown.isEmpty()) {
        m_linkDown.clear();
        emit LinkRestored();
    }
    if (m_link) {
        PortTransport *link = m_link;
        m_link = nullptr;
        link->close();
        link->deleteLater();
    }
    if (m_port->isOpen())
        m_port->close();
}

// A mapped network link: the bytes travel over the network, the rest of the
// control works as on a serial port.
void TMSComm::openLink(const QString &address)
{
    QString why;
    LinkAddress parsed;
    if (!ParseLinkAddress(address, &parsed, &why))
        RaiseError(tr("无法打开 %1：网络地址无效（%2）。").arg(portLabel(), why));
    PortTransport *link = MakePortTransport(address, this);
    if (!link)
        RaiseError(tr("无法打开 %1：本程序不支持网络连接。").arg(portLabel()));
    m_link = link;
    m_openDevice = address;
    // The connection is made with the event loop running: the port may be
    // closed (and the link let go) meanwhile.
    const QPointer<PortTransport> alive(link);
    try {
        link->open(m_line);
    } catch (...) {
        if (m_link == link)
            m_link = nullptr;
        if (alive)
            alive->deleteLater();
        throw;
    }
    // Closed again (or replaced) while the connection was being made.
    if (m_link != link)
        RaiseError(tr("%1 在连接过程中已被关闭。").arg(portLabel()));
    connect(link, &PortTransport::readyRead, this, &TMSComm::onReadyRead);
    connect(link, &PortTransport::failed, this, &TMSComm::linkFailed);
    connect(link, &PortTransport::restored, this, [this] {
        m_linkDown.clear();
        emit LinkRestored();
    });
}

void TMSComm::openPort()
{
    const QString device = CommPortDevice(m_commPort);
    if (device.isEmpty())
        RaiseError(tr("串口 COM%1 不存在：系统中没有与之对应的串口设备。").arg(m_commPort));
    m_lostReason.clear();
    if (IsNetworkAddress(device)) {
        openLink(device);
        return;
    }
    // The device itself, not a link to it: its lock file has the name every
    // program gives it.
    m_port->setPortName(PortDevicePath(device));
    m_openDevice = device;
    if (!m_port->open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = m_port->error();
        const QString reason = m_port->errorString();
        m_port->clearError();
        // Another program holds the port: say which.
        const PortHolder holder = FindPortHolder(device);
        if (holder.isSet())
            RaiseError(tr("无法打开 %1：端口正被 %2 使用。").arg(portLabel(), holderText(holder)));
        switch (error) {
        case QSerialPort::PermissionError:
#ifdef Q_OS_WIN
            RaiseError(tr("无法打开 %1：端口被其他程序占用或没有访问权限（%2）。")
                           .arg(portLabel(), reason));
#else
            RaiseError(tr("无法打开 %1：没有访问权限或端口被其他程序占用（%2）。\n"
                                      "在 Linux 上，串口设备通常属于 dialout 组：请执行 "
                                      "sudo usermod -aG dialout $USER，然后重新登录。")
                           .arg(portLabel(), reason));
#endif
        case QSerialPort::DeviceNotFoundError:
            RaiseError(tr("无法打开 %1：设备不存在（%2）。").arg(portLabel(), reason));
        default:
            RaiseError(tr("无法打开 %1：%2").arg(portLabel(), reason));
        }
    }
    try {
        applyLineSettings();
    } catch (...) {
        m_port->close();
        throw;
    }
    m_port->clear(QSerialPort::AllDirections);
}

void TMSComm::applyLineSettings()
{
    // A network link's far end keeps the line settings of its own serial side.
    if (m_link)
        return;
    const auto refuse = [this](const QString &what) {
        const QString reason = m_port->error() == QSerialPort::UnsupportedOperationError
            ? tr("设备不接受该设置")
            : m_port->errorString();
        m_port->clearError();
        RaiseError(tr("%1 不支持%2（%3）。").arg(portLabel(), what, reason));
    };
    if (!m_port->setBaudRate(m_line.baud))
        refuse(tr("波特率 %1").arg(m_line.baud));
    if (!m_port->setDataBits(m_line.dataBits))
        refuse(tr("数据位 %1").arg(int(m_line.dataBits)));
    if (!m_port->setParity(m_line.parity))
        refuse(m_line.parity == QSerialPort::EvenParity ? tr("偶校验")
               : m_line.parity == QSerialPort::OddParity ? tr("奇校验")
                                                          : tr("该校验"));
#ifndef Q_OS_WIN
    // termios knows one or two stop bits only; QSerialPort would quietly
    // send one where 1.5 was asked for.
    if (m_line.stopBits == QSerialPort::OneAndHalfStop)
        RaiseError(tr("%1 不支持停止位 1.5：本系统的串口驱动只提供 1 或 2 位停止位。")
                       .arg(portLabel()));
#endif
    if (!m_port->setStopBits(m_line.stopBits))
        refuse(tr("停止位 %1").arg(m_line.stopBitsText()));
    if (!m_port->setFlowControl(QSerialPort::NoFlowControl))
        refuse(tr("关闭流控"));
}

void TMSComm::SetCommPort(short port)
{
    if (portIsOpen())
        RaiseError(tr("端口打开时不能更改端口号。"));
    if (port < 1)
        RaiseError(tr("无效的端口号 %1。").arg(port));
    m_commPort = port;
}

void TMSComm::SetSettings(const QString &settings)
{
    LineSettings line;
    if (!ParseLineSettings(settings, &line))
        RaiseError(tr("无效的串口参数“%1”。").arg(settings));
    m_settings = settings;
    m_line = line;
    if (portIsOpen())
        applyLineSettings();
}

void TMSComm::onReadyRead()
{
    if (m_rThreshold >= 1 && InBufferCount() > 0)
        emit OnComm();
}

// A vanished device shows up as a storm of read errors while the port stays
// open; close at the first one so that the tool stays responsive and every
// later send fails like any send on a closed port.
void TMSComm::onError(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError)
        return;
    if (!m_port->isOpen())
        return;
    const QString reason = m_port->errorString();
    m_port->clearError();
    portFailed(reason);
}

// A network link comes back by itself: the port stays open meanwhile, so
// that the windows carry on where they were once it is back.
void TMSComm::linkFailed(const QString &reason)
{
    m_linkDown = reason;
    emit LinkInterrupted(tr("%1 的网络连接中断：%2。\n每秒自动重新连接一次，连接恢复后继续通讯。")
                             .arg(portLabel(), reason));
}

void TMSComm::portFailed(const QString &reason)
{
    m_lostReason = tr("串口 %1 出错，已关闭：%2。\n请检查连接后重新进行串行口设置。").arg(portLabel(), reason);
    closePort();
    m_lossUnreported = true;
    QTimer::singleShot(0, this, [this, report = m_lostReason] {
        if (!m_lossUnreported)
            return;
        m_lossUnreported = false;
        emit PortLost(report);
    });
}
