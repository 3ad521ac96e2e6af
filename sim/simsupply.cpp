#include "sim/simsupply.h"

#include "link/frames.h"

#include <QtGlobal>
#include <cmath>

namespace {

constexpr int kRegisterCount = SimSupply::LastRegister - SimSupply::FirstRegister + 1;
// Largest quantities one request may carry in RTU (256-byte frames).
constexpr int kMaxReadQuantity = 125;
constexpr int kMaxWriteQuantity = 123;
constexpr int kHighestSlaveAddress = 247;

quint16 clampWord(double value)
{
    if (!(value > 0.0))
        return 0;
    if (value >= 65535.0)
        return 65535;
    return quint16(std::lround(value));
}

// Protection limits start a tenth above the model's largest setpoint, so that
// a supply fresh from the box never trips at a setpoint the tool can send.
quint16 defaultLimit(quint16 largestSetpoint)
{
    return quint16(qMin(65535, largestSetpoint + largestSetpoint / 10));
}

// A correction code carries a signed count: 0..base is +n, base+1..2*base is -(code-base).
int signedCorrection(int code, int base)
{
    return code <= base ? code : -(code - base);
}

void appendWord(QByteArray &bytes, quint16 word)
{
    bytes.append(char(word >> 8));
    bytes.append(char(word & 0xFF));
}

QByteArray exceptionPdu(quint8 function, quint8 code)
{
    QByteArray pdu;
    pdu.append(char(function | 0x80));
    pdu.append(char(code));
    return pdu;
}

} // namespace

SimSupply::SimSupply(int address, int modelItem)
    : m_address(address & 0xFF),
      m_modelItem(qBound(1, modelItem, ModelCount)),
      m_noiseState(0x9E3779B9u ^ quint32(address * 2654435761u)),
      m_spare(kRegisterCount, 0)
{
    m_overVoltageLimit = defaultLimit(model().voltageLimit);
    m_overCurrentLimit = defaultLimit(model().currentLimit);
}

void SimSupply::setLoadOhms(double ohms)
{
    m_loadOhms = ohms < 0.0 ? 0.0 : ohms;
    settle();
}

// The voltage the supply sets and believes it puts out: the setpoint moved by
// the correction code's steps.
double SimSupply::correctedVolts() const
{
    const double step = m_faults.voltageCorrectionStep != 0.0 ? m_faults.voltageCorrectionStep
                                                               : 1.0 / model().voltageScale;
    return qMax(0.0, m_voltageSetpoint / double(model().voltageScale) + signedCorrection(m_voltageCorrection, 10) * step);
}

double SimSupply::correctedAmps() const
{
    const double step = m_faults.currentCorrectionStep != 0.0 ? m_faults.currentCorrectionStep
                                                               : 1.0 / model().currentScale;
    return qMax(0.0, m_currentSetpoint / double(model().currentScale) + signedCorrection(m_currentCorrection, 100) * step);
}

// What the terminals carry in current limit: the corrected setpoint with the
// current sense's gain and offset error.
double SimSupply::terminalAmps() const
{
    return qMax(0.0, correctedAmps() * (1.0 + m_faults.outputCurrentGain) + m_faults.outputOffsetAmps);
}

// What the terminals carry in constant voltage: the corrected setpoint with
// the output's own gain and offset error.
double SimSupply::terminalVolts() const
{
    return qMax(0.0, correctedVolts() * (1.0 + m_faults.outputGain) + m_faults.outputOffsetVolts);
}

// The voltage at which the load takes exactly the power setpoint (P = V^2 / R);
// unlimited while power control is off or the load takes no power at any voltage.
double SimSupply::powerLimitVolts() const
{
    if (!m_powerControl)
        return OpenCircuit;
    if (!m_pidRunning)
        return m_heldPowerVolts < 0.0 ? OpenCircuit : m_heldPowerVolts;
    if (std::isinf(m_loadOhms) || m_loadOhms <= 0.0)
        return OpenCircuit;
    return std::sqrt(m_powerSetpoint / 100.0 * m_loadOhms);
}

SimSupply::Mode SimSupply::mode() const
{
    if (!m_outputOn)
        return Mode::Off;
    const double setVolts = correctedVolts();
    const double limitVolts = qMin(setVolts, powerLimitVolts());
    if (m_loadOhms <= 0.0)
        return Mode::ConstantCurrent;
    if (!std::isinf(m_loadOhms) && limitVolts / m_loadOhms > terminalAmps())
        return Mode::ConstantCurrent;
    return limitVolts < setVolts ? Mode::ConstantPower : Mode::ConstantVoltage;
}

double SimSupply::outputVolts() const
{
    switch (mode()) {
    case Mode::Off:
        return 0.0;
    case Mode::ConstantCurrent:
        return m_loadOhms <= 0.0 ? 0.0 : terminalAmps() * m_loadOhms;
    case Mode::ConstantVoltage:
        return sagged(terminalVolts());
    case Mode::ConstantPower:
        return sagged(powerLimitVolts());
    }
    return 0.0;
}

