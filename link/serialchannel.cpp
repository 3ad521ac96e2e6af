#include "link/serialchannel.h"

#include "link/mscomm.h"
#include "link/replydispatcher.h"
#include "link/statusfeed.h"

#include <QPointer>
#include <QThread>
#include <QTimer>

bool RxBusy = false;

namespace {

QPointer<TMSComm> g_comm;
FrameObserver g_sendObserver;
ReplyHandler g_replyHandler;
SleepFunction g_sleep;

constexpr int kPollMs = 30;
constexpr int kFloodLimit = 500;

TMSComm &control()
{
    if (!g_comm)
        throw std::logic_error("no serial control attached");
    return *g_comm;
}

// RxBusy goes false again however the reception ends, also when the
// dispatcher raises an error part way.
struct ReceptionGuard {
    ReceptionGuard() { RxBusy = true; }
    ~ReceptionGuard() { RxBusy = false; }
    ReceptionGuard(const ReceptionGuard &) = delete;
    ReceptionGuard &operator=(const ReceptionGuard &) = delete;
};

// Blocks the GUI thread: nothing else is handled while the line is watched.
void sleepMs(int ms)
{
    if (g_sleep)
        g_sleep(ms);
    else
        QThread::msleep(ms);
}

} // namespace

void AttachSerialControl(TMSComm *comm)
{
    g_comm = comm;
}

void SetSendObserver(FrameObserver observer)
{
    g_sendObserver = std::move(observer);
}

void SetReplyHandler(ReplyHandler handler)
{
    g_replyHandler = std::move(handler);
}

void SetSleepFunction(SleepFunction sleep)
{
    g_sleep = std::move(sleep);
}

void SendFrame(const QByteArray &frame)
{
    TMSComm &comm = control();
    comm.SetInBufferCount(0);
    comm.Output(frame);
    if (g_sendObserver)
        g_sendObserver(frame);
}

void WaitForQuietLine(int limit)
{
    TMSComm &comm = control();
    int previous = 0;
    int empty = 0;
    for (;;) {
        sleepMs(kPollMs);
        const int n = comm.InBufferCount();
        if (n > 0 && n == previous)
            return;
        if (n <= 0)
            ++empty;
        if (empty > limit)
            return;
        if (n > kFloodLimit)
            return;
        previous = n;
    }
}

void ReceiveReply()
{
    TMSComm &comm = control();
    sleepMs(1);
    if (comm.InBufferCount() <= 0 || RxBusy)
        return;
    QByteArray reply;
    {
        ReceptionGuard guard;
        WaitForQuietLine(30);
        const short n = comm.InBufferCount();
        // Take exactly the bytes that were counted; bytes that arrived since
        // stay waiting and make up the next reply.
        comm.SetInputLen(qMax<short>(n, 0));
        reply = n > 0 ? comm.Input() : QByteArray();
        comm.SetInputLen(0);
        if (!reply.isEmpty()) {
            if (g_replyHandler)
                g_replyHandler(reply);
            else
                DispatchReply(reply);
        }
    }
    // The bytes left over raised no event of their own: they were already
    // received when the reply was taken.
    if (comm.PortOpen() && comm.InBufferCount() > 0) {
        QTimer::singleShot(0, &comm, [c = QPointer<TMSComm>(&comm)] {
            if (c)
                emit c->OnComm();
        });
        return;
    }
    if (!reply.isEmpty())
        TheStatusFeed()->NoteLineFree();
}
