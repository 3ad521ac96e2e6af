#include "link/readingformat.h"

#include "link/modelcatalogue.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace {

const char *const Keys[] = {"time", "address", "model", "voltage_set", "current_set",
                            "voltage", "current", "output", "power"};

QStringList fields(const StatusSample &reading)
{
    const SampleModel &model = reading.model;
    return {
        IsoTime(reading.time),
        QString::number(reading.address),
        model.name,
        FormatScaled(reading.status.voltageSetpoint, model.voltageScale, model.voltageDecimals),
        FormatScaled(reading.status.currentSetpoint, model.currentScale, model.currentDecimals),
        FormatScaled(reading.status.outputVoltage, model.voltageScale, model.voltageDecimals),
        FormatScaled(reading.status.outputCurrent, model.currentScale, model.currentDecimals),
        reading.status.outputOn ? QStringLiteral("on") : QStringLiteral("off"),
        // A power that was not read stays empty: no reading is not 0 W.
        reading.power ? FormatScaled(*reading.power, PowerScale, PowerDecimals) : QString(),
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

SampleModel::SampleModel(const ModelEntry *entry)
{
    if (!entry)
        return;
    name = QLatin1String(entry->caption);
    voltageScale = entry->voltageScale;
    currentScale = entry->currentScale;
    voltageDecimals = entry->voltageDecimals;
    currentDecimals = entry->currentDecimals;
}

SampleModel SampleModel::Active()
{
    SampleModel model;
    model.name = ModelName;
    model.voltageScale = VoltageScale;
    model.currentScale = CurrentScale;
    model.voltageDecimals = VoltageDecimals;
    model.currentDecimals = CurrentDecimals;
    return model;
}

double StatusSample::voltageSetpoint() const
{
    return ScaledReading(status.voltageSetpoint, model.voltageScale);
}

double StatusSample::currentSetpoint() const
{
    return ScaledReading(status.currentSetpoint, model.currentScale);
}

double StatusSample::outputVoltage() const
{
    return ScaledReading(status.outputVoltage, model.voltageScale);
}

double StatusSample::outputCurrent() const
{
    return ScaledReading(status.outputCurrent, model.currentScale);
}

std::optional<double> StatusSample::watts() const
{
    if (!power)
        return std::nullopt;
    return ScaledReading(*power, PowerScale);
}

QString IsoTime(const QDateTime &time)
{
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QString FormatScaled(quint16 raw, quint16 scale, int decimals)
{
    return QString::number(ScaledReading(raw, scale), 'f', decimals);
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