// What is left at the terminals of volts behind the sag fault's series
// resistance, with the load's current through both.
double SimSupply::sagged(double volts) const
{
    if (m_faults.sagOhms <= 0.0 || std::isinf(m_loadOhms))
        return volts;
    return volts * m_loadOhms / (m_loadOhms + m_faults.sagOhms);
}

double SimSupply::outputAmps() const
{
    switch (mode()) {
    case Mode::Off:
        return 0.0;
    case Mode::ConstantCurrent:
        return terminalAmps();
    case Mode::ConstantVoltage:
    case Mode::ConstantPower:
        return std::isinf(m_loadOhms) ? 0.0 : outputVolts() / m_loadOhms;
    }
    return 0.0;
}

quint16 SimSupply::voltageReading() const
{
    // The read-back shares the output's reference: in constant voltage it
    // reads what the supply believes it sets, whatever the terminals carry.
    double volts = mode() == Mode::ConstantVoltage ? sagged(correctedVolts()) : outputVolts();
    if (m_outputOn)
        volts += m_faults.readbackOffsetVolts;
    const double counts = volts * model().voltageScale;
    return clampWord(m_outputOn ? counts + m_faults.voltageOffsetCounts : counts);
}

quint16 SimSupply::currentReading() const
{
    // Read through the current sense: in current limit it reads the limit
    // the supply believes it holds, whatever the terminals carry.
    if (!m_outputOn)
        return 0;
    const double sensed = mode() == Mode::ConstantCurrent
                              ? correctedAmps()
                              : (outputAmps() - m_faults.outputOffsetAmps) / (1.0 + m_faults.outputCurrentGain);
    return clampWord((sensed + m_faults.readbackOffsetAmps) * model().currentScale);
}

quint16 SimSupply::powerReading() const
{
    const double volts = voltageReading() / double(model().voltageScale);
    const double amps = currentReading() / double(model().currentScale);
    return clampWord(volts * amps * 100.0);
}

// Trips the output when a reading exceeds its protection limit.
void SimSupply::settle()
{
    if (!m_outputOn || m_faults.neverTrips)
        return;
    if (voltageReading() > m_overVoltageLimit) {
        m_outputOn = false;
        m_trip = Trip::OverVoltage;
    } else if (currentReading() > m_overCurrentLimit) {
        m_outputOn = false;
        m_trip = Trip::OverCurrent;
    }
}

int SimSupply::noise()
{
    if (m_noiseCounts == 0)
        return 0;
    m_noiseState = m_noiseState * 1664525u + 1013904223u;
    return int((m_noiseState >> 16) % quint32(2 * m_noiseCounts + 1)) - m_noiseCounts;
}

quint16 SimSupply::registerValue(quint16 reg)
{
    switch (reg) {
    case VoltageSetpoint:
        return m_voltageSetpoint;
    case CurrentSetpoint:
        return m_currentSetpoint;
    case OutputVoltage: {
        const quint16 reading = voltageReading();
        return reading == 0 ? 0 : clampWord(reading + noise());
    }
    case OutputCurrent: {
        const quint16 reading = currentReading();
        return reading == 0 ? 0 : clampWord(reading + noise());
    }
    case OutputSwitch:
        return m_outputOn ? 1 : 0;
    case BusAddress:
        return quint16(m_address);
    case KeyLock:
        return m_keysLocked ? 1 : 0;
    case PowerSetpoint:
        return m_powerSetpoint;
    case OutputPower:
        return powerReading();
    case OverVoltageLimit:
        return m_overVoltageLimit;
    case OverCurrentLimit:
        return m_overCurrentLimit;
    case CurrentCorrection:
        return m_currentCorrection;
    case VoltageCorrection:
        return m_voltageCorrection;
    default:
        return m_spare.at(reg - FirstRegister);
    }
}

quint8 SimSupply::checkWrite(quint16 reg, quint16 value) const
{
    switch (reg) {
    case OutputVoltage:
    case OutputCurrent:
        return IllegalDataAddress; // measurements cannot be written
    case OutputSwitch:
    case KeyLock:
    case OutputPower:
        return value <= 1 ? 0 : IllegalDataValue;
    case BusAddress:
        return value >= 1 && value <= kHighestSlaveAddress ? 0 : IllegalDataValue;
    case CurrentCorrection:
        return value <= 200 ? 0 : IllegalDataValue;
    case VoltageCorrection:
        return value <= 20 ? 0 : IllegalDataValue;
    default:
        return 0;
    }
}

