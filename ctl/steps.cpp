#include "ctl/steps.h"

#include "link/csvlines.h"
#include "ctl/ctlerror.h"

#include <QLocale>
#include <QStringList>
#include <cmath>

namespace {

double number(const QString &field, const char *what, const QString &where)
{
    bool ok = false;
    const double value = QLocale::c().toDouble(field, &ok);
    if (!ok || !std::isfinite(value))
        Fail(ExitUsage, QStringLiteral("%1: '%2' is not a number of %3").arg(where, field, QLatin1String(what)));
    if (value < 0)
        Fail(ExitUsage, QStringLiteral("%1: %2 %3 is below 0").arg(where, field, QLatin1String(what)));
    return value;
}

} // namespace

QVector<StepRow> ParseSteps(const QString &text, const QString &fileName)
{
    QVector<StepRow> rows;
    for (const CsvLine &line : CsvDataLines(text)) {
        const QString where = QStringLiteral("%1:%2").arg(fileName).arg(line.number);
        const QStringList &fields = line.fields;
        if (fields.size() != 3)
            Fail(ExitUsage, QStringLiteral("%1: %2 fields where volts,amps,seconds are expected").arg(where).arg(fields.size()));
        StepRow row;
        row.line = line.number;
        row.volts = number(fields.at(0), "volts", where);
        row.amps = number(fields.at(1), "amperes", where);
        row.seconds = number(fields.at(2), "seconds", where);
        if (row.seconds <= 0)
            Fail(ExitUsage, QStringLiteral("%1: a step must last longer than 0 seconds").arg(where));
        rows.append(row);
    }
    if (rows.isEmpty())
        Fail(ExitUsage, QStringLiteral("%1: no steps (rows of volts,amps,seconds)").arg(fileName));
    return rows;
}
