#include "panels/planstation.h"

#include "link/mscomm.h"
#include "link/sharedline.h"
#include "link/statusfeed.h"
#include "plan/masterbus.h"
#include "panels/stationrelay.h"
#include "plan/recorders.h"
#include "plan/references.h"
#include "widgets/errorreport.h"
#include "widgets/placement.h"
#include "widgets/uistyle.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <mutex>

TPLANSTATION *PLANSTATION = nullptr;

namespace {
StationBench theBench;
} // namespace

void SetStationBench(StationBench bench)
{
    theBench = std::move(bench);
}

// What the window and the run's thread share: the run, once it exists, so
// that an abort reaches it whenever it comes.
struct StationRunControl {
    std::mutex mutex;
    PlanRun *run = nullptr;
    bool aborted = false;

    void abort()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        aborted = true;
        if (run)
            run->abort();
    }
};

namespace {

const QSize kSize(1000, 620);
// The longest request a plan sends: a write of every setpoint register.
constexpr int kLongestRequestBytes = 9 + 2 * 11;

TPlanTile::State stateOf(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Pass: return TPlanTile::State::Pass;
    case Verdict::Fail: return TPlanTile::State::Fail;
    case Verdict::Aborted: return TPlanTile::State::Aborted;
    case Verdict::Conditional: return TPlanTile::State::Conditional;
    case Verdict::Error: break;
    }
    return TPlanTile::State::Error;
}

} // namespace

QString DefaultReportFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
        .filePath(QStringLiteral("psutool/reports"));
}

TPLANSTATION::TPLANSTATION(SharedLine *line, QWidget *parent)
    : QWidget(parent), m_line(line)
{
    setObjectName(QStringLiteral("PLANSTATION"));
    setWindowTitle(tr("测试计划"));
    PlaceWindow(this, QPoint(120, 60));
    resize(kSize);
    m_planFolder = theBench.planFolder.isEmpty() ? QDir::currentPath() : theBench.planFolder;
    m_busFactory = [](const QString &device, const LineSettings &line) {
        // A late reply must not cost a unit its verdict: a USB adapter or a
        // busy computer can add tens of milliseconds, so the station waits
        // 200 ms for a reply to begin and tries twice more; only a silent
        // supply pays for it.
        LineOptions options;
        options.port = device;
        options.serial = line;
        options.timeoutUs = std::max(200000, options.defaultTimeoutUs(kLongestRequestBytes));
        options.retries = 2;
        return OpenRtuPlanBus(options);
    };
    buildControls();
    connectHandlers();
    showIdle();
}

TPLANSTATION::~TPLANSTATION()
{
    stopRun();
}

