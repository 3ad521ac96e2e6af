#pragma once

#include <QColor>
#include <QFrame>

class QComboBox;
class QLabel;
class QPushButton;
struct RosterEntry;

// One supply in the overview: its address and model, the measured voltage,
// current and power, the setpoints, the output state, the age of the last
// reading, and a state line ("no reply", a model that cannot hold the
// readings). Its colour is the alarm: amber near a band's edge, red outside,
// grey when the supply does not answer. A click anywhere but on its controls
// asks for the monitor and the trend at its address.
class TSupplyTile : public QFrame
{
    Q_OBJECT

public:
    TSupplyTile(int address, QWidget *parent);

    int Address() const { return m_address; }

    QLabel *LabelAddress;
    QComboBox *ComboModel;
    QLabel *LabelVolts;
    QLabel *LabelAmps;
    QLabel *LabelWatts;
    QLabel *LabelSet;
    QLabel *LabelOutput;
    QLabel *LabelAge;
    QLabel *LabelState;
    QPushButton *ButtonBand;

    // Everything from the roster's entry; ageMs < 0: no reading yet.
    void Show(const RosterEntry &entry, qint64 ageMs);
    void ShowAge(qint64 ageMs);
    // "waiting", "normal", "near", "outside", "silent" or "model".
    QString State() const { return m_state; }

signals:
    void clicked(int address);

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void setState(const QString &state);
    void fixReadoutSizes();

    int m_address;
    QString m_state;
    bool m_sizesFixed = false;
    QColor m_background;
    QColor m_border;
};

// A label and a button of the overview, named for their place; the button
// is not pressed by Return in a line edit beside it.
QLabel *NamedLabel(QWidget *parent, const QString &name, const QString &text = QString());
QPushButton *NamedButton(QWidget *parent, const QString &name, const QString &text);
