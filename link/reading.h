#pragma once

#include "link/replies.h"

#include <QDateTime>
#include <QString>
#include <optional>

struct ModelEntry;

// How one quantity's register counts become units, and how many decimals its
// values show. The one place where a value becomes text: "12.00", "1.500".
struct Resolution {
    quint16 countsPerUnit = 0;
    int decimals = 0;

    bool scaled() const { return countsPerUnit != 0; }
    // counts / countsPerUnit; 0 while unscaled.
    double units(quint16 counts) const { return scaled() ? double(counts) / double(countsPerUnit) : 0.0; }
    // A value in units with the resolution's decimals.
    QString text(double units) const;
    // A count of register steps shown in units (a limit, one step).
    QString countsText(quint16 counts) const { return text(units(counts)); }
};

// Power is the same on every model: hundredths of a watt.
extern const Resolution WattResolution;

// What a reading needs to know of the model it was taken under: its name and
// the resolution of its volts and amperes. Before a model is chosen both are
// unscaled and a reading has raw counts only.
struct ReadingModel {
    QString name;
    Resolution volt;
    Resolution amp;

    ReadingModel() = default;
    // A catalogue entry (nullptr: no model).
    ReadingModel(const ModelEntry *entry); // NOLINT: a catalogue entry stands for its model
    // The model active now.
    static ReadingModel Active();

    bool scaled() const { return volt.scaled() && amp.scaled(); }
};

// One status reading of a supply in units, decoded once: when it was taken,
// which address was polled, under which model, the four values and the
// output state, and the output power when it was read alongside (empty when
// not read: no reading is not 0 W).
struct Reading {
    QDateTime time;
    int address = 0;
    // The address byte the reply itself carried (-1: not known). Not checked
    // by any CRC, so only a reading that agrees with address is sure to be
    // that supply's; one that differs is another supply's late answer.
    int replyAddress = -1;
    ReadingModel model;
    double voltageSetpoint = 0;
    double currentSetpoint = 0;
    double volts = 0;
    double amps = 0;
    std::optional<double> watts;
    bool outputOn = false;
    // The registers as read: the trend and the overview scale them again
    // under the model of the supply that answered, which may not be the
    // active one.
    StatusBlock counts = {};
};

// The one decoding of a status block (and the power register, in hundredths
// of a watt, when it was read) into a reading.
Reading DecodeReading(const StatusBlock &block, const ReadingModel &model, int address, const QDateTime &time,
                      std::optional<quint16> power = std::nullopt, int replyAddress = -1);

// The same reading taken as model's: the registers scaled again, the power kept.
Reading Rescaled(const Reading &reading, const ReadingModel &model);
