// The recorders of a plan run: the time to write the JUnit, HTML and CSV of a
// run of 10,000 checks, and the time to list one serial's history among
// 100,000 runs in SQLite. Prints "key value" lines.

#include "plan/historydb.h"
#include "plan/recorders.h"
#include "support_planstream.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>

namespace {

void print(const char *key, double value)
{
    std::printf("%s %.3f\n", key, value);
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

// 10,000 checks over four slots, three readings each, a few failing.
void reportFiles(const QString &dir)
{
    StreamShape shape;
    shape.slotCount = 4;
    shape.checksPerSlot = 2500;
    shape.readingsPerCheck = 3;
    shape.failingChecks = {17, 1200, 2400};
    shape.failingSlot = 2;
    RecorderOptions options;
    options.reportDir = dir;
    options.history = false;
    QVector<double> times;
    qint64 bytes = 0;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer timer;
        timer.start();
        RunRecorders recorders(options);
        feedStream(recorders, shape);
        times << timer.nsecsElapsed() / 1e6;
        if (!recorders.problems().isEmpty() || recorders.files().size() != 3) {
            std::fprintf(stderr, "report files: %s\n", qPrintable(recorders.problems().join(QLatin1Char('\n'))));
            std::exit(1);
        }
        bytes = 0;
        for (const QString &file : recorders.files())
            bytes += QFileInfo(file).size();
    }
    print("reports_checks", shape.slotCount * shape.checksPerSlot);
    print("reports_readings", shape.slotCount * shape.checksPerSlot * shape.readingsPerCheck);
    print("reports_write_ms_median", median(times));
    print("reports_write_ms_max", *std::max_element(times.begin(), times.end()));
    print("reports_bytes", bytes);
}

// 100,000 runs of three slots each, every slot its own serial but one, which
// was tested twenty times along the way.
void history(const QString &dir)
{
    const QString database = dir + QStringLiteral("/history.sqlite");
    const int runs = 100000, batch = 5000;
    const QString serial = QStringLiteral("SN-TARGET");
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-365);
    QElapsedTimer seeding;
    seeding.start();
    {
        HistoryDatabase db(database);
        for (int first = 0; first < runs; first += batch) {
            QVector<Statement> statements;
            for (int run = first; run < first + batch; ++run) {
                const QString id = QStringLiteral("run-%1").arg(run, 6, 10, QLatin1Char('0'));
                const QDateTime when = start.addSecs(run * 300);
                statements.append({QStringLiteral("INSERT INTO runs (run_id, plan_name, plan_version, station, start_time, end_time,"
                                                  " verdict) VALUES (?, 'accuracy', '1.2', 'eol-3', ?, ?, 'PASS')"),
                                   {id, DatabaseTime(when), DatabaseTime(when.addSecs(90))}});
                for (int slot = 0; slot < 3; ++slot) {
                    const bool target = slot == 1 && run % (runs / 20) == 7;
                    statements.append({QStringLiteral("INSERT INTO slots (run_id, slot_index, slot_name, address, model, serial,"
                                                      " verdict, checks, failed, end_time) VALUES (?, ?, ?, ?, 'QELT30-05', ?, 'PASS', 9, 0, ?)"),
                                       {id, slot, QString(QChar(u'A' + slot)), slot * 4 + 1,
                                        target ? serial : QStringLiteral("SN%1-%2").arg(run).arg(slot), DatabaseTime(when.addSecs(90))}});
                }
            }
            db.commit(statements);
        }
    }
    print("history_runs", runs);
    print("history_seed_s", seeding.elapsed() / 1000.0);
    QVector<double> times;
    int listed = 0;
    for (int i = 0; i < 25; ++i) {
        QElapsedTimer timer;
        timer.start();
        listed = ListHistory(database, serial).size();
        times << timer.nsecsElapsed() / 1e6;
    }
    print("history_listed", listed);
    print("history_list_ms_median", median(times));
    print("history_list_ms_max", *std::max_element(times.begin(), times.end()));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    reportFiles(dir.path());
    history(dir.path());
    return 0;
}
