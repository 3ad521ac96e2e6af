#pragma once

#include "panels/planstation.h"
#include "plan/autocal.h"

#include <QStringList>
#include <QWidget>
#include <memory>

class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QThread;
class SharedLine;
class TSpinEdit;
struct AutoCalibrationRun;

// Automatic calibration of one supply against a station's reference meter:
// the station file, the address, what to calibrate and how, the operator's
// and the room's particulars, then a run on a thread of its own that borrows
// the tool's line as the station does. The engine's progress goes to the log,
// the as-found and as-left points to the table, the certificate (HTML and
// JSON) to its folder and the calibration to the history database.
class TAUTOCAL : public QWidget
{
    Q_OBJECT

public:
    explicit TAUTOCAL(SharedLine *line, QWidget *parent = nullptr);
    ~TAUTOCAL() override;

    QLineEdit *Edit1;          // station file
    QPushButton *Button1;      // choose the station file
    QLabel *StaticText1;       // the station and its references
    QLabel *StaticText3;       // the model the run takes: the main window's
    TSpinEdit *SpinEdit1;      // address
    QComboBox *ComboBox1;      // voltage or current
    TSpinEdit *SpinEdit2;      // points
    TSpinEdit *SpinEdit3;      // readings per point
    QDoubleSpinBox *DoubleSpinBox1; // settle time, s
    QComboBox *ComboBox2;      // decision rule
    QLineEdit *Edit2;          // serial number
    QLineEdit *Edit3;          // operator
    QLineEdit *Edit4;          // temperature
    QLineEdit *Edit5;          // humidity
    QLineEdit *Edit6;          // certificate folder
    QPushButton *Button2;      // choose the certificate folder
    QLineEdit *Edit7;          // history database
    QLabel *StaticText2;       // status line
    QProgressBar *ProgressBar1;
    QPlainTextEdit *Memo1;     // the engine's progress lines
    QTableWidget *StringGrid1; // as-found and as-left points
    QPushButton *Button3;      // start
    QPushButton *Button4;      // stop
    QPushButton *Button5;      // open the certificate
    QPushButton *Button6;      // close

    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void Button5Click();
    void Button6Click();

    // Reads a station file and shows its references (PlanError names file,
    // line and column).
    void OpenStation(const QString &path);
    bool Running() const { return m_thread != nullptr; }
    // The last run's record, and the certificate files written for it.
    const CalibrationRecord &LastRecord() const { return m_record; }
    QStringList CertificateFiles() const { return m_files; }

signals:
    // The run has ended, its certificate is written and the tool's port is open again.
    void runEnded();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void connectHandlers();
    void showIdle();
    void showModel();
    CalibrationSettings settings() const;
    void stopRun();
    void finishRun();
    void onProgress(const QString &line);
    void showRecord();
    QString statusText() const;

    SharedLine *m_line;
    QGroupBox *m_settingsGroup = nullptr;
    StationFile m_station;
    QThread *m_thread = nullptr;
    std::shared_ptr<AutoCalibrationRun> m_run;
    CalibrationRecord m_record;
    QStringList m_files;
    bool m_reopenPort = false;
    bool m_hideWhenDone = false;
};

// What the bench around the window does just before a run's first request and
// after its end, on the GUI thread (the demo takes its supplies' loads off, as
// the station does for its plans).
void SetAutoCalibrationBench(StationBench bench);