void SimSupply::applyWrite(quint16 reg, quint16 value)
{
    switch (reg) {
    case VoltageSetpoint:
        // A setpoint beyond the model's range is taken as the largest one.
        m_voltageSetpoint = qMin(value, model().voltageLimit);
        break;
    case CurrentSetpoint:
        m_currentSetpoint = qMin(value, model().currentLimit);
        break;
    case OutputSwitch:
        m_outputOn = value == 1 && !m_faults.outputStaysOff;
        if (m_outputOn)
            m_trip = Trip::None;
        break;
    case BusAddress:
        // The reply still goes out under the old address; the next request must use the new one.
        m_address = value;
        break;
    case KeyLock:
        m_keysLocked = value == 1;
        break;
    case PowerSetpoint:
        m_powerSetpoint = value;
        break;
    case OutputPower:
        // 0 starts the power regulator's PID loop, 1 stops it; a stopped loop
        // holds the voltage it had reached.
        if (value == 1 && m_pidRunning)
            m_heldPowerVolts = m_powerControl ? qMin(correctedVolts(), powerLimitVolts()) : -1.0;
        m_pidRunning = value == 0;
        break;
    case OverVoltageLimit:
        // The register doubles as the power-control switch: 1 starts power
        // control, 0 stops it; real limits are larger than 0.01 V and keep
        // their meaning.
        if (value <= 1)
            m_powerControl = value == 1;
        else
            m_overVoltageLimit = value;
        break;
    case OverCurrentLimit:
        m_overCurrentLimit = value;
        break;
    case CurrentCorrection:
        m_currentCorrection = quint8(value);
        break;
    case VoltageCorrection:
        m_voltageCorrection = quint8(value);
        break;
    default:
        m_spare[reg - FirstRegister] = value;
        break;
    }
}

quint8 SimSupply::readRegisters(quint16 start, int count, QVector<quint16> *values)
{
    if (count < 1 || count > kMaxReadQuantity)
        return IllegalDataValue;
    if (start < FirstRegister || start + count - 1 > LastRegister)
        return IllegalDataAddress;
    values->clear();
    for (int i = 0; i < count; ++i)
        values->append(registerValue(quint16(start + i)));
    return 0;
}

quint8 SimSupply::writeRegisters(quint16 start, const QVector<quint16> &values)
{
    const int count = values.size();
    if (count < 1 || count > kMaxWriteQuantity)
        return IllegalDataValue;
    if (start < FirstRegister || start + count - 1 > LastRegister)
        return IllegalDataAddress;
    for (int i = 0; i < count; ++i) {
        if (const quint8 code = checkWrite(quint16(start + i), values.at(i)))
            return code;
    }
    for (int i = 0; i < count; ++i)
        applyWrite(quint16(start + i), values.at(i));
    settle();
    return 0;
}

QByteArray SimSupply::handlePdu(const QByteArray &pdu)
{
    if (pdu.isEmpty())
        return QByteArray();
    const quint8 function = quint8(pdu.at(0));
    const auto word = [&pdu](int offset) { return RegisterAt(pdu, offset); };

    if (function == FunctionReadHolding) {
        if (pdu.size() != 5)
            return exceptionPdu(function, IllegalDataValue);
        QVector<quint16> values;
        if (const quint8 code = readRegisters(word(1), word(3), &values))
            return exceptionPdu(function, code);
        QByteArray reply;
        reply.append(char(function));
        reply.append(char(values.size() * 2));
        for (quint16 value : values)
            appendWord(reply, value);
        return reply;
    }

    if (function == FunctionWriteMultiple) {
        if (pdu.size() < 6)
            return exceptionPdu(function, IllegalDataValue);
        const quint16 start = word(1);
        const int count = word(3);
        const int byteCount = quint8(pdu.at(5));
        if (count < 1 || count > kMaxWriteQuantity || byteCount != 2 * count
            || pdu.size() != 6 + byteCount)
            return exceptionPdu(function, IllegalDataValue);
        QVector<quint16> values;
        for (int i = 0; i < count; ++i)
            values.append(word(6 + 2 * i));
        if (const quint8 code = writeRegisters(start, values))
            return exceptionPdu(function, code);
        QByteArray reply;
        reply.append(char(function));
        appendWord(reply, start);
        appendWord(reply, quint16(count));
        return reply;
    }

    return exceptionPdu(function, IllegalFunction);
}

bool SimSupply::frontPanelSetVoltage(quint16 raw)
{
    if (m_keysLocked)
        return false;
    applyWrite(VoltageSetpoint, raw);
    settle();
    return true;
}

bool SimSupply::frontPanelSetCurrent(quint16 raw)
{
    if (m_keysLocked)
        return false;
    applyWrite(CurrentSetpoint, raw);
    settle();
    return true;
}

bool SimSupply::frontPanelSwitchOutput(bool on)
{
    if (m_keysLocked)
        return false;
    applyWrite(OutputSwitch, on ? 1 : 0);
    settle();
    return true;
}

bool SimSupply::takeDrop()
{
    m_dropCredit += qBound(0.0, m_faults.dropShare, 1.0);
    if (m_dropCredit >= 1.0 - 1e-9) {
        m_dropCredit -= 1.0;
        return true;
    }
    return false;
}

bool SimSupply::takeCorrupt()
{
    m_corruptCredit += qBound(0.0, m_faults.corruptShare, 1.0);
    if (m_corruptCredit >= 1.0 - 1e-9) {
        m_corruptCredit -= 1.0;
        return true;
    }
    return false;
}
