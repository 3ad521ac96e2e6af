#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVector>

// Debian's mosquitto for a test, on loopback ports, with the settings given
// (listeners, logins, persistence) and running as the user who runs the test
// (started as root, it would drop to its own user, which cannot read a test's
// private directory). Its output goes to logPath. Returns it once it accepts
// connections on every port, or nullptr when it does not within 20 s.
QProcess *StartMosquitto(const QString &configPath, const QString &settings, const QList<int> &ports,
                         const QString &logPath, QObject *parent);

// mosquitto_sub on topic filters, keeping "topic payload" lines.
class MqttSubscriber
{
public:
    // login: e.g. {"-u", user, "-P", password}. With a client id, the broker
    // keeps the subscriber's session (and what comes for it) while the
    // subscriber or the broker is away.
    MqttSubscriber(int port, const QStringList &filters, const QStringList &login = {},
                   const QString &clientId = QString());
    ~MqttSubscriber();
    MqttSubscriber(const MqttSubscriber &) = delete;
    MqttSubscriber &operator=(const MqttSubscriber &) = delete;

    // The payloads received on topic so far.
    QVector<QByteArray> on(const QString &topic);

private:
    QProcess m_process;
    QByteArray m_text;
};
