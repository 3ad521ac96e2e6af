#pragma once

#include "link/systemerror.h"

#include <QObject>
#include <QString>
#include <functional>

// Every modal box the tool shows goes through here: a fixed text and one OK button.
// It returns when the operator has closed the box.
void ShowMessage(const QString &text);

// The same box, opened once the handler that asks for it has ended: a reply's
// reception asks for it, and the replies behind it go on being taken in while
// it is open. A box whose text is already open or waiting adds nothing.
void ShowMessageQueued(const QString &text);

// The error report: the error text in a modal box, one box at a time. An
// error raised while an error box is open (by timers that keep running under
// it) is shown after that box has closed, unless its text is the open box's or
// already waiting; so a failing tick repeated under the box adds nothing.
void ReportError(const QString &text);

// Counts and last text of the boxes shown, so tests can see what the operator saw.
struct MessageRecord {
    int count = 0;
    QString lastText;
};
const MessageRecord &ShownMessages();

// The boundary that every handler runs under: an error ends the handler, is shown
// in the error box, and the application carries on.
void RunHandler(const std::function<void()> &handler);

// Connects signal to a member handler so that the handler runs under RunHandler.
template <typename Sender, typename Signal, typename Receiver>
QMetaObject::Connection ConnectHandler(Sender *sender, Signal signal, Receiver *receiver,
                                       void (Receiver::*handler)())
{
    return QObject::connect(sender, signal, receiver,
                            [receiver, handler] { RunHandler([&] { (receiver->*handler)(); }); });
}
