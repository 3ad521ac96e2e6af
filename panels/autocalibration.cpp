#include "panels/autocalibration.h"

#include "link/linesettings.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "link/sharedline.h"
#include "master/rtumaster.h"
#include "plan/certificate.h"
#include "plan/historydb.h"
#include "plan/planengine.h"
#include "plan/recorders.h"
#include "widgets/errorreport.h"
#include "widgets/placement.h"
#include "widgets/spinedit.h"
#include "widgets/uistyle.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QStandardPaths>
#include <QTableWidget>
#include <QThread>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <mutex>

// What the window and the run's thread share: the calibration once it exists,
// so that a stop reaches it whenever it comes, and what the run leaves.
struct AutoCalibrationRun {
    std::mutex mutex;
    AutoCalibration *calibration = nullptr;
    bool aborted = false;
    // Written by the run's thread before it ends, read after.
    CalibrationRecord record;
    QStringList files;
    QStringList problems;
    QString failure; // the run could not begin: the line could not be had

    void abort()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        aborted = true;
        if (calibration)
            calibration->abort();
    }
};

namespace {

StationBench theBench;

// The correction write is the longest request: 11 bytes.
constexpr int kLongestRequestBytes = 11;

QString DefaultCertificateFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
        .filePath(QStringLiteral("psutool/certificates"));
}

QString VerdictText(Acceptance verdict)
{
    switch (verdict) {
    case Acceptance::Pass: return QCoreApplication::translate("TAUTOCAL", "合格");
    case Acceptance::Conditional: return QCoreApplication::translate("TAUTOCAL", "条件合格");
    case Acceptance::Fail: break;
    }
    return QCoreApplication::translate("TAUTOCAL", "不合格");
}

QColor VerdictColour(Acceptance verdict)
{
    switch (verdict) {
    case Acceptance::Pass: return QColor(0xd4, 0xf0, 0xd4);
    case Acceptance::Conditional: return QColor(0xff, 0xe8, 0xb0);
    case Acceptance::Fail: break;
    }
    return QColor(0xf8, 0xc8, 0xc8);
}

QString Signed(double value, int decimals)
{
    return (value >= 0 ? QStringLiteral("+") : QString()) + QString::number(value, 'f', decimals);
}

} // namespace

void SetAutoCalibrationBench(StationBench bench)
{
    theBench = std::move(bench);
}

TAUTOCAL::TAUTOCAL(SharedLine *line, QWidget *parent)
    : QWidget(parent, Qt::Window), m_line(line)
{
    setObjectName(QStringLiteral("AUTOCAL"));
    setWindowTitle(tr("自动校准"));
    buildControls();
    resize(1000, 680);
    PlaceWindow(this, QPoint(160, 40));
    connectHandlers();
    StaticText2->setText(tr("选择工位文件，填好参数后点“开始”"));
    showIdle();
}

TAUTOCAL::~TAUTOCAL()
{
    stopRun();
}

