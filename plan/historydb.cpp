#include "plan/historydb.h"

#include "link/systemerror.h"
#include "plan/recorders.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>

namespace {

bool isPostgres(const QString &database)
{
    return database.startsWith(QLatin1String("postgresql://")) || database.startsWith(QLatin1String("postgres://"));
}

QString connectionName()
{
    static QAtomicInteger<int> counter;
    return QStringLiteral("psutool-history-%1").arg(counter.fetchAndAddRelaxed(1));
}

QString sqlErrorText(const QSqlError &error)
{
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.driverText().trimmed();
    return text.isEmpty() ? QStringLiteral("unknown database error") : text;
}

// The tables. The auto-numbered key is the one word the two engines spell
// differently.
QStringList schema(bool postgres)
{
    const QString key = postgres ? QStringLiteral("BIGSERIAL PRIMARY KEY") : QStringLiteral("INTEGER PRIMARY KEY");
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS runs ("
                       "run_id TEXT PRIMARY KEY, plan_name TEXT NOT NULL, plan_version TEXT, plan_file TEXT,"
                       " station TEXT, operator TEXT, tool_version TEXT, port TEXT,"
                       " start_time TEXT NOT NULL, end_time TEXT, verdict TEXT)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS slots ("
                       "run_id TEXT NOT NULL REFERENCES runs (run_id), slot_index INTEGER NOT NULL,"
                       " slot_name TEXT, address INTEGER, model TEXT, serial TEXT NOT NULL,"
                       " verdict TEXT, cause TEXT, checks INTEGER NOT NULL DEFAULT 0,"
                       " failed INTEGER NOT NULL DEFAULT 0, end_time TEXT,"
                       " PRIMARY KEY (run_id, slot_index))"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS slots_by_serial ON slots (serial)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS checks (id %1,"
                       " run_id TEXT NOT NULL, slot_index INTEGER NOT NULL, path TEXT, name TEXT NOT NULL,"
                       " quantity TEXT, statistic TEXT, unit TEXT, value DOUBLE PRECISION,"
                       " low DOUBLE PRECISION, high DOUBLE PRECISION, passed INTEGER NOT NULL, judged_at TEXT)")
            .arg(key),
        QStringLiteral("CREATE INDEX IF NOT EXISTS checks_by_slot ON checks (run_id, slot_index)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS calibrations ("
                       "calibration_id TEXT PRIMARY KEY, serial TEXT NOT NULL, start_time TEXT NOT NULL,"
                       " status TEXT NOT NULL, model TEXT, address INTEGER, quantity TEXT, station TEXT, operator TEXT,"
                       " code_found INTEGER, code_written INTEGER,"
                       " as_found_error DOUBLE PRECISION, as_left_error DOUBLE PRECISION, record TEXT)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS calibrations_by_serial ON calibrations (serial)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS run_references ("
                       "run_id TEXT NOT NULL, position INTEGER NOT NULL, name TEXT NOT NULL, kind TEXT, identity TEXT,"
                       " link TEXT, calibration_due TEXT, expired INTEGER NOT NULL DEFAULT 0,"
                       " expired_allowed INTEGER NOT NULL DEFAULT 0, PRIMARY KEY (run_id, position))"),
    };
}

const QStringList kTables{QStringLiteral("runs"), QStringLiteral("slots"), QStringLiteral("checks"),
                          QStringLiteral("calibrations"), QStringLiteral("run_references")};

// Columns added to tables after their first version: a database made before
// gains them when it is opened, its rows kept (NULL in the new columns).
struct AddedColumn {
    const char *table;
    const char *column;
    const char *type;
};
const AddedColumn kAddedColumns[] = {
    {"runs", "station_file", "TEXT"},
    {"checks", "reference", "TEXT"},
    {"checks", "expanded_uncertainty", "DOUBLE PRECISION"},
    {"checks", "coverage_factor", "DOUBLE PRECISION"},
    {"checks", "tur", "DOUBLE PRECISION"},
    {"checks", "decision_rule", "TEXT"},
    {"checks", "guarded", "INTEGER"},
    {"checks", "acceptance", "TEXT"},
};

} // namespace

