#pragma once

#include "link/buserror.h"
#include "link/modbustcp.h"
#include "master/rtumaster.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdio>

class BenchMetrics;
struct Invocation;
struct sockaddr;

// An address range of --allow: an IPv4 or IPv6 network and its prefix length.
// IPv4 addresses are kept as IPv4-mapped IPv6 ones, so that a client of a
// dual-stack listener matches an IPv4 range.
struct AddressRange {
    QByteArray network; // 16 bytes
    int bits = 128;

    bool contains(const QByteArray &address) const;
};

// "127.0.0.0/8,192.168.7.0/24,::1"; an address without a length is that one
// host. Raises CtlError (ExitUsage) naming the option and the piece it
// cannot take.
QVector<AddressRange> ParseAllowList(const QString &text, const QString &option = QStringLiteral("--allow"));
// A peer's address as 16 bytes (IPv4 mapped), and as "10.0.0.5:40112" or
// "[::1]:40112" for the log.
QByteArray PeerAddress(const sockaddr *address);
QString PeerText(const sockaddr *address);

// What psuctl serve is told, as the option parser checked it.
struct ServeOptions {
    // Loopback unless told otherwise: a bus opened to the network is a choice.
    QString host = QStringLiteral("127.0.0.1");
    // 502 is Modbus TCP's own port but a privileged one; 1502 is its usual
    // unprivileged stand-in, which a dynamic user without capabilities can bind.
    int port = 1502;
    QVector<AddressRange> allow; // empty: every address
    int maxClients = 16;
    // Who may write: nobody (--read-only), the clients of these ranges
    // (--allow-write), or, with neither, every client taken.
    bool readOnly = false;
    QVector<AddressRange> writers;
    // A write to unit 0 reaches every supply, and one to BusAddress takes a
    // supply off the address its users know: both are refused unless allowed.
    bool allowBroadcast = false;
    bool allowAddressChange = false;
    int idleSeconds = 60;      // a client silent this long is cut off; 0: never
    int statsEveryMinutes = 0; // the statistics in the log this often; 0: on SIGUSR1 only
    BenchMetrics *metrics = nullptr; // --metrics: told of each client's requests and refusals, and of reads
};

// "HOST", "HOST:PORT", ":PORT", "[V6]" or "[V6]:PORT" into options; raises
// CtlError (ExitUsage) on anything else.
void ParseListenAddress(const QString &text, ServeOptions &options);

// Modbus exception codes serve answers with.
enum ServeException : quint8 {
    IllegalFunction = 0x01,
    IllegalDataAddress = 0x02,     // a span of registers beyond 0xFFFF
    IllegalDataValue = 0x03,       // a count out of range, a byte count that does not match
    ServerBusy = 0x06,             // to a client beyond --max-clients, before it is closed
    GatewayPathUnavailable = 0x0A, // a unit id that is no bus address, or a read of unit 0
    GatewayTargetFailed = 0x0B     // no valid reply from the supply, or the port is lost
};
QByteArray ExceptionPdu(quint8 function, quint8 code);
// The answer to a request of function that failed on the bus: the supply's
// own exception, by its code; GatewayTargetFailed for no valid reply and for
// a port that is lost.
QByteArray FailureAnswer(quint8 function, const BusError &error);

// What is wrong with a request before it could go on the line, as the
// exception PDU that answers it; empty when it may go. Serve passes 0x03 and
// 0x10 (all the supplies speak), and 0x06 as a 0x10 of one register, to unit
// ids 1 to 247, and writes to 0.
QByteArray RequestFault(quint8 unit, const QByteArray &pdu);
bool IsBroadcastWrite(quint8 unit, const QByteArray &pdu);
// Why a request that RequestFault lets go is still not carried out for a
// client (mayWrite: its address may write), as the exception PDU that
// answers it: 0x01 for a write it may not make (read-only, not a writer, a
// broadcast), 0x02 for a write that reaches BusAddress. why says which, for
// the log; both are empty when it may go.
QByteArray RequestRefusal(quint8 unit, const QByteArray &pdu, bool mayWrite, const ServeOptions &options,
                          QString *why);
// The acknowledgement of a write PDU: its function, start and count (0x10)
// or value (0x06).
QByteArray WriteAcknowledgement(const QByteArray &pdu);

// The answer PDU to a request PDU for unit, carried out on master (which
// retries nothing itself): up to 1 + retries tries after a timeout or a
// spoilt reply; a supply's exception comes back as it is, no valid reply as
// GatewayTargetFailed. A broadcast write is sent once and nothing waited for
// but the timeout, in which every supply carries it out. Raises the
// master's BusError when the port is lost.
QByteArray CarryOut(RtuMaster &master, int retries, quint8 unit, const QByteArray &pdu);

// Serves the line until SIGINT or SIGTERM, and logs its statistics at
// SIGUSR1; returns the exit status. Raises
// CtlError when the port cannot be opened or the address not listened on.
int RunBusServer(const LineOptions &line, const ServeOptions &options, std::FILE *err);

// The serve command of the command table.
void CheckServe(const Invocation &inv);
int RunServe(const Invocation &inv, std::FILE *out, std::FILE *err);