void TAUTOCAL::buildControls()
{
    auto *group = m_settingsGroup = new QGroupBox(tr("校准设置"), this);
    group->setObjectName(QStringLiteral("GroupBox1"));
    auto *grid = new QGridLayout(group);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(8);
    int row = 0;
    const auto label = [group](const QString &text, QWidget *buddy) {
        auto *l = new QLabel(text, group);
        l->setBuddy(buddy);
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        return l;
    };
    const auto named = [](auto *widget, const char *name) {
        widget->setObjectName(QLatin1String(name));
        return widget;
    };

    Edit1 = named(new QLineEdit(group), "Edit1");
    Edit1->setPlaceholderText(tr("工位文件（*.toml）"));
    Button1 = named(new QPushButton(tr("选择…"), group), "Button1");
    grid->addWidget(label(tr("工位文件："), Edit1), row, 0);
    grid->addWidget(Edit1, row, 1, 1, 2);
    grid->addWidget(Button1, row++, 3);
    StaticText1 = named(new QLabel(group), "StaticText1");
    StaticText1->setWordWrap(true);
    SetTextColour(StaticText1, QColor(0x40, 0x40, 0x40));
    grid->addWidget(StaticText1, row++, 1, 1, 3);

    // The model chosen in the main window, as the run will take it.
    StaticText3 = named(new QLabel(group), "StaticText3");
    grid->addWidget(label(tr("电源型号："), StaticText3), row, 0);
    grid->addWidget(StaticText3, row++, 1, 1, 3);

    SpinEdit1 = named(new TSpinEdit(group), "SpinEdit1");
    SpinEdit1->SetLimits(1, 247);
    SpinEdit1->SetValue(1);
    ComboBox1 = named(new QComboBox(group), "ComboBox1");
    ComboBox1->addItems({tr("电压"), tr("电流")});
    grid->addWidget(label(tr("仪表地址："), SpinEdit1), row, 0);
    grid->addWidget(SpinEdit1, row, 1);
    grid->addWidget(label(tr("校准量："), ComboBox1), row, 2);
    grid->addWidget(ComboBox1, row++, 3);

    SpinEdit2 = named(new TSpinEdit(group), "SpinEdit2");
    SpinEdit2->SetLimits(2, 11);
    SpinEdit2->SetValue(5);
    SpinEdit3 = named(new TSpinEdit(group), "SpinEdit3");
    SpinEdit3->SetLimits(2, 50);
    SpinEdit3->SetValue(10);
    grid->addWidget(label(tr("校准点数："), SpinEdit2), row, 0);
    grid->addWidget(SpinEdit2, row, 1);
    grid->addWidget(label(tr("每点读数："), SpinEdit3), row, 2);
    grid->addWidget(SpinEdit3, row++, 3);

    DoubleSpinBox1 = named(new QDoubleSpinBox(group), "DoubleSpinBox1");
    DoubleSpinBox1->setRange(0, 60);
    DoubleSpinBox1->setDecimals(1);
    DoubleSpinBox1->setSingleStep(0.1);
    DoubleSpinBox1->setValue(0.5);
    DoubleSpinBox1->setSuffix(tr(" 秒"));
    ComboBox2 = named(new QComboBox(group), "ComboBox2");
    ComboBox2->addItems({tr("简单判定"), tr("保护带判定")});
    ComboBox2->setToolTip(tr("简单判定：测试不确定度比不小于 4 时直接按允差判定，否则加保护带；"
                             "保护带判定：允差两端各收窄一个扩展不确定度"));
    grid->addWidget(label(tr("稳定时间："), DoubleSpinBox1), row, 0);
    grid->addWidget(DoubleSpinBox1, row, 1);
    grid->addWidget(label(tr("判定规则："), ComboBox2), row, 2);
    grid->addWidget(ComboBox2, row++, 3);

    Edit2 = named(new QLineEdit(group), "Edit2");
    Edit3 = named(new QLineEdit(qEnvironmentVariable("USER", qEnvironmentVariable("USERNAME")), group), "Edit3");
    grid->addWidget(label(tr("序列号："), Edit2), row, 0);
    grid->addWidget(Edit2, row, 1);
    grid->addWidget(label(tr("操作员："), Edit3), row, 2);
    grid->addWidget(Edit3, row++, 3);

    Edit4 = named(new QLineEdit(group), "Edit4");
    Edit4->setPlaceholderText(tr("如 23.0 ℃"));
    Edit5 = named(new QLineEdit(group), "Edit5");
    Edit5->setPlaceholderText(tr("如 45 %RH"));
    grid->addWidget(label(tr("温度："), Edit4), row, 0);
    grid->addWidget(Edit4, row, 1);
    grid->addWidget(label(tr("湿度："), Edit5), row, 2);
    grid->addWidget(Edit5, row++, 3);

    Edit6 = named(new QLineEdit(QDir::toNativeSeparators(DefaultCertificateFolder()), group), "Edit6");
    Button2 = named(new QPushButton(tr("选择…"), group), "Button2");
    grid->addWidget(label(tr("证书目录："), Edit6), row, 0);
    grid->addWidget(Edit6, row, 1, 1, 2);
    grid->addWidget(Button2, row++, 3);
    // The station's history, where its test runs go as well.
    Edit7 = named(new QLineEdit(PLANSTATION ? PLANSTATION->Edit2->text() : DefaultHistoryDatabase(), group), "Edit7");
    Edit7->setToolTip(tr("SQLite 文件，或 postgresql://用户@主机:端口/数据库；填写序列号时记入"));
    grid->addWidget(label(tr("历史数据库："), Edit7), row, 0);
    grid->addWidget(Edit7, row++, 1, 1, 3);
    grid->setRowStretch(row, 1);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);

    StaticText2 = named(new QLabel(this), "StaticText2");
    StaticText2->setWordWrap(true);
    StaticText2->setFont(DesignFont(QStringLiteral("宋体"), 16, true));
    StaticText2->setMinimumHeight(44);
    StaticText2->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    ProgressBar1 = named(new QProgressBar(this), "ProgressBar1");
    ProgressBar1->setRange(0, 1);
    ProgressBar1->setValue(0);
    Memo1 = named(new QPlainTextEdit(this), "Memo1");
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    auto *progress = new QVBoxLayout;
    progress->addWidget(StaticText2);
    progress->addWidget(ProgressBar1);
    progress->addWidget(new QLabel(tr("过程记录"), this));
    progress->addWidget(Memo1, 1);

    auto *top = new QHBoxLayout;
    top->addWidget(group, 5);
    top->addLayout(progress, 6);

    StringGrid1 = named(new QTableWidget(0, 8, this), "StringGrid1");
    StringGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    StringGrid1->setSelectionMode(QAbstractItemView::NoSelection);
    StringGrid1->verticalHeader()->setVisible(false);
    StringGrid1->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    StringGrid1->verticalHeader()->setDefaultSectionSize(StringGrid1->fontMetrics().height() + 8);
    StringGrid1->setMinimumHeight(200);

    Button3 = named(new QPushButton(tr("开始"), this), "Button3");
    Button4 = named(new QPushButton(tr("停止"), this), "Button4");
    Button5 = named(new QPushButton(tr("查看证书"), this), "Button5");
    Button6 = named(new QPushButton(tr("关闭"), this), "Button6");
    for (QPushButton *button : {Button3, Button4, Button5, Button6})
        button->setMinimumSize(96, 34);
    Button3->setFont(DesignFont(QStringLiteral("宋体"), 16, true));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(Button3);
    buttons->addWidget(Button4);
    buttons->addStretch();
    buttons->addWidget(Button5);
    buttons->addWidget(Button6);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(new QLabel(tr("校准结果"), this));
    layout->addWidget(StringGrid1, 1);
    layout->addLayout(buttons);
    showRecord();
}

