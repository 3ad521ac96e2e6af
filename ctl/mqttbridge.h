#pragma once

#include "ctl/cli.h"
#include "master/rtumaster.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdio>
#include <optional>

struct ModelEntry;
struct SetValues;

// Everything psuctl mqtt is told, as the option parser checked it.
struct BridgeOptions {
    QVector<SupplyRef> supplies;    // each with its model
    QString host = QStringLiteral("localhost");
    int port = 0;                      // 0: 1883, or 8883 with a CA file
    QString prefix = QStringLiteral("psu");
    QString bench;                     // empty: the host name
    int pollMs = 1000;
    QString username;                  // empty: $PSUCTL_MQTT_USERNAME
    QString passwordFile;              // empty: $PSUCTL_MQTT_PASSWORD
    QString caFile;                    // TLS with this CA when given
    bool homeAssistant = false;        // retained discovery messages
    QString discoveryPrefix = QStringLiteral("homeassistant");
    int failsafeOffSeconds = 0;        // 0: no failsafe
    QString clientId;                  // empty: psuctl-PREFIX-BENCH
};

// A set command received as a payload. Each member is read by set's option of
// the same name (a number as its text, a string as it is) and the whole is
// checked against the supply's model as set checks it. error is empty when
// the command may go to the supply; then values holds what to write.
struct BridgeCommand {
    std::optional<QByteArray> id; // the id member as JSON text ("\"a1\"", "17")
    QString error;
};
BridgeCommand ParseBridgeCommand(const QByteArray &payload, const ModelEntry &model, SetValues &values);

// Runs the bridge until SIGINT or SIGTERM; returns the exit status. Raises
// CtlError when the broker or the port cannot be had at start-up (exit 2).
int RunBridge(const LineOptions &line, const BridgeOptions &options, std::FILE *err);

// The mqtt command of the command table: its options into BridgeOptions.
void CheckMqtt(const Invocation &inv);
int RunMqtt(const Invocation &inv, std::FILE *out, std::FILE *err);
