#pragma once

#include <QColor>
#include <QFrame>

class QLabel;
class QLineEdit;
struct PlanSlot;

// One slot of the station: who it is, its serial number, and in type that
// reads from across the room, how it stands (idle, testing, PASS, FAIL).
class TPlanTile : public QFrame
{
    Q_OBJECT

public:
    enum class State { Idle, Testing, Pass, Fail, Error, Aborted, Conditional };

    TPlanTile(int number, const PlanSlot &slot, QWidget *parent);

    QLabel *Caption;    // slot name, address and model
    QLineEdit *Serial;  // typed or scanned serial number
    QLabel *Verdict;    // the large word
    QLabel *Step;       // the step under way, or why the slot did not pass
    QLabel *Values;     // the last reading: volts and amperes
    QLabel *Check;      // the first check that failed, else the last judged

    void SetState(State state);
    State CurrentState() const { return m_state; }
    QColor Colour() const;
    // A refusal of the serial number, shown in the tile until the next entry.
    void SetNotice(const QString &text);
    // Back to idle, with nothing of the last run's verdict left in it.
    void Clear();
    // A judged check: a failed one stays until the tile is cleared.
    void ShowCheck(const QString &text, bool passed);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void fitVerdict();

    State m_state = State::Idle;
    bool m_checkFailed = false;
};
