#pragma once

#include <QByteArray>
#include <functional>

class TMSComm;

// True while the receive handler is collecting and dispatching one reply.
// Written by ReceiveReply and cleared by the main window when it is first shown.
extern bool RxBusy;

// The serial control that SendFrame and the receive handler drive (the main
// window attaches its own at creation).
void AttachSerialControl(TMSComm *comm);

// The one way out to the line: discards unread received bytes, then writes the
// complete frame. Never waits for an answer.
void SendFrame(const QByteArray &frame);

// Sleeps in 30 ms polls until the received byte count stops growing, more than
// 500 bytes wait, or more than limit polls have found nothing.
void WaitForQuietLine(int limit);

// The body of the main window's receive handler: collects one reply by the
// silence rule and hands it to DispatchReply.
void ReceiveReply();

// Test and measurement seam: called with every frame SendFrame hands to the
// control, after the control has accepted it.
using FrameObserver = std::function<void(const QByteArray &frame)>;
void SetSendObserver(FrameObserver observer);

// Test seam: replaces the blocking sleeps of the receive side (the first 1 ms
// and every 30 ms poll), so that a test decides what arrives during each one
// and the silence rule runs without a real clock. An empty function restores
// QThread::msleep.
using SleepFunction = std::function<void(int ms)>;
void SetSleepFunction(SleepFunction sleep);

// Test seam: replaces DispatchReply as the receiver of collected replies
// (an empty function restores DispatchReply).
using ReplyHandler = std::function<void(const QByteArray &reply)>;
void SetReplyHandler(ReplyHandler handler);