void TPLANSTATION::buildControls()
{
    Header = new QWidget(this);
    Header->setObjectName(QStringLiteral("Header"));
    auto *grid = new QGridLayout(Header);
    grid->setContentsMargins(0, 0, 0, 0);

    Button1 = new QPushButton(tr("打开计划…"), Header);
    Button1->setObjectName(QStringLiteral("Button1"));
    StaticText1 = new QLabel(Header);
    StaticText1->setObjectName(QStringLiteral("StaticText1"));
    StaticText1->setFont(DesignFont(QStringLiteral("宋体"), 18, true));
    StaticText2 = new QLabel(Header);
    StaticText2->setObjectName(QStringLiteral("StaticText2"));
    StaticText3 = new QLabel(Header);
    StaticText3->setObjectName(QStringLiteral("StaticText3"));
    StaticText5 = new QLabel(Header);
    StaticText5->setObjectName(QStringLiteral("StaticText5"));
    grid->addWidget(Button1, 0, 0);
    grid->addWidget(StaticText1, 0, 1);
    grid->addWidget(StaticText2, 0, 2);
    grid->addWidget(StaticText3, 0, 3);
    grid->addWidget(StaticText5, 0, 4);
    grid->setColumnStretch(1, 1);

    // The station file of the reference instruments, under the plan.
    Button7 = new QPushButton(tr("参考仪器…"), Header);
    Button7->setObjectName(QStringLiteral("Button7"));
    StaticText6 = new QLabel(StationReferencesText(QString(), {}), Header);
    StaticText6->setObjectName(QStringLiteral("StaticText6"));
    StaticText6->setWordWrap(true);
    CheckBox1 = new QCheckBox(tr("允许使用过期参考仪器"), Header);
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    grid->addWidget(Button7, 1, 0);
    grid->addWidget(StaticText6, 1, 1, 1, 3);
    grid->addWidget(CheckBox1, 1, 4);

    Edit1 = new QLineEdit(DefaultReportFolder(), Header);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Button4 = new QPushButton(tr("选择…"), Header);
    Button4->setObjectName(QStringLiteral("Button4"));
    Edit2 = new QLineEdit(DefaultHistoryDatabase(), Header);
    Edit2->setObjectName(QStringLiteral("Edit2"));
    Edit2->setToolTip(tr("SQLite 文件，或 postgresql://用户@主机:端口/数据库"));
    auto *files = new QHBoxLayout;
    files->addWidget(new QLabel(tr("报告目录"), Header));
    files->addWidget(Edit1, 2);
    files->addWidget(Button4);
    files->addWidget(new QLabel(tr("历史数据库"), Header));
    files->addWidget(Edit2, 2);
    grid->addLayout(files, 2, 0, 1, 5);

    StaticText4 = new QLabel(Header);
    StaticText4->setObjectName(QStringLiteral("StaticText4"));
    StaticText4->setWordWrap(true);
    grid->addWidget(StaticText4, 3, 0, 1, 5);

    m_tileArea = new QWidget(this);
    m_tileArea->setObjectName(QStringLiteral("TileArea"));
    new QHBoxLayout(m_tileArea);

    Button2 = new QPushButton(tr("开始"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setMinimumHeight(72);
    Button2->setFont(DesignFont(QStringLiteral("宋体"), 36, true));
    Button3 = new QPushButton(tr("中止"), this);
    Button3->setObjectName(QStringLiteral("Button3"));
    Button3->setMinimumHeight(72);
    Button3->setFont(DesignFont(QStringLiteral("宋体"), 24, true));
    // The last run's report and its folder, opened by the desktop's own
    // programs; in the operator view too, where the folder is not shown.
    Button5 = new QPushButton(tr("查看报告"), this);
    Button5->setObjectName(QStringLiteral("Button5"));
    Button5->setFont(DesignFont(QStringLiteral("宋体"), 14));
    Button6 = new QPushButton(tr("报告目录"), this);
    Button6->setObjectName(QStringLiteral("Button6"));
    Button6->setFont(DesignFont(QStringLiteral("宋体"), 14));
    auto *reports = new QVBoxLayout;
    reports->addWidget(Button5);
    reports->addWidget(Button6);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(Button2, 4);
    buttons->addWidget(Button3, 1);
    buttons->addLayout(reports, 1);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(Header);
    layout->addWidget(m_tileArea, 1);
    layout->addLayout(buttons);
}

void TPLANSTATION::connectHandlers()
{
    ConnectHandler(Button1, &QPushButton::clicked, this, &TPLANSTATION::Button1Click);
    ConnectHandler(Button2, &QPushButton::clicked, this, &TPLANSTATION::Button2Click);
    ConnectHandler(Button3, &QPushButton::clicked, this, &TPLANSTATION::Button3Click);
    ConnectHandler(Button4, &QPushButton::clicked, this, &TPLANSTATION::Button4Click);
    ConnectHandler(Button5, &QPushButton::clicked, this, &TPLANSTATION::Button5Click);
    ConnectHandler(Button6, &QPushButton::clicked, this, &TPLANSTATION::Button6Click);
    ConnectHandler(Button7, &QPushButton::clicked, this, &TPLANSTATION::Button7Click);
    // A tool that quits mid-run still switches the outputs off first.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &TPLANSTATION::stopRun);
}

// The line a run will borrow: the port the serial settings dialog opened.
void TPLANSTATION::showLine()
{
    if (Running())
        return;
    const TMSComm *comm = m_line->Control();
    if (comm && comm->PortOpen())
        StaticText5->setText(QStringLiteral("COM%1 (%2) · %3").arg(comm->CommPort()).arg(comm->OpenDevice(), comm->Settings()));
    else
        StaticText5->setText(tr("串口未打开"));
}

void TPLANSTATION::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    showLine();
}

void TPLANSTATION::showIdle()
{
    const bool running = Running();
    Button1->setEnabled(!running);
    Button2->setEnabled(!running && m_planLoaded);
    Button3->setEnabled(running);
    Edit1->setEnabled(!running);
    Edit2->setEnabled(!running);
    Button5->setEnabled(!running && !lastReport().isEmpty());
    Button6->setEnabled(!running);
    Button7->setEnabled(!running);
    CheckBox1->setEnabled(!running);
    for (TPlanTile *tile : Tiles)
        tile->Serial->setReadOnly(running);
}

void TPLANSTATION::Button1Click()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("打开测试计划"), m_planFolder,
                                                      tr("测试计划 (*.toml);;所有文件 (*)"));
    if (path.isEmpty())
        return;
    // The next dialog opens here, even when this plan is refused.
    m_planFolder = QFileInfo(path).absolutePath();
    OpenPlan(path);
}

