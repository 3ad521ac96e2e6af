#include "app/errorreport.h"

#include <QApplication>
#include <QMessageBox>
#include <QScopeGuard>

namespace {
MessageRecord g_messages;
}

void ShowMessage(const QString &text)
{
    ++g_messages.count;
    g_messages.lastText = text;
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.setObjectName(QStringLiteral("MessageBox"));
    box.exec();
}

void ReportError(const QString &text)
{
    // Timers keep running while the box is open; on a lost port each tick would
    // open one more box on top of the first. One error box at a time is enough.
    static bool reporting = false;
    if (reporting)
        return;
    reporting = true;
    const auto done = qScopeGuard([] { reporting = false; });
    ++g_messages.count;
    g_messages.lastText = text;
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.setObjectName(QStringLiteral("ErrorReport"));
    box.exec();
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
