#pragma once

#include <QByteArray>
#include <QWidget>
#include <array>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class TSpinEdit;

// Run state of the sequence window, written only by TTYP's handlers.
extern bool SequenceRunning;        // true while a run is in progress (or held)
extern qint16 SequenceAddress;      // last value read from SpinEdit2; low byte addresses every frame
extern qint32 StepOrdinal;          // 1-based position among the checked rows of the step loaded next
extern qint32 CycleNumber;          // 1-based cycle in progress
extern qint32 CycleLimit;           // cycles asked for, at most MaxCycleCount
extern qint32 StepIntervalMs;       // dwell of the step loaded last
extern QByteArray StepSetpointBytes; // empty, or V high, V low, I high, I low of the step loaded last

constexpr int StepRowCount = 20;
constexpr qint32 MaxCycleCount = 999999;

// The three edits of a step row: rows 1-16 use Edit k, Edit 16+k, Edit 32+k;
// rows 17-20 continue after Edit48 with Edit 32+k, Edit 36+k, Edit 40+k.
int VoltageEditNumber(int row);
int CurrentEditNumber(int row);
int TimeEditNumber(int row);

// The standard conversions of the operator's texts; a text that does not
// convert raises "'<text>' is not a valid integer value" or "... floating
// point value". Blanks around the number are ignored; decimals are written
// with a point, or with the regional decimal separator.
qint32 TextToInteger(const QString &text);
double TextToFloat(const QString &text);

// The sequence window: up to twenty timed voltage/current steps, run in row
// order for a number of cycles, with the output switched on at the start and
// off at the end.
class TTYP : public QWidget
{
    Q_OBJECT

public:
    explicit TTYP(QWidget *parent = nullptr);

    QGroupBox *RadioGroup1;
    // Indexed by the number in the control's name: CheckBox[1..20], Edit[1..60].
    std::array<QCheckBox *, StepRowCount + 1> CheckBox {};
    std::array<QLineEdit *, 61> Edit {};
    // The cycle count.
    QLineEdit *Edit61;
    TSpinEdit *SpinEdit2;
    QLabel *Label1;
    QPushButton *Button1;
    QPushButton *Button2;
    QTimer *Timer1;

    QCheckBox *StepCheck(int row) const { return CheckBox[row]; }
    QLineEdit *VoltageEdit(int row) const { return Edit[VoltageEditNumber(row)]; }
    QLineEdit *CurrentEdit(int row) const { return Edit[CurrentEditNumber(row)]; }
    QLineEdit *TimeEdit(int row) const { return Edit[TimeEditNumber(row)]; }

    void Button1Click();
    void Button2Click();
    void Timer1Timer();
    void LoadNextStep();

private:
    void connectHandlers();
    void buildStepTable();
    void buildControls();
    void RefreshAddress();
    void SendOutputSwitch(bool on);
    bool SendNextStep();
    void StartRun();
    void EnterIdle();
    void StopRun();
    void EndRun();
};
