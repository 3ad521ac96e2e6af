#include "widgets/errorreport.h"

#include <QApplication>
#include <QMessageBox>
#include <QScopeGuard>
#include <QStringList>
#include <QTimer>

namespace {

MessageRecord g_messages;

// While an error box is open: its text, and the different errors raised under
// it, to be shown one after the other once it closes.
bool g_errorBoxOpen = false;
QString g_openError;
QStringList g_waitingErrors;

// Texts of the queued boxes not yet closed.
QStringList g_queuedMessages;

void showBox(QMessageBox::Icon icon, const QString &name, const QString &text)
{
    ++g_messages.count;
    g_messages.lastText = text;
    QMessageBox box(icon, QApplication::applicationDisplayName(), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setObjectName(name);
    box.exec();
}

} // namespace

void ShowMessage(const QString &text)
{
    showBox(QMessageBox::NoIcon, QStringLiteral("MessageBox"), text);
}

void ShowMessageQueued(const QString &text)
{
    if (g_queuedMessages.contains(text))
        return;
    g_queuedMessages.append(text);
    QTimer::singleShot(0, qApp, [text] {
        const auto done = qScopeGuard([text] { g_queuedMessages.removeOne(text); });
        ShowMessage(text);
    });
}

void ReportError(const QString &text)
{
    // Timers keep running while the box is open; on a lost port each tick would
    // open one more box on top of the first. So one error box at a time: an
    // error raised under it waits for it to close, and one whose text is open
    // or already waiting adds nothing.
    if (g_errorBoxOpen) {
        if (text != g_openError && !g_waitingErrors.contains(text))
            g_waitingErrors.append(text);
        return;
    }
    g_errorBoxOpen = true;
    const auto done = qScopeGuard([] {
        g_errorBoxOpen = false;
        g_waitingErrors.clear();
    });
    QString next = text;
    for (;;) {
        g_openError = next;
        showBox(QMessageBox::Critical, QStringLiteral("ErrorReport"), next);
        if (g_waitingErrors.isEmpty())
            break;
        next = g_waitingErrors.takeFirst();
    }
}

const MessageRecord &ShownMessages()
{
    return g_messages;
}

void RunHandler(const std::function<void()> &handler)
{
    try {
        handler();
    } catch (const SystemError &error) {
        ReportError(error.text());
    } catch (const std::exception &error) {
        ReportError(QString::fromLocal8Bit(error.what()));
    }
}