void TPLANSTATION::Button7Click()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("选择工位文件"),
                                                      m_stationFolder.isEmpty() ? m_planFolder : m_stationFolder,
                                                      tr("工位文件 (*.toml);;所有文件 (*)"));
    if (path.isEmpty())
        return;
    m_stationFolder = QFileInfo(path).absolutePath();
    OpenStation(path);
}

void TPLANSTATION::OpenStation(const QString &path)
{
    if (Running())
        RaiseError(tr("测试进行中，不能换工位文件"));
    const StationFile station = LoadStation(path);
    m_stationFile = station.file;
    m_stationFolder = QFileInfo(station.file).absolutePath();
    // Until a run shows what each one answered, the file's word alone.
    StaticText6->setText(StationReferencesText(m_stationFile, DeclaredReferences(station, QDate::currentDate())));
}

void TPLANSTATION::OpenPlan(const QString &path)
{
    if (Running())
        RaiseError(tr("测试进行中，不能换计划"));
    Plan plan = LoadPlan(path);
    m_plan = std::move(plan);
    m_planLoaded = true;
    m_planFolder = QFileInfo(m_plan.file).absolutePath();
    StaticText1->setText(m_plan.name);
    StaticText2->setText(tr("版本 %1").arg(m_plan.version));
    StaticText3->setText(tr("工位：%1").arg(m_plan.slotList.size()));
    StaticText4->setText(QDir::toNativeSeparators(m_plan.file));

    qDeleteAll(Tiles);
    Tiles.clear();
    for (int n = 0; n < m_plan.slotList.size(); ++n) {
        auto *tile = new TPlanTile(n + 1, m_plan.slotList.at(n), m_tileArea);
        m_tileArea->layout()->addWidget(tile);
        tile->Serial->installEventFilter(this);
        connect(tile->Serial, &QLineEdit::returnPressed, this, [this, n] { SerialEntered(n); });
        connect(tile->Serial, &QLineEdit::textEdited, this, [this, n] { SerialEdited(n); });
        Tiles << tile;
    }
    for (int n = 1; n < Tiles.size(); ++n)
        setTabOrder(Tiles.at(n - 1)->Serial, Tiles.at(n)->Serial);
    if (!Tiles.isEmpty()) {
        setTabOrder(Tiles.last()->Serial, Button2);
        Tiles.first()->Serial->setFocus();
    }
    showIdle();
}

// A scanner types the number and ends it with Return: the number is taken,
// and the next slot (or the start button after the last) gets the focus. An
// empty number or one another slot already has stays, selected, for the next
// scan to replace.
void TPLANSTATION::SerialEntered(int index)
{
    TPlanTile *tile = Tiles.at(index);
    const QString serial = tile->Serial->text().trimmed();
    tile->Serial->setText(serial);
    QString refusal;
    if (serial.isEmpty()) {
        refusal = tr("序列号不能为空");
    } else {
        for (int n = 0; n < Tiles.size(); ++n) {
            if (n != index && Tiles.at(n)->Serial->text().trimmed() == serial) {
                refusal = tr("序列号 %1 已用于 %2").arg(serial, m_plan.slotList.at(n).name);
                break;
            }
        }
    }
    if (!refusal.isEmpty()) {
        tile->SetNotice(refusal);
        StaticText4->setText(refusal);
        tile->Serial->selectAll();
        return;
    }
    tile->SetNotice(QString());
    if (index + 1 < Tiles.size())
        Tiles.at(index + 1)->Serial->setFocus();
    else
        Button2->setFocus();
}

