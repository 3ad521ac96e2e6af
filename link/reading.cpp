#include "link/reading.h"

#include "link/modelcatalogue.h"

const Resolution WattResolution{PowerScale, PowerDecimals};

QString Resolution::text(double units) const
{
    return QString::number(units, 'f', decimals);
}

ReadingModel::ReadingModel(const ModelEntry *entry)
{
    if (!entry)
        return;
    name = QLatin1String(entry->caption);
    volt = {entry->voltageScale, entry->voltageDecimals};
    amp = {entry->currentScale, entry->currentDecimals};
}

ReadingModel ReadingModel::Active()
{
    ReadingModel model;
    model.name = ModelName;
    model.volt = {VoltageScale, VoltageDecimals};
    model.amp = {CurrentScale, CurrentDecimals};
    return model;
}

Reading DecodeReading(const StatusBlock &block, const ReadingModel &model, int address, const QDateTime &time,
                      std::optional<quint16> power, int replyAddress)
{
    Reading reading;
    reading.time = time;
    reading.address = address;
    reading.replyAddress = replyAddress;
    reading.model = model;
    reading.counts = block;
    reading.voltageSetpoint = model.volt.units(block.voltageSetpoint);
    reading.currentSetpoint = model.amp.units(block.currentSetpoint);
    reading.volts = model.volt.units(block.outputVoltage);
    reading.amps = model.amp.units(block.outputCurrent);
    reading.outputOn = block.outputOn;
    if (power)
        reading.watts = WattResolution.units(*power);
    return reading;
}

Reading Rescaled(const Reading &reading, const ReadingModel &model)
{
    Reading again = DecodeReading(reading.counts, model, reading.address, reading.time, std::nullopt,
                                  reading.replyAddress);
    again.watts = reading.watts;
    return again;
}
