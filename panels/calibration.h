#pragma once

#include <QByteArray>
#include <QWidget>

class QButtonGroup;
class QFrame;
class QLabel;
class QPushButton;
class QRadioButton;
class SharedLine;
class TAUTOCAL;
class TSpinEdit;

// CalibrationMode (link/replydispatcher.h) is written only by TERR: set while
// the window is open, so that write acknowledgements show as a message box.
// The correction codes are link/frames.h's CorrectionCode.

// The correction frame: a single-register write of code to register at address.
QByteArray CorrectionFrame(int address, quint16 reg, quint8 code);

// The calibration window: sends a voltage or current correction to one
// instrument; its acknowledgement is shown while the window is open.
class TERR : public QWidget
{
    Q_OBJECT

public:
    explicit TERR(QWidget *parent = nullptr);
    ~TERR() override;

    QLabel *Label1;
    QFrame *Bevel1;
    TSpinEdit *SpinEdit1;
    QRadioButton *RadioButton1;
    TSpinEdit *SpinEdit3;
    QRadioButton *RadioButton2;
    QButtonGroup *CorrectionGroup;
    TSpinEdit *SpinEdit2;
    QPushButton *BitBtn1;
    QPushButton *BitBtn2;
    // Automatic calibration, in a window of its own made on first use.
    QPushButton *BitBtn3;
    TAUTOCAL *AutoCal = nullptr;

    // The tool's line, which automatic calibration borrows (set by the shell).
    void SetLine(SharedLine *line) { m_line = line; }

    void FormShow();
    void FormClose();
    void BitBtn1Click();
    void BitBtn2Click();
    void BitBtn3Click();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void connectHandlers();

    SharedLine *m_line = nullptr;
};
