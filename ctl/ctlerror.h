#pragma once

#include "link/buserror.h"
#include "link/systemerror.h"

// What psuctl's exit status tells a script.
enum ExitCode {
    ExitSuccess = 0,
    ExitUsage = 1,        // a bad option, value or steps file; nothing was sent
    ExitPort = 2,         // the port cannot be opened
    ExitNoReply = 3,      // no valid reply after the retries
    ExitException = 4,    // the supply answered with a Modbus exception
    ExitReadBack = 5,     // the supply holds something other than what was written
    ExitTestFailed = 6,   // a test plan ran and a slot did not pass
    ExitRefused = 7,      // the broker refused the login or TLS failed: trying again cannot help
    ExitHistoryLost = 8,  // a test ran, but its history could not be kept (its verdicts are in the reports)
    ExitInterrupted = 130 // a run or scan ended by Ctrl-C (128 + SIGINT; another signal gives 128 + its number)
};

// A failure that ends the command with its exit status; caught once, in
// RunPsuctl, which prints the text on one line (a BusError as well, with the
// status ExitCodeOf gives it).
class CtlError : public SystemError
{
public:
    CtlError(int exitCode, const QString &text) : SystemError(text), m_exitCode(exitCode) {}
    int exitCode() const { return m_exitCode; }

private:
    int m_exitCode;
};

[[noreturn]] inline void Fail(int exitCode, const QString &text)
{
    throw CtlError(exitCode, text);
}

// The exit status a failure on the bus stands for: the port's own failures
// ExitPort, a supply that gave no valid reply ExitNoReply, an exception
// ExitException.
inline int ExitCodeOf(const BusError &error)
{
    switch (error.kind()) {
    case BusError::Kind::Timeout:
    case BusError::Kind::SpoiltReply:
        return ExitNoReply;
    case BusError::Kind::Exception:
        return ExitException;
    case BusError::Kind::PortLost:
    case BusError::Kind::Refused:
        break;
    }
    return ExitPort;
}

// The exit status of a failure a command met: its own (CtlError) or the one
// its failure on the bus stands for. Nothing else is raised under psuctl's
// commands; anything else counts as the port's.
inline int ExitCodeOf(const SystemError &error)
{
    if (const auto *own = dynamic_cast<const CtlError *>(&error))
        return own->exitCode();
    if (const auto *bus = dynamic_cast<const BusError *>(&error))
        return ExitCodeOf(*bus);
    return ExitPort;
}
