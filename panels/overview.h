#pragma once

#include <QColor>
#include <QElapsedTimer>
#include <QFrame>
#include <QList>
#include <QWidget>

class QComboBox;
class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QTimer;
class SupplyRoster;
class TMSComm;
class TPOWER_TEST;
class TRSADDERS;
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

// The overview: a tile per listed supply, refreshed by status polls that go
// to every listed address in turn. While it is shown it borrows the monitor
// panel's poll schedule; hidden, it gives it back.
class TOVERVIEW : public QWidget
{
    Q_OBJECT

public:
    TOVERVIEW(TPOWER_TEST *monitor, TRSADDERS *scan, TMSComm *comm, QWidget *parent = nullptr);
    // Gives the polls back if they are still lent.
    ~TOVERVIEW() override;

    QLabel *StaticText1;
    QLineEdit *Edit1;       // the address list
    QPushButton *Button1;   // apply the list
    QPushButton *Button2;   // take the last scan's addresses
    QLabel *StaticText2;    // the rhythm of the polls
    QScrollArea *ScrollBox1;
    QGroupBox *GroupBand;
    QComboBox *ComboBox1;   // the supply whose bands are edited
    QLineEdit *Edit2;       // voltage minimum
    QLineEdit *Edit3;       // voltage maximum
    QLineEdit *Edit4;       // current minimum
    QLineEdit *Edit5;       // current maximum
    QPushButton *Button3;   // set the bands
    QPushButton *Button4;   // clear the bands
    QPushButton *Button5;   // close
    QTimer *Timer1;         // ages of the readings

    SupplyRoster *Roster() const { return m_roster; }
    TSupplyTile *Tile(int address) const;
    const QList<TSupplyTile *> &Tiles() const { return m_tiles; }
    // The interval of the overview's polls on the line as it is set now.
    int RhythmMs() const;

    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void Button5Click();
    void ComboBox1Change();
    void Timer1Timer();

    // A tile was clicked: the monitor panel and the trend at its address.
    void TileClick(int address);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void buildControls();
    void connectHandlers();
    void rebuildTiles();
    void showEntry(int index);
    void borrowPolls();
    void returnPolls();
    void onPolled();
    void onReading(const struct Reading &sample);
    void onTaken(const Reading &sample);
    void showStationHold();
    void showLinkDown(const QString &reason);
    void editBands(int address);
    void showRhythm(qint64 roundMs);

    TPOWER_TEST *m_monitor;
    TRSADDERS *m_scan;
    TMSComm *m_comm;
    SupplyRoster *m_roster;
    QWidget *m_tileBox;
    QGridLayout *m_tileGrid;
    QList<TSupplyTile *> m_tiles;
    QElapsedTimer m_roundClock;
    // A plan run has the line: the overview sends nothing and shows its readings.
    bool m_stationHolds = false;
};
