#pragma once

#include "link/linesettings.h"
#include "panels/plantile.h"
#include "plan/planengine.h"

#include <QStringList>
#include <QVector>
#include <QWidget>
#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QThread;
class PlanBus;
class SharedLine;
struct StationRunControl;

// The station window: a test plan opened from a file, one tile per slot with
// its serial number, a start button, live steps and values while the plan
// runs on a worker thread, and the verdicts. F11 switches to the operator
// view: full screen, the tiles and the buttons only.
class TPLANSTATION : public QWidget
{
    Q_OBJECT

public:
    // Makes the line a run talks over: the device and settings of the port
    // the serial settings dialog opened. Runs on the run's own thread.
    using BusFactory = std::function<std::unique_ptr<PlanBus>(const QString &device, const LineSettings &line)>;

    explicit TPLANSTATION(SharedLine *line, QWidget *parent = nullptr);
    ~TPLANSTATION() override;

    QPushButton *Button1;   // open a plan
    QLabel *StaticText1;    // plan name
    QLabel *StaticText2;    // plan version
    QLabel *StaticText3;    // slots
    QLabel *StaticText4;    // status line
    QLabel *StaticText5;    // the line the run uses
    QLineEdit *Edit1;       // report folder
    QPushButton *Button4;   // choose the report folder
    QLineEdit *Edit2;       // history database
    QPushButton *Button2;   // start
    QPushButton *Button3;   // abort
    QPushButton *Button5;   // open the last run's report
    QPushButton *Button6;   // open the report folder
    QPushButton *Button7;   // choose the station file of the reference instruments
    QLabel *StaticText6;    // the station file's references: name, identity, due date, expired
    QCheckBox *CheckBox1;   // run with references past their calibration due date
    QWidget *Header;        // everything the operator view hides
    QVector<TPlanTile *> Tiles;

    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void Button5Click();
    void Button6Click();
    void Button7Click();

    // Loads a plan file and makes a tile for each of its slots (PlanError
    // names file, line and column).
    void OpenPlan(const QString &path);
    // Reads a station file and its driver files (PlanError names file, line
    // and column); each run then opens, checks and identifies its references
    // before anything is sent.
    void OpenStation(const QString &path);
    QString StationPath() const { return m_stationFile; }
    bool Running() const { return m_thread != nullptr; }
    bool OperatorMode() const { return m_operatorMode; }
    void SetOperatorMode(bool on);
    // Files written and problems met by the last run's recorders.
    QStringList ReportFiles() const { return m_reportFiles; }
    // Where the plan dialog opens: the folder of the plan chosen last.
    QString PlanFolder() const { return m_planFolder; }

    void SetBusFactory(BusFactory factory) { m_busFactory = std::move(factory); }

signals:
    // The run has ended and the tool's port is open again (when it was).
    void runEnded();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void connectHandlers();
    void showLine();
    void SerialEntered(int index);
    void SerialEdited(int index);
    QString lastReport() const;
    void startRun(const QStringList &serials);
    void stopRun();
    void finishRun();
    void showIdle();
    void onRunStarted();
    void onStepStarted(int slot, const QString &text);
    void onReading(int slot, const Reading &sample);
    void onCheck(int slot, const QString &text, bool passed);
    void onSlotFinished(int slot, int verdict, const QString &cause);
    void onRunFailed(const QString &text);
    void onRecorded(const QStringList &files, const QStringList &problems);

    SharedLine *m_line;
    Plan m_plan;
    bool m_planLoaded = false;
    QWidget *m_tileArea = nullptr;
    QThread *m_thread = nullptr;
    std::shared_ptr<StationRunControl> m_control;
    BusFactory m_busFactory;
    bool m_reopenPort = false;
    bool m_hideWhenDone = false;
    bool m_operatorMode = false;
    QByteArray m_normalGeometry;
    QString m_planFolder;
    QString m_runFailure;
    QString m_runRefusal; // the references refused the run before anything was sent
    QString m_stationFile;
    QString m_stationFolder;
    QStringList m_reportFiles;
    QStringList m_reportProblems;
};

// The station; made on first use by the main window's button and kept until exit.
extern TPLANSTATION *PLANSTATION;

// The report folder a run writes to unless told otherwise: psutool/reports in
// the user's documents.
QString DefaultReportFolder();

// What the bench around the station adds, set before the station is made:
// the folder the plan dialog opens in until a plan has been chosen, and what
// to do on the GUI thread just before a run's first request and after its
// finally block (the demo takes its supplies' loads off for the run, as the
// fixture at the end of a line measures the units unloaded, and puts them
// back).
struct StationBench {
    QString planFolder;
    std::function<void()> beforeRun;
    std::function<void()> afterRun;
};
void SetStationBench(StationBench bench);
