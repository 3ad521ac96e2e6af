#pragma once

#include <QByteArray>
#include <QWidget>

class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class TSpinEdit;

// Address probed last: set to the start address when a scan starts and raised
// by one before each further probe. Written by TRSADDERS, read by its record
// operation RecordAnswer (which the reply dispatcher calls).
extern quint16 ScanAddress;
// Set while the record operation appends to the result; a tick that finds it
// set does nothing. Written only by TRSADDERS::RecordAnswer.
extern bool RecordingAnswer;

// The probe: read one holding register at 0x1000 from the low byte of address.
QByteArray ScanProbeFrame(quint16 address);

// The address scan: probes a range of bus addresses once a second and lists
// the ones that answer.
class TRSADDERS : public QWidget
{
    Q_OBJECT

public:
    explicit TRSADDERS(QWidget *parent = nullptr);

    QGroupBox *GroupBox1;
    TSpinEdit *SpinEdit1;
    TSpinEdit *SpinEdit2;
    QLineEdit *Edit3;
    QProgressBar *ProgressBar1;
    QLabel *Label4;
    QPushButton *BitBtn1;
    QPushButton *BitBtn2;
    QPushButton *BitBtn3;
    // Hidden 1x1 button; a click records the last probed address as answering.
    QPushButton *See_Button;
    QTimer *Timer1;

    // The bar's advance per tick, fixed at start.
    int BarStep() const { return m_barStep; }

    void FormShow();
    void BitBtn1Click();
    void BitBtn2Click();
    void BitBtn3Click();
    void Timer1Timer();
    void See_ButtonClick();

    // Appends the last probed address to the list of answering ones.
    void RecordAnswer();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void connectHandlers();

    int m_scanStart = 0;
    int m_barStep = 0;
};