// A new number in a tile whose unit was judged: the verdict was the last
// unit's, and goes.
void TPLANSTATION::SerialEdited(int index)
{
    TPlanTile *tile = Tiles.at(index);
    if (tile->CurrentState() != TPlanTile::State::Idle && tile->CurrentState() != TPlanTile::State::Testing)
        tile->Clear();
}

// A serial field the focus moves to has its number selected, so that the
// next scan replaces it rather than being appended to it. A click with the
// mouse places the cursor as usual, and a closed context menu leaves it.
bool TPLANSTATION::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusIn) {
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        auto *edit = qobject_cast<QLineEdit *>(watched);
        if (edit && reason != Qt::MouseFocusReason && reason != Qt::PopupFocusReason)
            edit->selectAll();
    }
    return QWidget::eventFilter(watched, event);
}

void TPLANSTATION::Button2Click()
{
    if (Running())
        return;
    if (!m_planLoaded)
        RaiseError(tr("请先打开测试计划"));
    QStringList serials;
    for (TPlanTile *tile : Tiles)
        serials << tile->Serial->text().trimmed();
    CheckSerials(serials, int(Tiles.size()));
    if (!m_plan.references.isEmpty() && m_stationFile.isEmpty())
        RaiseError(tr("计划使用参考仪器（%1）：请先点“参考仪器…”选择工位文件")
                       .arg(QStringList(m_plan.references.keys()).join(QStringLiteral("、"))));
    startRun(serials);
}

// The station borrows the tool's line: the port the serial settings dialog
// opened, with its settings. The tool's control closes it for the run (a port
// has one owner) and opens it again afterwards. Windows that poll or step on
// their own clock would find it closed, so the run waits until they stop.
void TPLANSTATION::startRun(const QStringList &serials)
{
    // Named as the operator sees them: the main window's button, the
    // window it opens and the button there that stops the polls.
    if (m_line->Busy(LineUser::Monitor)) {
        const SharedLine::StopPath stop = m_line->HowToStop(LineUser::Monitor);
        RaiseError(tr("监控正在运行：请先在“%1”窗口（主窗口的“%2”）点“%3”，再开始测试")
                       .arg(stop.window, stop.launcher, stop.button));
    }
    if (m_line->Busy(LineUser::Sequence))
        RaiseError(tr("典型应用正在运行：请先停止，再开始测试"));
    if (m_line->Busy(LineUser::Scan))
        RaiseError(tr("地址检测正在运行：请等它结束，再开始测试"));
    if (m_line->Busy(LineUser::Calibration))
        RaiseError(tr("自动校准正在运行：请等它结束，再开始测试"));
    TMSComm *comm = m_line->Control();
    if (!comm->PortOpen())
        RaiseError(tr("串口未打开：请先在“串行口设置”中选择并打开串口"));
    const QString device = comm->OpenDevice();
    LineSettings line;
    ParseLineSettings(comm->Settings(), &line);

    const RunInfo info = DescribeRun(m_plan, serials, QString(), QCoreApplication::applicationVersion(),
                                     QStringLiteral("COM%1").arg(comm->CommPort()));
    RecorderOptions options;
    options.reportDir = Edit1->text().trimmed();
    options.database = Edit2->text().trimmed();

    if (theBench.beforeRun)
        theBench.beforeRun();
    comm->SetPortOpen(false);
    m_reopenPort = true;
    m_runFailure.clear();
    m_runRefusal.clear();
    m_reportFiles.clear();
    m_reportProblems.clear();

    auto *relay = new TStationRelay(this);
    connect(relay, &TStationRelay::started, this, &TPLANSTATION::onRunStarted);
    connect(relay, &TStationRelay::step, this, &TPLANSTATION::onStepStarted);
    connect(relay, &TStationRelay::sample, this, &TPLANSTATION::onReading);
    connect(relay, &TStationRelay::check, this, &TPLANSTATION::onCheck);
    connect(relay, &TStationRelay::finished, this, &TPLANSTATION::onSlotFinished);
    connect(relay, &TStationRelay::failed, this, &TPLANSTATION::onRunFailed);
    connect(relay, &TStationRelay::refused, this, [this](const QString &text) { m_runRefusal = text; });
    connect(relay, &TStationRelay::references, StaticText6, &QLabel::setText);
    connect(relay, &TStationRelay::recorded, this, &TPLANSTATION::onRecorded);

    m_control = std::make_shared<StationRunControl>();
    const std::shared_ptr<StationRunControl> control = m_control;
    const Plan plan = m_plan;
    const BusFactory factory = m_busFactory;
    const QString stationFile = m_stationFile;
    const bool allowExpired = CheckBox1->isChecked();
    m_thread = QThread::create([control, plan, factory, device, line, info, options, relay, stationFile, allowExpired] {
        // The references checked and identified off the window's thread, before anything is sent.
        RunInfo described = info;
        std::shared_ptr<RunReferences> references;
        if (!stationFile.isEmpty()) {
            try {
                references = std::make_shared<RunReferences>(LoadStation(stationFile), plan.references,
                                                             QDate::currentDate(), allowExpired);
            } catch (const SystemError &error) {
                emit relay->refused(error.text());
                return;
            }
            described.stationFile = references->stationFile();
            described.references = references->used();
        }
        try {
            std::unique_ptr<PlanBus> bus = factory(device, line);
            RunRecorders recorders(options);
            PlanRun run(plan, *bus, described);
            run.useReferences(references);
            run.addListener(relay);
            run.addListener(&recorders);
            {
                const std::lock_guard<std::mutex> lock(control->mutex);
                control->run = &run;
                if (control->aborted)
                    run.abort();
            }
            run.run();
            {
                const std::lock_guard<std::mutex> lock(control->mutex);
                control->run = nullptr;
            }
            emit relay->recorded(recorders.files(), recorders.problems());
        } catch (const SystemError &error) {
            emit relay->failed(error.text());
        } catch (const std::exception &error) {
            emit relay->failed(QString::fromLocal8Bit(error.what()));
        }
    });
    m_thread->setObjectName(QStringLiteral("PlanRun"));
    connect(m_thread, &QThread::finished, this, &TPLANSTATION::finishRun);
    connect(m_thread, &QThread::finished, relay, &QObject::deleteLater);

    for (TPlanTile *tile : Tiles) {
        tile->Clear();
        tile->SetState(TPlanTile::State::Testing);
    }
    StaticText4->setText(tr("测试中…"));
    m_thread->start();
    showIdle();
}