HistoryDatabase::HistoryDatabase(const QString &database)
    : m_name(database)
    , m_connection(connectionName())
{
    const bool postgres = isPostgres(database);
    const QString driver = postgres ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
    if (!QSqlDatabase::isDriverAvailable(driver))
        fail(QStringLiteral("Qt Sql has no %1 driver (install %2)")
                 .arg(driver, postgres ? QStringLiteral("libqt6sql6-psql") : QStringLiteral("libqt6sql6-sqlite")));
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, m_connection);
    if (postgres) {
        const QUrl url(database);
        if (!url.isValid() || url.path().size() < 2)
            fail(QStringLiteral("not a database address (postgresql://user@host:port/dbname)"));
        QUrl shown = url;
        shown.setPassword(QString());
        m_name = shown.toString();
        const QUrlQuery query(url);
        db.setHostName(query.hasQueryItem(QStringLiteral("host")) ? query.queryItemValue(QStringLiteral("host")) : url.host());
        db.setPort(url.port(5432));
        db.setUserName(url.userName());
        db.setPassword(url.password());
        db.setDatabaseName(url.path().mid(1));
        db.setConnectOptions(QStringLiteral("connect_timeout=5"));
    } else {
        const QFileInfo file(database);
        if (!QDir().mkpath(file.absolutePath()))
            fail(QStringLiteral("cannot make the folder %1").arg(file.absolutePath()));
        db.setDatabaseName(database);
        // A station that finds the file locked waits a second, then keeps
        // what it could not write for the run's end.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=1000"));
    }
    if (!db.open())
        fail(sqlErrorText(db.lastError()));
    if (!postgres) {
        // WAL: a reader (psuctl history on the same file) never holds up the
        // station; FULL: each committed check survives a crash or a power cut.
        execute({QStringLiteral("PRAGMA journal_mode=WAL"), {}});
        execute({QStringLiteral("PRAGMA synchronous=FULL"), {}});
    }
    const QStringList tables = db.tables();
    if (std::any_of(kTables.cbegin(), kTables.cend(), [&](const QString &table) { return !tables.contains(table); })) {
        QVector<Statement> statements;
        for (const QString &sql : schema(postgres))
            statements.append({sql, {}});
        commit(statements);
    }
    addMissingColumns();
}

// Another station may add the same column at the same time: a column that
// is there after a refused ALTER is not a failure.
void HistoryDatabase::addMissingColumns()
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    for (const AddedColumn &added : kAddedColumns) {
        const QString table = QLatin1String(added.table);
        const QString column = QLatin1String(added.column);
        if (db.record(table).contains(column))
            continue;
        try {
            commit({{QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3").arg(table, column, QLatin1String(added.type)), {}}});
        } catch (const SystemError &) {
            if (!db.record(table).contains(column))
                throw;
        }
    }
}

HistoryDatabase::~HistoryDatabase()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

void HistoryDatabase::fail(const QString &cause) const
{
    RaiseError(QStringLiteral("%1: %2").arg(m_name, cause));
}

void HistoryDatabase::execute(const Statement &statement)
{
    run(statement, false);
}

QSqlQuery HistoryDatabase::run(const Statement &statement, bool forwardOnly)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(forwardOnly);
    // PostgreSQL prepares no table definitions: a statement without values
    // goes as it is.
    if (statement.values.isEmpty()) {
        if (!query.exec(statement.sql))
            fail(sqlErrorText(query.lastError()));
        return query;
    }
    if (!query.prepare(statement.sql))
        fail(sqlErrorText(query.lastError()));
    for (int i = 0; i < statement.values.size(); ++i)
        query.bindValue(i, statement.values.at(i));
    if (!query.exec())
        fail(sqlErrorText(query.lastError()));
    return query;
}

void HistoryDatabase::commit(const QVector<Statement> &statements)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction())
        fail(sqlErrorText(db.lastError()));
    try {
        for (const Statement &statement : statements)
            execute(statement);
    } catch (const SystemError &) {
        db.rollback();
        throw;
    }
    if (!db.commit()) {
        const QString cause = sqlErrorText(db.lastError());
        db.rollback();
        fail(cause);
    }
}

QVector<QVariantList> HistoryDatabase::select(const Statement &statement)
{
    QSqlQuery query = run(statement, true);
    QVector<QVariantList> rows;
    const int columns = query.record().count();
    while (query.next()) {
        QVariantList row;
        row.reserve(columns);
        for (int i = 0; i < columns; ++i)
            row.append(query.value(i));
        rows.append(row);
    }
    return rows;
}

QVariant DatabaseTime(const QDateTime &time)
{
    if (!time.isValid())
        return QVariant(QMetaType::fromType<QString>());
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QVariant DatabaseNumber(std::optional<double> value)
{
    return value ? QVariant(*value) : QVariant(QMetaType::fromType<double>());
}

QString DefaultHistoryDatabase()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + QStringLiteral("/psutool/history.sqlite");
}

namespace {

std::optional<Verdict> verdictFromText(const QString &text)
{
    for (Verdict verdict : {Verdict::Pass, Verdict::Fail, Verdict::Error, Verdict::Aborted, Verdict::Conditional}) {
        if (VerdictText(verdict) == text)
            return verdict;
    }
    return std::nullopt;
}

QDateTime timeFromDatabase(const QVariant &value)
{
    if (value.isNull())
        return QDateTime();
    QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    return time.isValid() ? time.toLocalTime() : time;
}

} // namespace

