#pragma once

#include <QObject>
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

private:
    void poll();
    QTimer *m_timer;
    QStringList m_texts;
};
