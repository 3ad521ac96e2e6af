#pragma once

#include "link/replies.h"

#include <QByteArray>

// Set by the monitor panel's power read; DispatchReply clears it when the
// reading arrives.
extern bool PowerReadRequested;
// Written only by the calibration window: true while it is open, so that a
// write acknowledgement is a correction accepted.
extern bool CalibrationMode;

// What shows the results of DispatchReply: the windows register one. Each
// call is one effect of one reply, made in the order the dispatcher decides.
class ReplyView
{
public:
    virtual ~ReplyView() = default;
    // A write acknowledged while the calibration window is open.
    virtual void CorrectionAccepted() = 0;
    // A write acknowledged otherwise.
    virtual void SettingAccepted() = 0;
    // The output power in watts, answering a power read.
    virtual void PowerRead(double watts) = 0;
    // A single register that answers no power read: an address scan's probe.
    virtual void AddressAnswered() = 0;
};

// The view that DispatchReply reports to (nullptr: results are not shown).
void SetReplyView(ReplyView *view);

// The single place where instrument replies are understood: sorts a reply by
// its length and function code and hands the result to the registered view;
// a status block becomes a reading announced by TheStatusFeed().
void DispatchReply(const QByteArray &reply);
