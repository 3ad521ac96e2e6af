#include "link/readingformat.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace {

const char *const Keys[] = {"time", "address", "model", "voltage_set", "current_set",
                            "voltage", "current", "output", "power"};

QStringList fields(const Reading &reading)
{
    const ReadingModel &model = reading.model;
    return {
        IsoTime(reading.time),
        QString::number(reading.address),
        model.name,
        model.volt.text(reading.voltageSetpoint),
        model.amp.text(reading.currentSetpoint),
        model.volt.text(reading.volts),
        model.amp.text(reading.amps),
        reading.outputOn ? QStringLiteral("on") : QStringLiteral("off"),
        // A power that was not read stays empty: no reading is not 0 W.
        reading.watts ? WattResolution.text(*reading.watts) : QString(),
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

QString IsoTime(const QDateTime &time)
{
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
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

QString FormatReading(const Reading &reading, ReadingFormat format)
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
    // Decimals go in as JSON numbers of the model's resolution (the shortest
    // form that reads back the same: 12.5 for 12.50); the time, the model and
    // the output state are strings; a power not read is null.
    const auto number = [](const QString &cell) { return cell.isEmpty() ? QJsonValue() : QJsonValue(cell.toDouble()); };
    QJsonObject object;
    for (int i = 0; i < cells.size(); ++i) {
        const bool text = i == 0 || i == 2 || i == 7;
        object.insert(QLatin1String(Keys[i]), text ? QJsonValue(cells.at(i)) : number(cells.at(i)));
    }
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
