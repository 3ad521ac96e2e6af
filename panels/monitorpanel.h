#pragma once

#include <QByteArray>
#include <QColor>
#include <QElapsedTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class TSpinEdit;
class TTREND;
struct StatusBlock;
struct Reading;

// Panel state. Process-wide, zero/off/empty at start, never reset by hiding or
// showing the panel.

// The status poll is switched on. Written by TPOWER_TEST::Button11Click.
extern bool MonitorRunning;
// Position of the activity lamp cycle, 0..5. Written by TPOWER_TEST::Timer1Timer.
extern quint8 LampStep;
// SpinEdit1 as read by the last poll or command. Written by TPOWER_TEST::Timer1Timer,
// the command handlers and TPOWER_TEST::Button5Click.
extern qint16 PanelAddress;
// A status poll went out and Timer2 has not ticked since. Set by
// TPOWER_TEST::Timer1Timer, cleared by TPOWER_TEST::Timer2Timer.
extern bool PollActive;
// A command frame was sent or is held and Timer2 has not yet found the hold slot
// empty. Set by TPOWER_TEST::SubmitCommand, cleared by TPOWER_TEST::Timer2Timer.
extern bool CommandPending;
// The one command frame held back while the line is busy; empty when none.
// Filled by TPOWER_TEST::SubmitCommand, emptied by TPOWER_TEST::Timer2Timer.
extern QByteArray PendingFrame;
// Toggle states of the output, key-lock and power-control buttons. Written only
// by TPOWER_TEST::BitBtn4Click, BitBtn5Click and BitBtn7Click respectively.
extern bool OutputOn;
extern bool KeysLocked;
extern bool PowerControlOn;
// PowerReadRequested (link/replydispatcher.h) is set by
// TPOWER_TEST::Button5Click when a power read goes out.

// A round indicator lamp filled with one colour.
class TMonitorLamp : public QWidget
{
public:
    explicit TMonitorLamp(QWidget *parent);
    QColor BrushColor() const { return m_colour; }
    void SetBrushColor(const QColor &colour);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_colour;
};

// The monitor panel: polls one instrument's status every 500 ms while the
// monitor is on, shows the readings, and writes setpoints and switches. Its
// commands go through SubmitCommand so that none goes out on top of a poll.
class TPOWER_TEST : public QWidget
{
    Q_OBJECT

public:
    explicit TPOWER_TEST(QWidget *parent = nullptr);

    // Readouts on the black backdrop, written with what the reply dispatcher read.
    QLabel *Image2;
    QLabel *StaticText5;
    QLabel *StaticText6;
    QLabel *StaticText7;
    QLabel *StaticText8;
    QLabel *StaticText9;
    TMonitorLamp *Shape1;
    TMonitorLamp *Shape2;
    TMonitorLamp *Shape3;
    TMonitorLamp *Shape4;
    TMonitorLamp *Shape5;
    QPushButton *Button11;

    QLabel *StaticText3;
    QLabel *StaticText4;

    TSpinEdit *SpinEdit3, *SpinEdit4, *SpinEdit5, *SpinEdit6;
    QPushButton *BitBtn1;
    QPushButton *Button1;
    TSpinEdit *SpinEdit7, *SpinEdit8, *SpinEdit9, *SpinEdit10;
    QPushButton *BitBtn2;
    QPushButton *Button2;
    TSpinEdit *SpinEdit11, *SpinEdit12, *SpinEdit13, *SpinEdit14, *SpinEdit15;
    QPushButton *Button3;
    QLineEdit *Edit1;
    QPushButton *Button5;
    QPushButton *BitBtn7;
    QLabel *StaticText2;
    TSpinEdit *SpinEdit2;
    QPushButton *BitBtn3;
    QLabel *StaticText1;
    TSpinEdit *SpinEdit1;
    QPushButton *BitBtn4;
    QPushButton *BitBtn5;
    QPushButton *BitBtn8;
    QPushButton *BitBtn9;
    QPushButton *BitBtn6;

    QTimer *Timer1;
    QTimer *Timer2;

    // The trend of the readings and the recorder's switch beside it.
    QPushButton *Button12;
    QPushButton *Button13;
    TTREND *Trend;

    void FormShow();
    void BitBtn6Click();
    void Button11Click();
    void Timer1Timer();
    void Timer2Timer();

    // What the reply dispatcher found, shown in the panel's controls.
    void ShowSettingAccepted();
    void ShowStatus(const Reading &status);
    void ShowPower(double watts);

    // Sends a command frame at once when the line is free, else holds it (only
    // the latest) until the next Timer2 tick.
    void SubmitCommand(const QByteArray &frame);

    // Setpoint and protection commands.
    void BitBtn1Click();
    void BitBtn2Click();
    void Button1Click();
    void Button2Click();
    void BitBtn3Click();
    void BitBtn4Click();
    void BitBtn5Click();

    // Power regulation commands.
    void Button3Click();
    void Button5Click();
    void BitBtn7Click();
    void BitBtn8Click();
    void BitBtn9Click();

    // Trend and recording.
    void Button12Click();
    void Button13Click();

    // The overview borrows the status polls: while they are lent, Timer1
    // ticks every intervalMs and each tick polls the address nextAddress
    // gives (none when it gives 0), under the same hold-and-release rules for
    // commands; the readouts show only readings of SpinEdit1's address.
    void LendPolls(const std::function<int()> &nextAddress, int intervalMs);
    // The polls back: Timer1 at 500 ms again, polling SpinEdit1's address
    // while the monitor is on.
    void ReturnPolls();
    bool PollsLent() const { return bool(m_lentTo); }

    // The panel turned to another supply from outside (a tile of the
    // overview): the address, the heading of the active model, and the
    // setpoint digits from that supply's last reading (zeros when none came).
    void ShowSupply(int address, const Reading *last);

    // The port's network link is down (reason says why and what happens): the
    // readouts grey with it in their tooltip, and no poll goes out until it is
    // back; the monitor goes on then, and the next reading shows in colour.
    void ShowLinkInterrupted(const QString &reason);
    void ShowLinkRestored();

protected:
    void showEvent(QShowEvent *event) override;

private:
    static QString monitorCaption(const QString &model);
    std::array<TMonitorLamp *, 5> lamps() const;
    void buildControls();
    void connectHandlers();
    void enableTimer2();
    void issueCommand(quint16 reg, const std::function<quint16()> &formValue);
    quint16 flipToggle(bool &flag, QPushButton *button, const QString &captionWhenOff,
                       const QString &captionWhenOn);
    void stepLamps();
    void notePanelPoll(int address);
    void markNoReply(bool silent, const QString &cause = QString());
    bool lentReplyDue() const;
    void pollOnFreeLine();

    std::function<int()> m_lentTo;
    QElapsedTimer m_sinceLastPoll;
    QElapsedTimer m_sinceLampStep;
    // A poll of the panel's address went out and no reading has come since.
    bool m_replyOutstanding = false;
    // Lent: the last poll's reading has not come yet.
    bool m_lentReplyAwaited = false;
    // Why the port's network link is down; empty while it is up.
    QString m_linkDown;
};
