#include "support_net.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

quint16 FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool LoopbackListening(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    // local address 127.0.0.1:port, state 0A (LISTEN)
    const QByteArray entry =
        QStringLiteral("0100007F:%1 00000000:0000 0A").arg(port, 4, 16, QLatin1Char('0')).toUpper().toLatin1();
    return table.readAll().contains(entry);
}

SerialServer::SerialServer(const QString &device)
    : m_device(device)
{
}

SerialServer::~SerialServer()
{
    stop();
}

bool SerialServer::Installed()
{
    return !QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty();
}

bool SerialServer::start(quint16 port)
{
    stop();
    m_port = port ? port : FreeLoopbackPort();
    m_process = new QProcess;
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(QStringLiteral("socat"),
                     {QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr").arg(m_port),
                      QStringLiteral("FILE:%1,raw,echo=0").arg(m_device)});
    if (!m_process->waitForStarted(5000))
        return false;
    return QTest::qWaitFor([this] { return LoopbackListening(m_port); }, 10000);
}

void SerialServer::stop()
{
    if (!m_process)
        return;
    m_process->terminate();
    m_process->waitForFinished(5000);
    delete m_process;
    m_process = nullptr;
}

void SerialServer::kill()
{
    if (m_process)
        m_process->kill();
}

QString SerialServer::address() const
{
    return QStringLiteral("rtu+tcp://127.0.0.1:%1").arg(m_port);
}
