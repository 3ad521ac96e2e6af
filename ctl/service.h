#pragma once

#include "master/rtumaster.h"

#include <QString>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>

// What psuctl's long-running commands share (status --watch, the MQTT bridge,
// serve): stopping on a signal, a rhythm of rounds, and a port that is opened
// again when it is lost.

using SteadyClock = std::chrono::steady_clock;

// Every signal that would end the program and can be caught (SIGHUP of a
// dropped session, SIGINT, SIGQUIT, SIGTERM, SIGUSR1/2, SIGALRM, the limits'
// SIGXCPU and SIGXFSZ, the real-time signals, ...), from CatchStopSignals()
// on, sets a flag that loops look at between requests, so a request under way
// finishes and a run can still switch its output off. They also wake
// WaitUntil(), as WakeWaiter() does from another thread. SIGPIPE is ignored
// from then on: a write to a closed pipe fails with EPIPE instead of ending
// the program. The faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) and
// SIGKILL end it where it is.
void CatchStopSignals();
bool StopRequested();
// The exit status that tells which signal asked for the stop: 128 + its
// number, as a shell reports a program that a signal ended.
int StopExitCode();
// Keeps the stop signals away from the calling thread (another thread takes
// them), so that a wait under way there is never cut short by one; before
// gets the mask to put back.
void BlockStopSignals(sigset_t *before);
// Forgets a stop asked for earlier (psuctl run again in the same process).
void ClearStopRequest();
void WakeWaiter();
// Sleeps until when, a signal or a wake-up, whichever comes first; false when
// a stop was asked for.
bool WaitUntil(SteadyClock::time_point when);

// Rounds on slots of a fixed interval counted from the first, so a late round
// does not shift the ones after it; slots that passed during a slow round are
// skipped. An interval of 0 runs rounds back to back.
class Rhythm
{
public:
    explicit Rhythm(std::chrono::microseconds interval);
    // The start of the next slot still ahead; skipped tells whether slots
    // were passed over to find it.
    SteadyClock::time_point next(bool *skipped = nullptr);
    // Time lost that was not a round's fault (a port away): the next slot is
    // counted from now.
    void realign();
    std::chrono::microseconds interval() const { return m_interval; }

private:
    std::chrono::microseconds m_interval;
    SteadyClock::time_point m_start;
    qint64 m_slot = 0;
};

// Owns the line's master. A port that is lost (a device unplugged, an I/O
// error) is closed with one line on err and opened again at most once a
// second, with one line when it is back. meanwhile, when given, ends the
// line of the loss with what the command does until then ("answering 0x0B
// meanwhile").
class PortKeeper
{
public:
    PortKeeper(const LineOptions &line, std::FILE *err, const QString &meanwhile = QString());
    ~PortKeeper();
    // At start-up: raises CtlError (ExitPort) when the port cannot be had.
    void open();
    // The master, or nullptr while the port is lost and its next try is not
    // due or fails.
    RtuMaster *ready();
    void lost(const QString &cause);
    bool isLost() const { return !m_master; }
    // When ready() tries a lost port again; a loop that waits on something
    // else wakes up by then.
    SteadyClock::time_point nextTry() const { return m_nextTry; }
    // Tries again every second until the port is back (true) or a stop is
    // asked for (false).
    bool waitUntilBack();

private:
    LineOptions m_line;
    std::FILE *m_err;
    QString m_meanwhile;
    std::unique_ptr<RtuMaster> m_master;
    SteadyClock::time_point m_nextTry;
};
