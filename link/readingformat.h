#pragma once

#include "link/replies.h"

#include <QDateTime>
#include <QString>
#include <optional>

struct ModelEntry;

// What a reading needs to know of the model it was taken under: its name and
// how raw counts become volts and amperes. Before a model is chosen the
// scales are 0 and the reading has raw counts only.
struct SampleModel {
    QString name;
    quint16 voltageScale = 0;
    quint16 currentScale = 0;
    int voltageDecimals = 0;
    int currentDecimals = 0;

    SampleModel() = default;
    // A catalogue entry (nullptr: no model).
    SampleModel(const ModelEntry *entry); // NOLINT: a catalogue entry stands for its model
    // The model active now.
    static SampleModel Active();

    bool scaled() const { return voltageScale != 0 && currentScale != 0; }
};

// One status reading of a supply: when it was decoded, which address
// answered, under which model, the five status registers and the output power
// when it was read alongside (hundredths of a watt; empty when not read).
struct StatusSample {
    QDateTime time;
    int address = 0;
    SampleModel model;
    StatusBlock status = {};
    std::optional<quint16> power;
    // The address byte the reply itself carried (-1: not known). Not checked
    // by any CRC, so only a reading that agrees with address is sure to be
    // that supply's; one that differs is another supply's late answer.
    int replyAddress = -1;

    double voltageSetpoint() const;
    double currentSetpoint() const;
    double outputVoltage() const;
    double outputCurrent() const;
    std::optional<double> watts() const;
};

enum class ReadingFormat { Table, Csv, Json };

// A reading's time as psuctl and the recorder write it: ISO 8601 with
// milliseconds and the local offset from UTC ("2026-01-05T22:00:00.013+08:00").
QString IsoTime(const QDateTime &time);

// raw / scale with decimals places: "12.00", "1.500".
QString FormatScaled(quint16 raw, quint16 scale, int decimals);

// The line before the first reading (none for JSON), without newline.
QString ReadingHeader(ReadingFormat format);
// One reading on one line, without newline. The reading must be scaled.
QString FormatReading(const StatusSample &reading, ReadingFormat format);
