#pragma once

#include "ctl/scpiinstrument.h"
#include "ctl/serve.h"

#include <QString>
#include <QVector>

#include <cstdio>

struct Invocation;
struct LineOptions;

// What psuctl scpi is told, as the option parser checked it: each supply on
// a TCP port of its own.
struct ScpiPort {
    int port = 0; // 0: one the system picks, which the log names
    ScpiSupply supply;
};
struct ScpiOptions {
    QString host = QStringLiteral("127.0.0.1");
    int port = 5025; // the first supply's; the next ones count on from it
    QVector<AddressRange> allow;
    int maxClients = 16;
    QVector<ScpiPort> ports;
};

// "5025=1,5026=5:QELT60-05": a port for each address, each with an optional
// model; raises CtlError (ExitUsage) naming the piece it cannot take.
QVector<ScpiPort> ParsePortMap(const QString &text);

// Serves each supply as a SCPI instrument over a raw TCP socket until SIGINT
// or SIGTERM; returns the exit status. Raises CtlError when the port cannot
// be opened or an address not listened on.
int RunScpiServer(const LineOptions &line, const ScpiOptions &options, std::FILE *err);

// The scpi command of the command table.
void CheckScpi(const Invocation &inv);
int RunScpi(const Invocation &inv, std::FILE *out, std::FILE *err);