void TAUTOCAL::connectHandlers()
{
    ConnectHandler(Button1, &QPushButton::clicked, this, &TAUTOCAL::Button1Click);
    ConnectHandler(Button2, &QPushButton::clicked, this, &TAUTOCAL::Button2Click);
    ConnectHandler(Button3, &QPushButton::clicked, this, &TAUTOCAL::Button3Click);
    ConnectHandler(Button4, &QPushButton::clicked, this, &TAUTOCAL::Button4Click);
    ConnectHandler(Button5, &QPushButton::clicked, this, &TAUTOCAL::Button5Click);
    ConnectHandler(Button6, &QPushButton::clicked, this, &TAUTOCAL::Button6Click);
    // A tool that quits mid-run still puts the supply back first.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &TAUTOCAL::stopRun);
}

void TAUTOCAL::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    showModel();
}

void TAUTOCAL::showModel()
{
    StaticText3->setText(ModelName.isEmpty() ? tr("未选择（请在主窗口选择型号）") : ModelName);
}

void TAUTOCAL::showIdle()
{
    const bool running = Running();
    // The settings hold still while a run uses them.
    m_settingsGroup->setEnabled(!running);
    Button3->setEnabled(!running);
    Button4->setEnabled(running);
    Button5->setEnabled(!running && !m_files.isEmpty());
}

void TAUTOCAL::Button1Click()
{
    const QString start = Edit1->text().isEmpty() ? QDir::currentPath() : QFileInfo(Edit1->text()).absolutePath();
    const QString path = QFileDialog::getOpenFileName(this, tr("选择工位文件"), start, tr("工位文件 (*.toml);;所有文件 (*)"));
    if (!path.isEmpty())
        OpenStation(path);
}

void TAUTOCAL::OpenStation(const QString &path)
{
    Edit1->setText(QDir::toNativeSeparators(path));
    try {
        m_station = LoadStation(path);
    } catch (const SystemError &error) {
        // The cause stays in sight, with the file, line and column, after the box.
        StaticText1->setText(error.text());
        throw;
    }
    QStringList references;
    for (const ReferenceInstrument &reference : m_station.references) {
        const QString due = !reference.calibrationDue ? tr("未注明校准有效期")
                            : reference.expiredOn(QDate::currentDate())
                                ? tr("已过校准有效期 %1").arg(reference.calibrationDue->toString(Qt::ISODate))
                                : tr("校准有效期至 %1").arg(reference.calibrationDue->toString(Qt::ISODate));
        references << QStringLiteral("%1 (%2, %3)").arg(reference.name, QLatin1String(ReferenceKindName(reference.kind)), due);
    }
    StaticText1->setText(tr("%1：%2").arg(m_station.name, references.join(QStringLiteral("，"))));
}