void TPLANSTATION::Button3Click()
{
    if (!Running())
        return;
    m_control->abort();
    StaticText4->setText(tr("正在中止：关闭输出…"));
}

// The HTML report of the last run: the one a person reads.
QString TPLANSTATION::lastReport() const
{
    for (const QString &file : m_reportFiles) {
        if (file.endsWith(QLatin1String(".html")) && QFileInfo::exists(file))
            return file;
    }
    return QString();
}

void TPLANSTATION::Button5Click()
{
    const QString report = lastReport();
    if (report.isEmpty())
        RaiseError(tr("还没有报告：请先完成一次测试"));
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(report)))
        RaiseError(tr("无法打开报告 %1").arg(QDir::toNativeSeparators(report)));
}

void TPLANSTATION::Button6Click()
{
    const QString folder = Edit1->text().trimmed();
    if (!QDir().mkpath(folder))
        RaiseError(tr("无法创建报告目录 %1").arg(QDir::toNativeSeparators(folder)));
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        RaiseError(tr("无法打开报告目录 %1").arg(QDir::toNativeSeparators(folder)));
}

void TPLANSTATION::Button4Click()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("报告目录"), Edit1->text());
    if (!folder.isEmpty())
        Edit1->setText(QDir::toNativeSeparators(folder));
}

// Ends a run for good (the tool quits, the window goes): abort, and wait for
// the finally block on the run's thread to switch the outputs off.
void TPLANSTATION::stopRun()
{
    if (!m_thread)
        return;
    m_control->abort();
    m_thread->wait();
    finishRun();
}

