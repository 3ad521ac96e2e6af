#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QStringList>

class QTimer;

// Closes every modal box that opens while it lives (polling every few ms for
// QApplication::activeModalWidget()) and remembers the texts it saw.
class ModalCloser : public QObject
{
    Q_OBJECT

public:
    explicit ModalCloser(int pollMs = 5, QObject *parent = nullptr);
    QStringList texts() const { return m_texts; }
    void clear() { m_texts.clear(); }

    // A box is closed once it has been open this long (0: at once). A test
    // that closes its boxes itself sets a patience longer than it needs; a box
    // it leaves open by failing is still closed in the end.
    void setPatienceMs(int ms) { m_patienceMs = ms; }

private:
    void poll();
    QTimer *m_timer;
    QStringList m_texts;
    int m_patienceMs = 0;
    QPointer<QWidget> m_seen;
    QElapsedTimer m_seenFor;
};