void TAUTOCAL::Button2Click()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("证书目录"), Edit6->text());
    if (!folder.isEmpty())
        Edit6->setText(QDir::toNativeSeparators(folder));
}

CalibrationSettings TAUTOCAL::settings() const
{
    CalibrationSettings settings;
    settings.quantity = ComboBox1->currentIndex() == 1 ? CalibratedQuantity::Current : CalibratedQuantity::Voltage;
    settings.address = SpinEdit1->Value();
    settings.modelItem = ModelItemFromText(ModelName);
    settings.serial = Edit2->text().trimmed();
    settings.points = SpinEdit2->Value();
    settings.readings = SpinEdit3->Value();
    settings.settleSeconds = DoubleSpinBox1->value();
    settings.rule = ComboBox2->currentIndex() == 1 ? DecisionRule::Guarded : DecisionRule::Simple;
    settings.operatorName = Edit3->text().trimmed();
    if (!Edit4->text().trimmed().isEmpty())
        settings.environment.append({QStringLiteral("temperature"), Edit4->text().trimmed()});
    if (!Edit5->text().trimmed().isEmpty())
        settings.environment.append({QStringLiteral("humidity"), Edit5->text().trimmed()});
    return settings;
}

// The calibration borrows the tool's line as the station does: the port the
// serial settings dialog opened, with its settings, closed on the control for
// the run and opened again afterwards. Nothing is sent while a window that
// keeps the line busy on its own clock is at work.
void TAUTOCAL::Button3Click()
{
    if (Running())
        return;
    if (Edit1->text().trimmed().isEmpty())
        RaiseError(tr("请先选择工位文件"));
    // The file as it is now: an operator may have corrected it meanwhile.
    OpenStation(QDir::fromNativeSeparators(Edit1->text().trimmed()));
    const CalibrationSettings settings = this->settings();
    const QString folder = QDir::fromNativeSeparators(Edit6->text().trimmed());
    const QString database = Edit7->text().trimmed();
    if (folder.isEmpty())
        RaiseError(tr("请填写证书目录"));
    showModel();
    if (settings.modelItem == 0)
        RaiseError(tr("请先在主窗口选择电源型号"));
    const QString refusal = CalibrationRefusal(m_station, settings.quantity, settings.address, QDate::currentDate());
    if (!refusal.isEmpty())
        RaiseError(tr("此工位不能做这次校准：%1").arg(refusal));
    if (m_line->Busy(LineUser::Monitor)) {
        const SharedLine::StopPath stop = m_line->HowToStop(LineUser::Monitor);
        RaiseError(tr("监控正在运行：请先在“%1”窗口（主窗口的“%2”）点“%3”，再开始校准")
                       .arg(stop.window, stop.launcher, stop.button));
    }
    if (m_line->Busy(LineUser::Sequence)) {
        const SharedLine::StopPath stop = m_line->HowToStop(LineUser::Sequence);
        RaiseError(tr("典型应用正在运行：请先在“%1”窗口点“%2”停止，再开始校准").arg(stop.window, stop.button));
    }
    if (m_line->Busy(LineUser::Scan))
        RaiseError(tr("地址检测正在运行：请等它结束，再开始校准"));
    if (m_line->Busy(LineUser::Station)) {
        const SharedLine::StopPath stop = m_line->HowToStop(LineUser::Station);
        RaiseError(tr("测试计划正在运行：请等它结束或在“%1”窗口点“%2”，再开始校准").arg(stop.window, stop.button));
    }
    TMSComm *comm = m_line->Control();
    if (!comm || !comm->PortOpen())
        RaiseError(tr("串口未打开：请先在“串行口设置”中选择并打开串口"));
    const QString device = comm->OpenDevice();
    LineOptions options;
    options.port = device;
    ParseLineSettings(comm->Settings(), &options.serial);
    // A late reply costs a retry, not the calibration.
    options.timeoutUs = std::max(200000, options.defaultTimeoutUs(kLongestRequestBytes));
    options.retries = 2;

    if (theBench.beforeRun)
        theBench.beforeRun();
    comm->SetPortOpen(false);
    m_reopenPort = true;
    m_files.clear();
    m_record = CalibrationRecord();
    Memo1->clear();
    showRecord();
    ProgressBar1->setRange(0, 2 * settings.points + 2);
    ProgressBar1->setValue(0);

    m_run = std::make_shared<AutoCalibrationRun>();
    const std::shared_ptr<AutoCalibrationRun> run = m_run;
    const StationFile station = m_station;
    m_thread = QThread::create([this, run, station, settings, options, folder, database] {
        try {
            RtuMaster master(options);
            master.open();
            AutoCalibration calibration(master, station, settings);
            calibration.setProgress([this](const QString &line) {
                QMetaObject::invokeMethod(this, [this, line] { onProgress(line); }, Qt::QueuedConnection);
            });
            {
                const std::lock_guard<std::mutex> lock(run->mutex);
                run->calibration = &calibration;
                if (run->aborted)
                    calibration.abort();
            }
            CalibrationRecord record = calibration.run();
            {
                const std::lock_guard<std::mutex> lock(run->mutex);
                run->calibration = nullptr;
            }
            run->record = std::move(record);
        } catch (const SystemError &error) {
            run->failure = error.text();
            return;
        }
        try {
            run->files = WriteCertificate(run->record, folder);
        } catch (const SystemError &error) {
            run->problems << error.text();
        }
        if (!run->record.serial.isEmpty() && !database.isEmpty()) {
            try {
                HistoryDatabase history(database);
                KeepInHistory(history, run->record);
            } catch (const SystemError &error) {
                run->problems << error.text();
            }
        }
    });
    m_thread->setObjectName(QStringLiteral("AutoCalibration"));
    connect(m_thread, &QThread::finished, this, &TAUTOCAL::finishRun);
    StaticText2->setText(tr("校准中…"));
    m_thread->start();
    showIdle();
}

