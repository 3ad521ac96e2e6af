#include "ctl/service.h"

#include "ctl/ctlerror.h"
#include "ctl/values.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// The signal that asked for the stop, 0 until one does.
volatile std::sig_atomic_t g_stop = 0;
// The wait's wake-up: a byte written here ends a poll() on the read end.
int g_wake[2] = {-1, -1};

void onStopSignal(int signal)
{
    if (!g_stop)
        g_stop = signal;
    WakeWaiter();
}

// The signals whose default action ends the program. Left out: SIGKILL and
// SIGSTOP, which cannot be caught, and the faults, after which the program
// cannot go on.
sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
                       SIGXFSZ, SIGIO})
        sigaddset(&set, signal);
#ifdef SIGPWR
    sigaddset(&set, SIGPWR);
#endif
#ifdef SIGSTKFLT
    sigaddset(&set, SIGSTKFLT);
#endif
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        sigaddset(&set, signal);
    return set;
}

} // namespace

void CatchStopSignals()
{
    g_stop = 0;
    if (g_wake[0] < 0 && ::pipe(g_wake) == 0) {
        for (int fd : g_wake)
            ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    const sigset_t set = stopSignals();
    action.sa_mask = set;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (sigismember(&set, signal) == 1)
            sigaction(signal, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
}

bool StopRequested()
{
    return g_stop;
}

int StopExitCode()
{
    return 128 + (g_stop ? int(g_stop) : SIGINT);
}

void BlockStopSignals(sigset_t *before)
{
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, before);
}

void ClearStopRequest()
{
    g_stop = 0;
}

void WakeWaiter()
{
    const char byte = 1;
    if (g_wake[1] >= 0) {
        [[maybe_unused]] const ssize_t n = ::write(g_wake[1], &byte, 1);
    }
}

bool WaitUntil(SteadyClock::time_point when)
{
    while (!g_stop) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(when - SteadyClock::now()).count();
        if (left <= 0)
            return true;
        if (left > 2000 && g_wake[0] >= 0) {
            // poll() counts whole milliseconds: the last ones are slept to the microsecond below.
            pollfd wake = {g_wake[0], POLLIN, 0};
            if (::poll(&wake, 1, int(std::min<qint64>(left / 1000 - 1, 1000))) > 0) {
                char drain[64];
                while (::read(g_wake[0], drain, sizeof drain) > 0) {
                }
                return !g_stop;
            }
            continue;
        }
        const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
        timespec due;
        due.tv_sec = time_t(since / 1000000000);
        due.tv_nsec = long(since % 1000000000);
        const int result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
        if (result != EINTR)
            return !g_stop;
    }
    return false;
}

Rhythm::Rhythm(std::chrono::microseconds interval) : m_interval(interval), m_start(SteadyClock::now()) {}

SteadyClock::time_point Rhythm::next(bool *skipped)
{
    if (skipped)
        *skipped = false;
    if (m_interval.count() == 0)
        return SteadyClock::now();
    ++m_slot;
    const qint64 now = std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - m_start).count();
    if (m_slot * m_interval.count() < now) {
        m_slot = now / m_interval.count() + 1;
        if (skipped)
            *skipped = true;
    }
    return m_start + m_slot * m_interval;
}

void Rhythm::realign()
{
    if (m_interval.count() == 0)
        return;
    const qint64 now = std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - m_start).count();
    m_slot = now / m_interval.count();
}

PortKeeper::PortKeeper(const LineOptions &line, std::FILE *err, const QString &meanwhile)
    : m_line(line), m_err(err), m_meanwhile(meanwhile)
{
}

PortKeeper::~PortKeeper() = default;

void PortKeeper::open()
{
    auto master = std::make_unique<RtuMaster>(m_line, m_err);
    master->open();
    m_master = std::move(master);
}

RtuMaster *PortKeeper::ready()
{
    if (m_master)
        return m_master.get();
    if (SteadyClock::now() < m_nextTry)
        return nullptr;
    m_nextTry = SteadyClock::now() + std::chrono::seconds(1);
    try {
        open();
    } catch (const BusError &) {
        return nullptr;
    }
    PrintLine(m_err, QStringLiteral("psuctl: %1: %2: port back").arg(TimeNow(), m_master->device()));
    return m_master.get();
}

void PortKeeper::lost(const QString &cause)
{
    if (!m_master)
        return;
    PrintLine(m_err, QStringLiteral("psuctl: %1: %2; opening it again every second%3")
                         .arg(TimeNow(), cause, m_meanwhile.isEmpty() ? QString() : QStringLiteral(", ") + m_meanwhile));
    m_master.reset();
    m_nextTry = SteadyClock::now() + std::chrono::seconds(1);
}

bool PortKeeper::waitUntilBack()
{
    while (!ready()) {
        if (!WaitUntil(m_nextTry))
            return false;
    }
    return true;
}
