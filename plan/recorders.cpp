#include "plan/recorders.h"

#include "link/systemerror.h"
#include "plan/historydb.h"
#include "plan/runrecord.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>

Verdict RunRecord::verdict(int slot) const
{
    if (slot >= 0 && slot < verdicts.size() && verdicts.at(slot))
        return verdicts.at(slot)->verdict;
    // A slot that never ended: the run was aborted, or it is still going.
    return end ? Verdict::Aborted : Verdict::Error;
}

Verdict RunRecord::overall() const
{
    if (end)
        return end->overall;
    Verdict worst = Verdict::Pass;
    for (int slot = 0; slot < info.slotList.size(); ++slot) {
        const Verdict v = verdict(slot);
        if (v != Verdict::Pass)
            worst = (worst == Verdict::Pass || worst == Verdict::Conditional || v == Verdict::Fail) ? v : worst;
    }
    return worst;
}

QDateTime RunRecord::endTime() const
{
    if (end)
        return end->end;
    QDateTime last = info.start;
    for (const auto &v : verdicts) {
        if (v && v->end > last)
            last = v->end;
    }
    return last;
}

QVector<PlannedCheck> RunRecord::unreached(int slot) const
{
    QVector<PlannedCheck> list;
    const bool ended = (slot >= 0 && slot < verdicts.size() && verdicts.at(slot)) || end;
    if (!ended)
        return list;
    QSet<QString> judged;
    for (const CheckResult &check : checks) {
        if (check.slot == slot)
            judged.insert(check.path + QLatin1Char('\n') + check.name);
    }
    for (const PlannedCheck &check : info.plannedChecks) {
        if (!judged.contains(check.path + QLatin1Char('\n') + check.name))
            list.append(check);
    }
    return list;
}

QString RunRecord::unreachedReason(int slot) const
{
    const std::optional<SlotVerdict> &ended = slot >= 0 && slot < verdicts.size() ? verdicts.at(slot) : std::nullopt;
    const QString cause = ended && !ended->cause.isEmpty()              ? ended->cause
                          : verdict(slot) == Verdict::Aborted ? QStringLiteral("the run was aborted")
                                                              : QString();
    return QStringLiteral("not reached: the slot ended %1%2")
        .arg(VerdictText(verdict(slot)), cause.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(cause));
}

XmlReportFile::XmlReportFile(const QString &path)
    : m_file(path)
{
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        RaiseError(QStringLiteral("%1: %2").arg(path, m_file.errorString()));
    m_xml.setDevice(&m_file);
}

void XmlReportFile::close()
{
    m_xml.writeEndDocument();
    // The writer's own error flag also stands for a character XML cannot
    // hold; only the file's error is a file not written.
    if (!m_file.flush() || m_file.error() != QFileDevice::NoError)
        RaiseError(QStringLiteral("%1: %2").arg(m_file.fileName(), m_file.errorString()));
    m_file.close();
}

QString XmlSafe(QString text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        const bool control = c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r';
        const bool surrogate = QChar::isSurrogate(c)
                               && !(QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate());
        if (control || c == 0xFFFE || c == 0xFFFF) {
            text[i] = QChar::ReplacementCharacter;
        } else if (surrogate) {
            text[i] = QChar::ReplacementCharacter;
        } else if (QChar::isHighSurrogate(c)) {
            ++i; // a whole pair
        }
    }
    return text;
}

QString ReferenceText(const ReferenceUsed &reference)
{
    return QStringLiteral("%1, calibration due %2%3")
        .arg(reference.identity,
             reference.calibrationDue.isValid() ? reference.calibrationDue.toString(Qt::ISODate) : QStringLiteral("not given"),
             reference.expired ? QStringLiteral(" (EXPIRED, run with expired references allowed)") : QString());
}

QString CheckNumber(const CheckResult &check, std::optional<double> value)
{
    return value ? QString::number(*value, 'f', check.decimals) : QString();
}