void TAUTOCAL::Button4Click()
{
    if (!Running())
        return;
    m_run->abort();
    StaticText2->setText(tr("正在停止：恢复原修正值并关闭输出…"));
}

void TAUTOCAL::Button5Click()
{
    const auto html = std::find_if(m_files.cbegin(), m_files.cend(),
                                   [](const QString &file) { return file.endsWith(QLatin1String(".html")); });
    if (html == m_files.cend() || !QFileInfo::exists(*html))
        RaiseError(tr("还没有证书：请先完成一次校准"));
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(*html)))
        RaiseError(tr("无法打开证书 %1").arg(QDir::toNativeSeparators(*html)));
}

void TAUTOCAL::Button6Click()
{
    close();
}

void TAUTOCAL::onProgress(const QString &line)
{
    Memo1->appendPlainText(line);
    ProgressBar1->setValue(std::min(ProgressBar1->value() + 1, ProgressBar1->maximum()));
}

// Ends a run for good (the tool quits, the window goes): stop, and wait for
// the engine to put the supply back.
void TAUTOCAL::stopRun()
{
    if (!m_thread)
        return;
    m_run->abort();
    m_thread->wait();
    finishRun();
}

void TAUTOCAL::finishRun()
{
    if (!m_thread)
        return;
    m_thread->deleteLater();
    m_thread = nullptr;
    // The progress lines the run's thread sent last, before its record.
    QCoreApplication::sendPostedEvents(this);
    const std::shared_ptr<AutoCalibrationRun> run = std::move(m_run);
    m_record = run->record;
    m_files = run->files;
    if (m_reopenPort) {
        m_reopenPort = false;
        if (theBench.afterRun)
            theBench.afterRun();
        RunHandler([this] { m_line->Control()->SetPortOpen(true); });
    }
    if (run->failure.isEmpty()) {
        const QString cause = m_record.cause.isEmpty() ? QString() : QStringLiteral(": ") + m_record.cause;
        Memo1->appendPlainText(QStringLiteral("calibration %1: %2%3")
                                   .arg(m_record.id, QLatin1String(CalibrationStatusWord(m_record.status)), cause));
    }
    for (const QString &file : m_files)
        Memo1->appendPlainText(tr("证书：%1").arg(QDir::toNativeSeparators(file)));
    if (run->failure.isEmpty() && m_record.serial.isEmpty())
        Memo1->appendPlainText(tr("未填序列号：本次校准未记入历史数据库"));
    if (m_record.status == CalibrationStatus::Pass || m_record.status == CalibrationStatus::Conditional
        || m_record.status == CalibrationStatus::Fail)
        ProgressBar1->setValue(ProgressBar1->maximum());
    showRecord();
    StaticText2->setText(run->failure.isEmpty() ? statusText() : tr("未能开始：%1").arg(run->failure));
    showIdle();
    const QStringList problems = run->failure.isEmpty() ? run->problems : QStringList{run->failure};
    if (!problems.isEmpty())
        ReportError(problems.join(QLatin1Char('\n')));
    emit runEnded();
    if (m_hideWhenDone) {
        m_hideWhenDone = false;
        hide();
    }
}

