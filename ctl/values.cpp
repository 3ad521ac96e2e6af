#include "ctl/values.h"

#include "link/modelcatalogue.h"

#include <QStringList>
#include <cmath>

namespace {

const char *const Keys[] = {"time", "address", "model", "voltage_set", "current_set",
                            "voltage", "current", "output", "power"};

QStringList fields(const StatusSample &reading)
{
    const ModelEntry &model = *reading.model;
    return {
        reading.time.toOffsetFromUtc(reading.time.offsetFromUtc()).toString(Qt::ISODateWithMs),
        QString::number(reading.address),
        QLatin1String(model.caption),
        FormatScaled(reading.status.voltageSetpoint, model.voltageScale, model.voltageDecimals),
        FormatScaled(reading.status.currentSetpoint, model.currentScale, model.currentDecimals),
        FormatScaled(reading.status.outputVoltage, model.voltageScale, model.voltageDecimals),
        FormatScaled(reading.status.outputCurrent, model.currentScale, model.currentDecimals),
        reading.status.outputOn ? QStringLiteral("on") : QStringLiteral("off"),
        FormatScaled(reading.power, PowerScale, PowerDecimals),
    };
}

// Widths of the table's columns; the time column shows the time of day only.
const int TableWidths[] = {12, 7, 12, 11, 11, 9, 9, 6, 9};

QString tableRow(const QStringList &cells)
{
    QString row;
    for (int i = 0; i < cells.size(); ++i) {
        const QString cell = cells.at(i);
        // Names and times to the left, numbers to the right.
        row += (i == 0 || i == 2 || i == 7) ? cell.leftJustified(TableWidths[i]) : cell.rightJustified(TableWidths[i]);
        if (i + 1 < cells.size())
            row += QLatin1Char(' ');
    }
    return row.trimmed();
}

} // namespace

Setpoint ConvertSetpoint(double value, quint16 scale, quint16 limit, int decimals, const char *unit)
{
    Setpoint setpoint;
    setpoint.raw = ScaledSetpoint(value, scale, limit);
    const QString sent = FormatScaled(setpoint.raw, scale, decimals) + QLatin1Char(' ') + QLatin1String(unit);
    const QString given = PlainNumber(value) + QLatin1Char(' ') + QLatin1String(unit);
    const double product = value * scale;
    if (product > limit)
        setpoint.note = QStringLiteral("%1 is above the limit of %2; sending %2").arg(given, sent);
    else if (std::fabs(product - setpoint.raw) > 1e-6)
        setpoint.note = QStringLiteral("%1 is not a whole number of %2 %3 steps; sending %4")
                            .arg(given, FormatScaled(1, scale, decimals), QLatin1String(unit), sent);
    return setpoint;
}

QString FormatScaled(quint16 raw, quint16 scale, int decimals)
{
    return QString::number(ScaledReading(raw, scale), 'f', decimals);
}

QString PlainNumber(double value)
{
    return QString::number(value, 'g', 12);
}

QString ReadingHeader(ReadingFormat format)
{
    QStringList keys;
    for (const char *key : Keys)
        keys << QLatin1String(key);
    switch (format) {
    case ReadingFormat::Csv:
        return keys.join(QLatin1Char(','));
    case ReadingFormat::Table:
        return tableRow(keys);
    case ReadingFormat::Json:
        break;
    }
    return QString();
}

QString FormatReading(const StatusSample &reading, ReadingFormat format)
{
    QStringList cells = fields(reading);
    switch (format) {
    case ReadingFormat::Csv:
        return cells.join(QLatin1Char(','));
    case ReadingFormat::Table:
        cells[0] = reading.time.toString(QStringLiteral("HH:mm:ss.zzz"));
        return tableRow(cells);
    case ReadingFormat::Json:
        break;
    }
    // Decimals go in as JSON numbers with the model's resolution; the time,
    // the model and the output state are strings.
    QStringList members;
    for (int i = 0; i < cells.size(); ++i) {
        const bool text = i == 0 || i == 2 || i == 7;
        members << QStringLiteral("\"%1\":%2").arg(QLatin1String(Keys[i]),
                                                  text ? QLatin1Char('"') + cells.at(i) + QLatin1Char('"') : cells.at(i));
    }
    return QLatin1Char('{') + members.join(QLatin1Char(',')) + QLatin1Char('}');
}
