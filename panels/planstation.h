#pragma once

#include "link/linesettings.h"
#include "plan/planengine.h"

#include <QFrame>
#include <QStringList>
#include <QVector>
#include <QWidget>
#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;
class QThread;
class PlanBus;
struct StationRunControl;

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

    explicit TPLANSTATION(QWidget *parent = nullptr);
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
    QWidget *Header;        // everything the operator view hides
    QVector<TPlanTile *> Tiles;

    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void Button5Click();
    void Button6Click();

    // Loads a plan file and makes a tile for each of its slots (PlanError
    // names file, line and column).
    void OpenPlan(const QString &path);
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
    void onReading(int slot, const StatusSample &sample);
    void onCheck(int slot, const QString &text, bool passed);
    void onSlotFinished(int slot, int verdict, const QString &cause);
    void onRunFailed(const QString &text);
    void onRecorded(const QStringList &files, const QStringList &problems);

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

// An engine's cause ("check 'v_mean' failed", "port lost: ...") in the
// interface's language; a cause it does not know stays as the engine wrote it.
QString StationCauseText(const QString &cause);
