#include "support_modal.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

ModalCloser::ModalCloser(int pollMs, QObject *parent)
    : QObject(parent), m_timer(new QTimer(this))
{
    connect(m_timer, &QTimer::timeout, this, &ModalCloser::poll);
    m_timer->start(pollMs);
}

void ModalCloser::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal)
        return;
    if (modal != m_seen) {
        m_seen = modal;
        m_seenFor.start();
    }
    if (m_seenFor.elapsed() < m_patienceMs)
        return;
    if (auto *box = qobject_cast<QMessageBox *>(modal))
        m_texts << box->text();
    else
        m_texts << modal->windowTitle();
    m_seen = nullptr;
    modal->close();
}