// The outcome in a few words; an as-left sweep is named only when it was measured.
QString TAUTOCAL::statusText() const
{
    const CalibrationRecord &r = m_record;
    QString codes;
    if (r.codeLeft)
        codes = tr("修正代码 %1 → %2").arg(r.codeFound ? QString::number(*r.codeFound) : QStringLiteral("?")).arg(*r.codeLeft);
    switch (r.status) {
    case CalibrationStatus::Pass:
        return tr("校准完成：校准后全部合格（%1）").arg(codes);
    case CalibrationStatus::Conditional:
        return tr("校准完成：校准后有点在保护带内，条件合格（%1）").arg(codes);
    case CalibrationStatus::Fail:
        return tr("校准完成：校准后仍有点不合格（%1）").arg(codes);
    case CalibrationStatus::Aborted:
        return r.codeLeft ? tr("已停止：新修正代码已写入，校准后数据未测完") : tr("已停止：电源保持原修正代码");
    case CalibrationStatus::Error:
        break;
    }
    return (r.codeLeft ? tr("校准失败（新修正代码已写入）：%1") : tr("校准失败，未写入新修正值：%1")).arg(r.cause);
}

void TAUTOCAL::showRecord()
{
    const CalibrationRecord &r = m_record;
    const QString unit = QLatin1String(r.traits().unit);
    StringGrid1->setHorizontalHeaderLabels({tr("阶段"), tr("标称值 (%1)").arg(unit), tr("参考读数 (%1)").arg(unit),
                                            tr("电源读数 (%1)").arg(unit), tr("误差 (%1)").arg(unit),
                                            tr("允差 ± (%1)").arg(unit), tr("U (k=2, %1)").arg(unit), tr("判定")});
    StringGrid1->clearSpans();
    StringGrid1->setRowCount(0);
    const ModelEntry *model = FindModel(ModelItemFromText(r.model));
    const int decimals = model ? (unit == QLatin1String("A") ? model->currentDecimals : model->voltageDecimals) : 3;
    const auto cell = [this](int row, int column, const QString &text) {
        auto *item = new QTableWidgetItem(text);
        item->setTextAlignment(column == 0 ? Qt::Alignment(Qt::AlignCenter) : (Qt::AlignRight | Qt::AlignVCenter));
        StringGrid1->setItem(row, column, item);
        return item;
    };
    const auto addSweep = [&](const QString &stage, const QVector<CalibrationPoint> &sweep) {
        for (const CalibrationPoint &p : sweep) {
            const int row = StringGrid1->rowCount();
            StringGrid1->insertRow(row);
            cell(row, 0, stage);
            cell(row, 1, QString::number(p.nominal, 'f', decimals));
            cell(row, 2, QString::number(p.reference, 'f', 5));
            cell(row, 3, QString::number(p.supply, 'f', decimals));
            cell(row, 4, Signed(p.error, 5));
            cell(row, 5, QString::number(p.tolerance, 'f', 4));
            cell(row, 6, QString::number(p.budget.expanded, 'f', 5));
            QTableWidgetItem *verdict = cell(row, 7, VerdictText(p.verdict));
            verdict->setTextAlignment(Qt::AlignCenter);
            verdict->setBackground(VerdictColour(p.verdict));
        }
    };
    // After a run, a sweep that was not measured says so, never shows a row of numbers.
    const auto notMeasured = [&](const QString &stage) {
        const int row = StringGrid1->rowCount();
        StringGrid1->insertRow(row);
        cell(row, 0, stage);
        cell(row, 1, tr("未测量"))->setTextAlignment(Qt::AlignCenter);
        StringGrid1->setSpan(row, 1, 1, StringGrid1->columnCount() - 1);
    };
    if (r.id.isEmpty())
        return;
    if (r.asFound.isEmpty())
        notMeasured(tr("校准前"));
    addSweep(tr("校准前"), r.asFound);
    if (r.asLeftMeasured())
        addSweep(tr("校准后"), r.asLeft);
    else
        notMeasured(tr("校准后"));
}

// Closing mid-run stops it: the window stays until the engine has put the
// supply back, then goes.
void TAUTOCAL::closeEvent(QCloseEvent *event)
{
    if (Running()) {
        m_hideWhenDone = true;
        Button4Click();
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}
