#pragma once

#include "link/modelcatalogue.h"

#include <QByteArray>
#include <QVector>
#include <limits>

// What a simulated supply can be told to do wrong on the line. Shares are
// spread evenly rather than drawn at random: a share of 0.25 spoils exactly
// every fourth reply, so tests see the same sequence every run.
struct SimFaults {
    double dropShare = 0.0;     // replies not sent at all, 0..1
    double corruptShare = 0.0;  // replies sent with the CRC's low byte inverted, 0..1
    int delayMs = 0;            // extra silence before the reply starts
    int splitAt = 0;            // > 0: the reply goes out in two parts, the first splitAt bytes long
    int splitPauseMs = 0;       // silence between the two parts
    QByteArray strayBefore;     // bytes put on the line right before the reply
    QByteArray strayAfter;      // bytes put on the line right after the reply
    int floodBytes = 0;         // > 0: instead of the reply, this many bytes of line noise
    bool outputStaysOff = false; // switching the output on is acknowledged, but it stays off
    // Faults of the supply itself rather than of its line, for test plans to catch:
    int voltageOffsetCounts = 0; // a calibration offset: the measured voltage reads this many counts off while on
    double sagOhms = 0.0;        // an output that sags under load: this resistance in series with the terminals
    bool neverTrips = false;     // over-voltage and over-current limits never switch the output off
    // Errors of the output against a reference instrument. The supply's own
    // read-back measures against the same internal reference as its output,
    // so an output offset or gain error does not show in it: only a meter on
    // the terminals sees them. A read-back offset is the read-back's own.
    double outputOffsetVolts = 0.0;   // the terminals are this far off while on
    double outputGain = 0.0;          // ... and this fraction of the setpoint (0.001: +0.1 %)
    double readbackOffsetVolts = 0.0; // the read-back is this far off the terminals while on
    // The same for the current: the regulator and the read-back share the
    // current sense, so in current limit the terminals carry the limit with
    // these errors while the read-back shows the limit itself.
    double outputOffsetAmps = 0.0;    // the current sense is this far off
    double outputCurrentGain = 0.0;   // ... and this fraction of the current
    double readbackOffsetAmps = 0.0;  // the read-back current is this far off the sense while on
    // What one step of a correction code moves the output by (signed); 0:
    // one count of the model's resolution.
    double voltageCorrectionStep = 0.0; // volts
    double currentCorrectionStep = 0.0; // amperes
};

// One bench supply of a catalogue model behind its Modbus slave interface.
// A value type with no I/O: the bus hands it request PDUs and puts its answers
// on the line. Electrical model: the output feeds a resistive load; it holds the
// voltage setpoint (constant voltage) until the load would draw more than the
// current setpoint, then holds the current (constant current); with power
// control on it also keeps V x I at the power setpoint (constant power).
class SimSupply
{
public:
    enum class Mode { Off, ConstantVoltage, ConstantCurrent, ConstantPower };
    enum class Trip { None, OverVoltage, OverCurrent };

    // First and last register of the map; anything outside answers exception 02.
    static constexpr quint16 FirstRegister = 0x1000;
    static constexpr quint16 LastRegister = 0x101A;

    static constexpr quint8 IllegalFunction = 0x01;
    static constexpr quint8 IllegalDataAddress = 0x02;
    static constexpr quint8 IllegalDataValue = 0x03;

    static constexpr double OpenCircuit = std::numeric_limits<double>::infinity();

    // modelItem counts from 1, as in the tool's model menu.
    SimSupply(int address, int modelItem);

    int address() const { return m_address; }
    int modelItem() const { return m_modelItem; }
    const ModelEntry &model() const { return ModelCatalogue[size_t(m_modelItem - 1)]; }

    // The load on the output terminals in ohms: 0 is a short, OpenCircuit none.
    void setLoadOhms(double ohms);
    double loadOhms() const { return m_loadOhms; }

    // Measurement noise: each reading of voltage or current is off by up to
    // this many counts of the model's resolution (0: exact readings).
    void setNoiseCounts(int counts) { m_noiseCounts = qMax(0, counts); }
    int noiseCounts() const { return m_noiseCounts; }

    SimFaults &faults() { return m_faults; }
    const SimFaults &faults() const { return m_faults; }

    // Register contents, raw as on the wire.
    quint16 voltageSetpoint() const { return m_voltageSetpoint; }
    quint16 currentSetpoint() const { return m_currentSetpoint; }
    quint16 overVoltageLimit() const { return m_overVoltageLimit; }
    quint16 overCurrentLimit() const { return m_overCurrentLimit; }
    quint16 powerSetpoint() const { return m_powerSetpoint; }
    quint8 voltageCorrectionCode() const { return m_voltageCorrection; }
    quint8 currentCorrectionCode() const { return m_currentCorrection; }
    bool outputOn() const { return m_outputOn; }
    bool keysLocked() const { return m_keysLocked; }
    bool powerControlOn() const { return m_powerControl; }
    bool pidRunning() const { return m_pidRunning; }
    Trip lastTrip() const { return m_trip; }
    Mode mode() const;

    // Output values without noise, in volts, amperes and watts.
    double outputVolts() const;
    double outputAmps() const;
    // Readings as the registers give them, noise excluded: counts of the
    // model's resolution, and 0.01 W for the power.
    quint16 voltageReading() const;
    quint16 currentReading() const;
    quint16 powerReading() const;

    // The Modbus slave: takes a request PDU (function code and data, without
    // address and CRC) and returns the reply PDU, an exception PDU
    // (function | 0x80, code) included. A broadcast request is carried out the same way;
    // the caller does not send its reply.
    QByteArray handlePdu(const QByteArray &pdu);

    // Register access as the bus sees it; returns 0 or the exception code.
    // A write is checked whole before any register changes.
    quint8 readRegisters(quint16 start, int count, QVector<quint16> *values);
    quint8 writeRegisters(quint16 start, const QVector<quint16> &values);

    // The front panel: refused (false) while the keys are locked over the bus.
    bool frontPanelSetVoltage(quint16 raw);
    bool frontPanelSetCurrent(quint16 raw);
    bool frontPanelSwitchOutput(bool on);

    // The fate of the next reply, taken from the fault shares (advances them).
    bool takeDrop();
    bool takeCorrupt();

private:
    quint16 registerValue(quint16 reg);
    quint8 checkWrite(quint16 reg, quint16 value) const;
    void applyWrite(quint16 reg, quint16 value);
    void settle();
    double correctedVolts() const;
    double terminalVolts() const;
    double correctedAmps() const;
    double terminalAmps() const;
    double powerLimitVolts() const;
    double sagged(double volts) const;
    int noise();

    int m_address;
    int m_modelItem;
    double m_loadOhms = OpenCircuit;
    int m_noiseCounts = 0;
    quint32 m_noiseState;
    SimFaults m_faults;
    double m_dropCredit = 0.0;
    double m_corruptCredit = 0.0;

    quint16 m_voltageSetpoint = 0;
    quint16 m_currentSetpoint = 0;
    quint16 m_overVoltageLimit;
    quint16 m_overCurrentLimit;
    quint16 m_powerSetpoint = 0;
    quint8 m_voltageCorrection = 0;
    quint8 m_currentCorrection = 0;
    bool m_outputOn = false;
    bool m_keysLocked = false;
    bool m_powerControl = false;
    bool m_pidRunning = true;
    // The power regulator's output voltage, held while the PID is stopped.
    double m_heldPowerVolts = -1.0;
    Trip m_trip = Trip::None;
    // Registers of the block without a function of their own keep what is written.
    QVector<quint16> m_spare;
};