QVector<HistoryRow> ListHistory(const QString &database, const QString &serial)
{
    const QString name = database.isEmpty() ? DefaultHistoryDatabase() : database;
    // A file no run has made is not made by asking: a wrong name is not an
    // empty history.
    if (!isPostgres(name) && !QFileInfo::exists(name))
        RaiseError(QStringLiteral("%1: no such database").arg(name));
    HistoryDatabase db(name);
    const QVector<QVariantList> rows = db.select(
        {QStringLiteral("SELECT r.run_id, r.start_time, COALESCE(s.end_time, r.end_time), r.plan_name, r.plan_version,"
                        " r.station, s.slot_name, s.serial, s.verdict, s.checks, s.failed"
                        " FROM slots s JOIN runs r ON r.run_id = s.run_id"
                        " WHERE s.serial = ? ORDER BY r.start_time DESC, s.slot_index"),
         {serial}});
    QVector<HistoryRow> history;
    history.reserve(rows.size());
    for (const QVariantList &row : rows) {
        HistoryRow entry;
        entry.runId = row.at(0).toString();
        entry.start = timeFromDatabase(row.at(1));
        entry.end = timeFromDatabase(row.at(2));
        entry.planName = row.at(3).toString();
        entry.planVersion = row.at(4).toString();
        entry.station = row.at(5).toString();
        entry.slot = row.at(6).toString();
        entry.serial = row.at(7).toString();
        // A slot without a verdict (the run was killed, or is still going)
        // and a verdict this version does not know are not a pass.
        entry.ended = !row.at(8).isNull();
        entry.verdict = verdictFromText(row.at(8).toString()).value_or(Verdict::Error);
        entry.checks = row.at(9).toInt();
        entry.failed = row.at(10).toInt();
        history.append(entry);
    }
    const QVector<QVariantList> references = db.select(
        {QStringLiteral("SELECT DISTINCT f.run_id, f.position, f.name, f.kind, f.identity, f.link, f.calibration_due,"
                        " f.expired, f.expired_allowed FROM run_references f JOIN slots s ON s.run_id = f.run_id"
                        " WHERE s.serial = ? ORDER BY f.run_id, f.position"),
         {serial}});
    for (const QVariantList &row : references) {
        ReferenceUsed used;
        used.name = row.at(2).toString();
        used.kind = row.at(3).toString();
        used.identity = row.at(4).toString();
        used.link = row.at(5).toString();
        used.calibrationDue = QDate::fromString(row.at(6).toString(), Qt::ISODate);
        used.expired = row.at(7).toInt() != 0;
        used.expiredAllowed = row.at(8).toInt() != 0;
        for (HistoryRow &entry : history) {
            if (entry.runId == row.at(0).toString())
                entry.references.append(used);
        }
    }
    return history;
}

QString HistoryVerdictText(const HistoryRow &row)
{
    return row.ended ? VerdictText(row.verdict) : QStringLiteral("INCOMPLETE");
}

void RecordCalibration(HistoryDatabase &db, const CalibrationHistoryRow &row, const QByteArray &record)
{
    const auto whole = [](std::optional<int> value) {
        return value ? QVariant(*value) : QVariant(QMetaType::fromType<int>());
    };
    db.commit({{QStringLiteral("INSERT INTO calibrations (calibration_id, serial, start_time, status, model, address,"
                               " quantity, station, operator, code_found, code_written, as_found_error, as_left_error,"
                               " record) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                {row.id, row.serial, DatabaseTime(row.start), row.status, row.model, row.address, row.quantity,
                 row.station, row.operatorName, whole(row.codeFound), whole(row.codeWritten),
                 DatabaseNumber(row.asFoundError), DatabaseNumber(row.asLeftError), QString::fromUtf8(record)}}});
}

QVector<CalibrationHistoryRow> ListCalibrations(HistoryDatabase &db, const QString &serial)
{
    const QVector<QVariantList> rows = db.select(
        {QStringLiteral("SELECT calibration_id, serial, start_time, status, model, address, quantity, station, operator,"
                        " code_found, code_written, as_found_error, as_left_error"
                        " FROM calibrations WHERE serial = ? ORDER BY start_time DESC"),
         {serial}});
    const auto whole = [](const QVariant &v) { return v.isNull() ? std::optional<int>() : std::optional<int>(v.toInt()); };
    const auto number = [](const QVariant &v) {
        return v.isNull() ? std::optional<double>() : std::optional<double>(v.toDouble());
    };
    QVector<CalibrationHistoryRow> list;
    for (const QVariantList &r : rows) {
        CalibrationHistoryRow row;
        row.id = r.at(0).toString();
        row.serial = r.at(1).toString();
        row.start = QDateTime::fromString(r.at(2).toString(), Qt::ISODateWithMs).toLocalTime();
        row.status = r.at(3).toString();
        row.model = r.at(4).toString();
        row.address = r.at(5).toInt();
        row.quantity = r.at(6).toString();
        row.station = r.at(7).toString();
        row.operatorName = r.at(8).toString();
        row.codeFound = whole(r.at(9));
        row.codeWritten = whole(r.at(10));
        row.asFoundError = number(r.at(11));
        row.asLeftError = number(r.at(12));
        list.append(row);
    }
    return list;
}