void TPLANSTATION::finishRun()
{
    if (!m_thread)
        return;
    m_thread->deleteLater();
    m_thread = nullptr;
    m_control.reset();
    // Deliver what the run's thread emitted last before looking at it.
    QCoreApplication::sendPostedEvents(this);
    if (m_reopenPort) {
        m_reopenPort = false;
        if (theBench.afterRun)
            theBench.afterRun();
        RunHandler([this] { m_line->Control()->SetPortOpen(true); });
    }
    showLine();
    showIdle();
    // The next batch's first number goes into the first slot.
    if (!Tiles.isEmpty())
        Tiles.first()->Serial->setFocus(Qt::OtherFocusReason);
    if (!m_runRefusal.isEmpty()) {
        const QString refusal = StationCauseText(m_runRefusal);
        for (TPlanTile *tile : Tiles) // nothing was sent: as before the start
            tile->SetState(TPlanTile::State::Idle);
        StaticText4->setText(refusal);
        ReportError(refusal);
    } else if (!m_runFailure.isEmpty()) {
        StaticText4->setText(m_runFailure);
        for (TPlanTile *tile : Tiles) {
            if (tile->CurrentState() == TPlanTile::State::Testing) {
                tile->SetState(TPlanTile::State::Error);
                tile->SetNotice(m_runFailure);
            }
        }
        ReportError(m_runFailure);
    } else {
        QString text = tr("测试结束");
        if (!m_reportFiles.isEmpty())
            text += QStringLiteral(" · ") + tr("报告：%1").arg(QDir::toNativeSeparators(QFileInfo(m_reportFiles.first()).absolutePath()));
        StaticText4->setText(text);
        if (!m_reportProblems.isEmpty())
            ReportError(m_reportProblems.join(QLatin1Char('\n')));
    }
    emit runEnded();
    if (m_hideWhenDone) {
        m_hideWhenDone = false;
        hide();
    }
}

void TPLANSTATION::onRunStarted()
{
    StaticText4->setText(tr("测试中…"));
}

void TPLANSTATION::onStepStarted(int slot, const QString &text)
{
    if (slot >= 0 && slot < Tiles.size())
        Tiles.at(slot)->Step->setText(text);
}

void TPLANSTATION::onReading(int slot, const Reading &sample)
{
    if (slot >= 0 && slot < Tiles.size() && sample.model.scaled()) {
        Tiles.at(slot)->Values->setText(
            QStringLiteral("%1 V   %2 A")
                .arg(sample.model.volt.text(sample.volts),
                     sample.model.amp.text(sample.amps)));
    }
    TheStatusFeed()->AnnounceTaken(sample);
}

void TPLANSTATION::onCheck(int slot, const QString &text, bool passed)
{
    if (slot >= 0 && slot < Tiles.size())
        Tiles.at(slot)->ShowCheck(text, passed);
}

void TPLANSTATION::onSlotFinished(int slot, int verdict, const QString &cause)
{
    if (slot < 0 || slot >= Tiles.size())
        return;
    TPlanTile *tile = Tiles.at(slot);
    tile->SetState(stateOf(Verdict(verdict)));
    tile->SetNotice(cause);
}

void TPLANSTATION::onRunFailed(const QString &text)
{
    m_runFailure = text;
}

void TPLANSTATION::onRecorded(const QStringList &files, const QStringList &problems)
{
    m_reportFiles = files;
    m_reportProblems = problems;
}

// The operator view covers the screen; leaving it puts the window back where
// and as large as it was.
void TPLANSTATION::SetOperatorMode(bool on)
{
    if (on == m_operatorMode)
        return;
    m_operatorMode = on;
    Header->setVisible(!on);
    if (on) {
        m_normalGeometry = saveGeometry();
        showFullScreen();
        // Where no window manager makes it so, the window covers its screen itself.
        if (QScreen *screen = this->screen())
            setGeometry(screen->geometry());
    } else {
        showNormal();
        restoreGeometry(m_normalGeometry);
    }
}

void TPLANSTATION::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_F11) {
        SetOperatorMode(!m_operatorMode);
        return;
    }
    QWidget::keyPressEvent(event);
}

// Closing mid-run aborts: the window stays until the finally block has
// switched the outputs off, then goes.
void TPLANSTATION::closeEvent(QCloseEvent *event)
{
    if (Running()) {
        m_hideWhenDone = true;
        Button3Click();
        event->ignore();
        return;
    }
    if (m_operatorMode)
        SetOperatorMode(false);
    QWidget::closeEvent(event);
}