QString CheckSummary(const CheckResult &check)
{
    const QString unit = check.unit.isEmpty() ? QString() : QLatin1Char(' ') + check.unit;
    QString limits;
    if (check.low && check.high)
        limits = QStringLiteral("[%1, %2]").arg(LimitText(check.low), LimitText(check.high));
    else if (check.low)
        limits = QStringLiteral(">= %1").arg(LimitText(check.low));
    else if (check.high)
        limits = QStringLiteral("<= %1").arg(LimitText(check.high));
    else
        limits = QStringLiteral("no limit");
    return QStringLiteral("%1%2 %3 %4%5")
        .arg(CheckNumber(check, check.value), unit,
             check.passed || check.conditional ? QStringLiteral("in") : QStringLiteral("outside"), limits, (check.low || check.high) ? unit : QString());
}

QString ReportBaseName(const RunInfo &info)
{
    QString plan;
    for (const QChar c : info.planName.trimmed()) {
        plan += (c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_') || c == QLatin1Char('.'))
                    ? c
                    : QLatin1Char('-');
    }
    if (plan.isEmpty())
        plan = QStringLiteral("plan");
    QString id = info.runId;
    id.remove(QLatin1Char('-'));
    return QStringLiteral("%1_%2_%3")
        .arg(plan.left(60), info.start.toString(QStringLiteral("yyyyMMdd-HHmmss")), id.left(8));
}

namespace {

// A cell of the CSV: quoted when it holds a separator, a quote or a line end.
QString csvCell(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n'))
        && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// The CSV's columns after a reading's: a row of its own for each check
// judged, its reading columns empty, its word PASS, CONDITIONAL or FAIL.
const QString kCsvCheckHeader = QStringLiteral("check,value,low,high,unit,verdict");
const int kCsvReadingColumns = int(ReadingHeader(ReadingFormat::Csv).count(QLatin1Char(',')) + 1);

QString csvCheckRow(const SlotInfo &slot, const CheckResult &check)
{
    QStringList cells{csvCell(slot.name), csvCell(slot.serial), csvCell(check.path)};
    for (int i = 0; i < kCsvReadingColumns; ++i)
        cells << QString();
    cells << csvCell(check.name) << CheckNumber(check, check.value) << LimitText(check.low) << LimitText(check.high)
          << csvCell(check.unit) << check.word();
    return cells.join(QLatin1Char(',')) + QLatin1Char('\n');
}

} // namespace

struct RunRecorders::Impl {
    RecorderOptions options;
    RunRecord run;
    bool started = false;
    bool finished = false;
    QString base; // the report files' path without extension
    QStringList files;
    QStringList problems;
    bool historyLost = false;

    QFile csv;
    bool csvOpen = false;

    std::unique_ptr<HistoryDatabase> db;
    QString dbName;
    QString dbProblem;            // why the database last refused, while it does
    QElapsedTimer sinceRefusal;   // a refusing database is tried again after RetryMs
    QVector<QVector<Statement>> pending; // transactions not yet kept, in order

    void problem(const QString &text)
    {
        if (!problems.contains(text))
            problems.append(text);
    }

    // Report files.
    void openCsv();
    void writeCsv(const QByteArray &line);
    void closeCsv();
    void writeReport(const QString &suffix, void (*writer)(const QString &, const RunRecord &));

    // History: each event is one transaction, kept in order. When the
    // database refuses (locked, disk full, server gone), what follows waits
    // in memory and is tried again half a minute later and at the run's end,
    // so a station never stalls on each check.
    static constexpr qint64 RetryMs = 30000;
    void record(QVector<Statement> transaction);
    void recordUnreached(int slot);
    bool flush();
    void finish();
};

void RunRecorders::Impl::openCsv()
{
    csv.setFileName(base + QStringLiteral(".csv"));
    if (!csv.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        problem(QStringLiteral("%1: %2").arg(csv.fileName(), csv.errorString()));
        return;
    }
    csvOpen = true;
    writeCsv(QStringLiteral("slot,serial,step,%1,%2\n").arg(ReadingHeader(ReadingFormat::Csv), kCsvCheckHeader).toUtf8());
}

void RunRecorders::Impl::writeCsv(const QByteArray &line)
{
    if (!csvOpen)
        return;
    // Flushed line by line: a run that is killed keeps the rows it read.
    if (csv.write(line) != line.size() || !csv.flush()) {
        problem(QStringLiteral("%1: %2").arg(csv.fileName(), csv.errorString()));
        csv.close();
        csvOpen = false;
    }
}

void RunRecorders::Impl::closeCsv()
{
    if (!csvOpen)
        return;
    csvOpen = false;
    if (!csv.flush()) {
        problem(QStringLiteral("%1: %2").arg(csv.fileName(), csv.errorString()));
        csv.close();
        return;
    }
    csv.close();
    files.append(csv.fileName());
}

void RunRecorders::Impl::writeReport(const QString &suffix, void (*writer)(const QString &, const RunRecord &))
{
    const QString path = base + suffix;
    try {
        writer(path, run);
        files.append(path);
    } catch (const SystemError &error) {
        problem(error.text());
    }
}

void RunRecorders::Impl::record(QVector<Statement> transaction)
{
    if (!options.history)
        return;
    pending.append(std::move(transaction));
    if (dbProblem.isEmpty() || sinceRefusal.hasExpired(RetryMs))
        flush();
}

// A check the slot never reached is kept with no value and no time of
// judgement, so the history lists every check of the plan.
void RunRecorders::Impl::recordUnreached(int slot)
{
    QVector<Statement> transaction;
    for (const PlannedCheck &check : run.unreached(slot)) {
        transaction.append({QStringLiteral("INSERT INTO checks (run_id, slot_index, path, name, quantity, statistic, unit,"
                                           " value, low, high, passed, judged_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, ?)"),
                            {run.info.runId, slot, check.path, check.name, check.quantity, check.statistic, check.unit,
                             DatabaseNumber(std::nullopt), DatabaseNumber(check.low), DatabaseNumber(check.high),
                             QVariant(QMetaType::fromType<QString>())}});
    }
    if (!transaction.isEmpty())
        record(transaction);
}

bool RunRecorders::Impl::flush()
{
    try {
        if (!db)
            db = std::make_unique<HistoryDatabase>(dbName);
        while (!pending.isEmpty()) {
            db->commit(pending.first());
            pending.removeFirst();
        }
        dbProblem.clear();
        return true;
    } catch (const SystemError &error) {
        dbProblem = error.text();
        sinceRefusal.start();
        return false;
    }
}

void RunRecorders::Impl::finish()
{
    if (!started || finished)
        return;
    finished = true;
    if (!base.isEmpty()) {
        closeCsv();
        writeReport(QStringLiteral(".xml"), WriteJUnitReport);
        writeReport(QStringLiteral(".html"), WriteHtmlReport);
    }
    if (options.history && !pending.isEmpty() && !flush()) {
        problem(QStringLiteral("%1; %2 writes of this run's history were not kept%3")
                    .arg(dbProblem)
                    .arg(pending.size())
                    .arg(files.isEmpty() ? QString() : QStringLiteral(", its verdicts are in the report files")));
        pending.clear();
        historyLost = true;
    }
    db.reset();
}

RunRecorders::RunRecorders(const RecorderOptions &options)
    : m_impl(std::make_unique<Impl>())
{
    m_impl->options = options;
    m_impl->dbName = options.database.isEmpty() ? DefaultHistoryDatabase() : options.database;
}

RunRecorders::~RunRecorders()
{
    try {
        m_impl->finish();
    } catch (const std::exception &) {
        // A destructor never throws; what failed is in problems() for no one.
    }
}

void RunRecorders::openHistory()
{
    if (m_impl->options.history && !m_impl->db)
        m_impl->db = std::make_unique<HistoryDatabase>(m_impl->dbName);
}

bool RunRecorders::historyLost() const
{
    return m_impl->historyLost;
}

QStringList RunRecorders::files() const
{
    return m_impl->files;
}

QStringList RunRecorders::problems() const
{
    return m_impl->problems;
}

void RunRecorders::runStarted(const RunInfo &info)
{
    Impl &d = *m_impl;
    // One recorder may keep several runs in turn; what it tells is of the last.
    d.run = RunRecord();
    d.files.clear();
    d.problems.clear();
    d.pending.clear();
    d.dbProblem.clear();
    d.historyLost = false;
    d.run.info = info;
    // The report files hold text as XML can: a barcode's group separator
    // and the like become U+FFFD there (the database keeps them as read).
    for (QString *text : {&d.run.info.planName, &d.run.info.planVersion, &d.run.info.planFile, &d.run.info.station,
                          &d.run.info.operatorName, &d.run.info.port})
        *text = XmlSafe(*text);
    for (SlotInfo &slot : d.run.info.slotList) {
        slot.name = XmlSafe(slot.name);
        slot.serial = XmlSafe(slot.serial);
    }
    for (PlannedCheck &check : d.run.info.plannedChecks) {
        check.name = XmlSafe(check.name);
        check.stepLabel = XmlSafe(check.stepLabel);
    }
    d.run.verdicts.resize(info.slotList.size());
    d.run.readings.resize(info.slotList.size());
    d.started = true;
    d.finished = false;
    if (!d.options.reportDir.isEmpty()) {
        if (!QDir().mkpath(d.options.reportDir))
            d.problem(QStringLiteral("%1: cannot make the folder").arg(d.options.reportDir));
        d.base = QDir(d.options.reportDir).filePath(ReportBaseName(info));
        d.openCsv();
    }

    QVector<Statement> transaction;
    transaction.append({QStringLiteral("INSERT INTO runs (run_id, plan_name, plan_version, plan_file, station, operator,"
                                       " tool_version, port, start_time, station_file) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                        {info.runId, info.planName, info.planVersion, info.planFile, info.station, info.operatorName,
                         info.toolVersion, info.port, DatabaseTime(info.start),
                         info.stationFile.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(info.stationFile)}});
    for (int n = 0; n < info.references.size(); ++n) {
        const ReferenceUsed &reference = info.references.at(n);
        transaction.append({QStringLiteral("INSERT INTO run_references (run_id, position, name, kind, identity, link,"
                                           " calibration_due, expired, expired_allowed) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                            {info.runId, n, reference.name, reference.kind, reference.identity, reference.link,
                             reference.calibrationDue.isValid() ? QVariant(reference.calibrationDue.toString(Qt::ISODate))
                                                                : QVariant(QMetaType::fromType<QString>()),
                             reference.expired ? 1 : 0, reference.expiredAllowed ? 1 : 0}});
    }
    for (const SlotInfo &slot : info.slotList) {
        transaction.append({QStringLiteral("INSERT INTO slots (run_id, slot_index, slot_name, address, model, serial)"
                                           " VALUES (?, ?, ?, ?, ?, ?)"),
                            {info.runId, slot.index, slot.name, slot.address, slot.model, slot.serial}});
    }
    d.record(transaction);
}

void RunRecorders::stepStarted(const StepEvent &event)
{
    m_impl->run.stepLabels.insert(RunRecord::StepKey(event.slot, event.path), XmlSafe(event.label));
}

void RunRecorders::stepEnded(const StepEvent &event)
{
    m_impl->run.steps.append(event);
    m_impl->run.steps.last().label = XmlSafe(event.label);
}

void RunRecorders::reading(const ReadingEvent &event)
{
    Impl &d = *m_impl;
    if (event.slot < 0 || event.slot >= d.run.info.slotList.size() || !event.sample.model.scaled())
        return;
    const Reading &sample = event.sample;
    d.run.readings[event.slot].append(
        {d.run.info.start.msecsTo(sample.time), sample.volts, sample.amps});
    if (d.csvOpen) {
        const SlotInfo &slot = d.run.info.slotList.at(event.slot);
        QString line = csvCell(slot.name);
        line += QLatin1Char(',');
        line += csvCell(slot.serial);
        line += QLatin1Char(',');
        line += csvCell(event.path);
        line += QLatin1Char(',');
        line += FormatReading(sample, ReadingFormat::Csv);
        line += QString(kCsvCheckHeader.count(QLatin1Char(',')) + 1, QLatin1Char(','));
        line += QLatin1Char('\n');
        d.writeCsv(line.toUtf8());
    }
}

void RunRecorders::checkJudged(const CheckResult &result)
{
    Impl &d = *m_impl;
    d.run.checks.append(result);
    d.run.checks.last().name = XmlSafe(result.name);
    if (d.csvOpen && result.slot >= 0 && result.slot < d.run.info.slotList.size())
        d.writeCsv(csvCheckRow(d.run.info.slotList.at(result.slot), result).toUtf8());
    // A reference's check keeps what it was decided on; a conditional one is
    // not a pass, nor counted as failed (as the slot's own count has it).
    const bool decided = !result.reference.isEmpty();
    const auto text = [decided](const QString &value) {
        return decided ? QVariant(value) : QVariant(QMetaType::fromType<QString>());
    };
    d.record({
        {QStringLiteral("INSERT INTO checks (run_id, slot_index, path, name, quantity, statistic, unit, value, low, high,"
                        " passed, judged_at, reference, expanded_uncertainty, coverage_factor, tur, decision_rule, guarded,"
                        " acceptance) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
         {d.run.info.runId, result.slot, result.path, result.name, result.quantity, result.statistic, result.unit,
          result.value, DatabaseNumber(result.low), DatabaseNumber(result.high), result.passed ? 1 : 0,
          DatabaseTime(result.time), text(result.reference),
          DatabaseNumber(decided ? std::optional<double>(result.expanded) : std::nullopt),
          DatabaseNumber(decided ? std::optional<double>(result.coverage) : std::nullopt), DatabaseNumber(result.ratio),
          text(result.decision), decided ? QVariant(result.guarded ? 1 : 0) : QVariant(QMetaType::fromType<int>()),
          result.word()}},
        {QStringLiteral("UPDATE slots SET checks = checks + 1, failed = failed + ? WHERE run_id = ? AND slot_index = ?"),
         {result.passed || result.conditional ? 0 : 1, d.run.info.runId, result.slot}},
    });
}

void RunRecorders::slotFinished(const SlotVerdict &verdict)
{
    Impl &d = *m_impl;
    if (verdict.slot >= 0 && verdict.slot < d.run.verdicts.size()) {
        d.run.verdicts[verdict.slot] = verdict;
        d.run.verdicts[verdict.slot]->cause = XmlSafe(verdict.cause);
    }
    d.record({{QStringLiteral("UPDATE slots SET verdict = ?, cause = ?, end_time = ? WHERE run_id = ? AND slot_index = ?"),
               {VerdictText(verdict.verdict), verdict.cause, DatabaseTime(verdict.end), d.run.info.runId, verdict.slot}}});
    d.recordUnreached(verdict.slot);
}

void RunRecorders::runFinished(const RunEnd &end)
{
    Impl &d = *m_impl;
    d.run.end = end;
    for (int slot = 0; slot < d.run.verdicts.size(); ++slot) {
        if (!d.run.verdicts.at(slot))
            d.recordUnreached(slot);
    }
    d.record({{QStringLiteral("UPDATE runs SET end_time = ?, verdict = ? WHERE run_id = ?"),
               {DatabaseTime(end.end), VerdictText(end.overall), d.run.info.runId}}});
    d.finish();
}
