// psuctl calibrate --auto: a supply's output voltage, current or both
// calibrated against the station's multimeter (and its load for the
// current), a certificate each, and their place in the history; and
// the calibrations psuctl history lists beside the test runs.

#include "ctl/cli.h"
#include "ctl/commands.h"
#include "ctl/ctlerror.h"
#include "ctl/service.h"
#include "ctl/values.h"
#include "plan/autocal.h"
#include "plan/certificate.h"
#include "plan/historydb.h"
#include "plan/planengine.h"
#include "plan/recorders.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <pthread.h>
#include <thread>

namespace {

const char *const AutoOnly[] = {"station", "points", "readings", "settle", "certificate", "environment", "serial",
                                "db", "no-history", "operator", "model", "quantity"};

// A calibration's error in the unit of its quantity ("voltage", "current").
QString SignedError(double value, const QString &quantity)
{
    return (value >= 0 ? QStringLiteral("+") : QString()) + QString::number(value, 'f', 5)
           + (quantity == QLatin1String("current") ? QStringLiteral(" A") : QStringLiteral(" V"));
}

// Runs the calibration with the stop signals taken by a watcher thread, which
// asks the engine to stop between two operations.
CalibrationRecord RunStoppable(AutoCalibration &calibration)
{
    CatchStopSignals();
    std::atomic<bool> running{true};
    std::thread watcher([&] {
        while (running.load()) {
            if (StopRequested()) {
                calibration.abort();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    sigset_t before;
    BlockStopSignals(&before);
    CalibrationRecord record = calibration.run();
    running.store(false);
    watcher.join();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return record;
}

// Prints the calibration's verdict, writes its certificate and keeps it in
// the history; returns the exit status it asks for.
int KeepCalibration(const Invocation &inv, const CalibrationRecord &record, HistoryDatabase *history, std::FILE *out,
                    std::FILE *err)
{
    PrintLine(out, QStringLiteral("calibration %1: %2%3").arg(record.id, QLatin1String(CalibrationStatusWord(record.status)),
                                                              record.cause.isEmpty() ? QString() : QStringLiteral(": ") + record.cause));
    int status = record.status == CalibrationStatus::Pass ? ExitSuccess : ExitTestFailed;
    try {
        for (const QString &file : WriteCertificate(record, inv.text("certificate", QStringLiteral("."))))
            PrintLine(out, QStringLiteral("certificate %1").arg(file));
    } catch (const SystemError &error) {
        PrintLine(err, QStringLiteral("psuctl: ") + error.text());
        status = ExitTestFailed;
    }
    if (history) {
        try {
            KeepInHistory(*history, record);
        } catch (const SystemError &error) {
            PrintLine(err, QStringLiteral("psuctl: ") + error.text());
            if (status == ExitSuccess)
                status = ExitHistoryLost;
        }
    }
    return status;
}

} // namespace

void CheckAutoCalibrate(const Invocation &inv)
{
    if (!inv.has("auto")) {
        for (const char *name : AutoOnly) {
            if (inv.has(name))
                UsageError(QStringLiteral("--%1 goes with --auto").arg(QLatin1String(name)), inv.command);
        }
        return;
    }
    if (inv.has("voltage-code") || inv.has("current-code"))
        UsageError(QStringLiteral("--auto finds the code itself: it takes no --voltage-code or --current-code"), inv.command);
    if (!inv.has("station") || !inv.has("model"))
        UsageError(QStringLiteral("calibrate --auto needs the station (--station) and the model (-m)"), inv.command);
    if (inv.has("db") && inv.has("no-history"))
        UsageError(QStringLiteral("--db and --no-history exclude each other"), inv.command);
    if (inv.has("environment")) {
        for (const QString &item : inv.text("environment").split(QLatin1Char(','))) {
            if (item.indexOf(QLatin1Char('=')) < 1)
                UsageError(QStringLiteral("--environment '%1': not KEY=VALUE").arg(item), inv.command);
        }
    }
}

int RunAutoCalibrate(const Invocation &inv, std::FILE *out, std::FILE *err)
{
    StationFile station;
    try {
        station = LoadStation(inv.text("station"));
    } catch (const PlanError &error) {
        Fail(ExitUsage, error.text());
    }
    const QString asked = inv.text("quantity", QStringLiteral("voltage"));
    QVector<CalibratedQuantity> quantities;
    if (asked != QLatin1String("current"))
        quantities.append(CalibratedQuantity::Voltage);
    if (asked != QLatin1String("voltage"))
        quantities.append(CalibratedQuantity::Current);
    for (CalibratedQuantity quantity : quantities) {
        const QString refusal = CalibrationRefusal(station, quantity, inv.address(), QDate::currentDate());
        if (!refusal.isEmpty())
            Fail(ExitUsage, refusal + QStringLiteral("; nothing was sent"));
    }
    CalibrationSettings settings;
    settings.address = inv.address();
    settings.modelItem = inv.modelItem();
    settings.serial = inv.text("serial");
    settings.points = inv.whole("points");
    settings.readings = inv.whole("readings");
    settings.settleSeconds = inv.decimal("settle");
    settings.operatorName = inv.text("operator", qEnvironmentVariable("USER", qEnvironmentVariable("USERNAME")));
    if (inv.has("environment")) {
        for (const QString &item : inv.text("environment").split(QLatin1Char(',')))
            settings.environment.append({item.section(QLatin1Char('='), 0, 0), item.section(QLatin1Char('='), 1)});
    }

    // The history is opened before anything is sent, as for a test.
    std::unique_ptr<HistoryDatabase> history;
    if (!settings.serial.isEmpty() && !inv.has("no-history")) {
        try {
            history = std::make_unique<HistoryDatabase>(inv.text("db", DefaultHistoryDatabase()));
        } catch (const SystemError &error) {
            Fail(ExitUsage, error.text() + QStringLiteral(" (--no-history calibrates without it)"));
        }
    }

    RtuMaster master(inv.line, err);
    master.open();
    int status = ExitSuccess;
    for (CalibratedQuantity quantity : quantities) {
        settings.quantity = quantity;
        AutoCalibration calibration(master, station, settings);
        calibration.setProgress([out](const QString &line) { PrintLine(out, line); });
        const CalibrationRecord record = RunStoppable(calibration);
        // A failed calibration's status wins over a history lost.
        const int kept = KeepCalibration(inv, record, history.get(), out, err);
        if (status == ExitSuccess || kept == ExitTestFailed)
            status = kept;
        if (record.status == CalibrationStatus::Aborted && StopRequested())
            return StopExitCode();
    }
    return status;
}

void PrintCalibrationHistory(std::FILE *out, const QString &database, const QString &serial)
{
    HistoryDatabase db(database);
    const QVector<CalibrationHistoryRow> rows = ListCalibrations(db, serial);
    for (int i = 0; i < rows.size(); ++i) {
        const CalibrationHistoryRow &row = rows.at(i);
        // The drift: this as-found error against the one found by the
        // calibration before it.
        QString drift;
        for (int j = i + 1; j < rows.size() && row.asFoundError; ++j) {
            if (rows.at(j).quantity == row.quantity && rows.at(j).asFoundError) {
                drift = QStringLiteral(" (drift %1 since %2)")
                            .arg(SignedError(*row.asFoundError - *rows.at(j).asFoundError, row.quantity), IsoTime(rows.at(j).start));
                break;
            }
        }
        const auto error = [&row](const std::optional<double> &value) {
            return value ? SignedError(*value, row.quantity) : QStringLiteral("not measured");
        };
        const auto code = [](const std::optional<int> &value) { return value ? QString::number(*value) : QStringLiteral("-"); };
        PrintLine(out, QStringLiteral("%1  calibration %2  %3 %4 address %5  as found %6%7  as left %8  code %9 -> %10  %11")
                           .arg(IsoTime(row.start), row.status, row.quantity, row.model)
                           .arg(row.address)
                           .arg(error(row.asFoundError), drift, error(row.asLeftError), code(row.codeFound),
                                code(row.codeWritten), row.id));
    }
}
