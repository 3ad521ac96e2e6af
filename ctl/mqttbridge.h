#pragma once

#include "ctl/bridgecommand.h"
#include "ctl/brokerlink.h"

#include <cstdio>

class BenchMetrics;

// Runs the bridge until SIGINT or SIGTERM (exit status 0) or until the broker
// refuses the login or TLS fails (ExitRefused). Raises CtlError when the port
// cannot be had at start-up (ExitPort) or a setting is wrong (ExitUsage). A
// broker away at start-up is waited for.
// metrics, when given, is told of every reading.
int RunBridge(const LineOptions &line, const BridgeOptions &options, std::FILE *err, BenchMetrics *metrics = nullptr);

// The mqtt command of the command table.
int RunMqtt(const Invocation &inv, std::FILE *out, std::FILE *err);
