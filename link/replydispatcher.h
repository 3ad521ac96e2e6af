#pragma once

#include "link/modelcatalogue.h"
#include "link/replies.h"

#include <QByteArray>

// Set by the monitor panel's power read; DispatchReply clears it when the
// reading arrives.
extern bool PowerReadRequested;
// Written only by the calibration window: true while it is open, so that a
// write acknowledgement is a correction accepted.
extern bool CalibrationMode;

// A reading with the divisor and decimals of the model active when it arrived.
// Before a model is chosen the divisor is 0 and the reading has no value.
struct Reading {
    quint16 raw;
    quint16 divisor;
    int decimals;

    bool known() const { return divisor != 0; }
    double value() const { return ScaledReading(raw, divisor); }
};

struct StatusReading {
    Reading voltageSetpoint;
    Reading currentSetpoint;
    Reading outputVoltage;
    Reading outputCurrent;
    bool outputOn;
};

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
    virtual void StatusRead(const StatusReading &status) = 0;
    // The output power in watts, answering a power read.
    virtual void PowerRead(double watts) = 0;
    // A single register that answers no power read: an address scan's probe.
    virtual void AddressAnswered() = 0;
};

// The view that DispatchReply reports to (nullptr: results are not shown).
void SetReplyView(ReplyView *view);

// The single place where instrument replies are understood: sorts a reply by
// its length and function code and hands the result to the registered view.
void DispatchReply(const QByteArray &reply);
