#include "support_mqtt.h"

#include <QFile>
#include <QTest>

#include <algorithm>

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool accepting(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

} // namespace

QProcess *StartMosquitto(const QString &configPath, const QString &settings, const QList<int> &ports,
                         const QString &logPath, QObject *parent)
{
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly))
        return nullptr;
    const passwd *account = ::getpwuid(::getuid());
    config.write(QStringLiteral("user %1\n").arg(QString::fromLocal8Bit(account ? account->pw_name : "root")).toUtf8());
    config.write(settings.toUtf8());
    config.close();
    auto *broker = new QProcess(parent);
    broker->setProcessChannelMode(QProcess::MergedChannels);
    broker->setStandardOutputFile(logPath, QIODevice::Append);
    broker->start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), configPath});
    const auto acceptingAll = [&ports] {
        return std::all_of(ports.cbegin(), ports.cend(), [](int port) { return accepting(port); });
    };
    if (!broker->waitForStarted() || !QTest::qWaitFor(acceptingAll, 20000)) {
        delete broker;
        return nullptr;
    }
    return broker;
}

MqttSubscriber::MqttSubscriber(int port, const QStringList &filters, const QStringList &login, const QString &clientId)
{
    QStringList arguments{"-h", "127.0.0.1", "-p", QString::number(port), "-q", "1", "-v"};
    arguments << login;
    for (const QString &filter : filters)
        arguments << "-t" << filter;
    if (!clientId.isEmpty())
        arguments << "-c" << "-i" << clientId;
    m_process.start(QStringLiteral("mosquitto_sub"), arguments);
    m_process.waitForStarted();
}

MqttSubscriber::~MqttSubscriber()
{
    m_process.terminate();
    m_process.waitForFinished(5000);
}

QVector<QByteArray> MqttSubscriber::on(const QString &topic)
{
    m_text += m_process.readAllStandardOutput();
    QVector<QByteArray> payloads;
    const QByteArray prefix = topic.toUtf8() + ' ';
    for (const QByteArray &line : m_text.split('\n')) {
        if (line.startsWith(prefix))
            payloads << line.mid(prefix.size());
    }
    return payloads;
}
