#include "ctl/scpiinstrument.h"

#include "ctl/ctlerror.h"
#include "link/buserror.h"
#include "link/reading.h"
#include "ctl/service.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/setwrites.h"

#include <cmath>

namespace {

// The bits of the standard event status register (ESR) that errors set.
constexpr quint8 OperationComplete = 0x01;
constexpr quint8 QueryErrorBit = 0x04;
constexpr quint8 DeviceErrorBit = 0x08;
constexpr quint8 ExecutionErrorBit = 0x10;
constexpr quint8 CommandErrorBit = 0x20;
// And of the status byte (STB).
constexpr quint8 ErrorAvailable = 0x04;
constexpr quint8 MessageAvailable = 0x10;
constexpr quint8 EventSummary = 0x20;
constexpr quint8 RequestService = 0x40;

quint8 esrBitOf(int error)
{
    return error <= -100 && error > -200   ? CommandErrorBit
           : error <= -200 && error > -300 ? ExecutionErrorBit
           : error <= -300 && error > -400 ? DeviceErrorBit
                                           : QueryErrorBit;
}

bool isSetpoint(ScpiHeader header)
{
    return header == ScpiHeader::Voltage || header == ScpiHeader::Current || header == ScpiHeader::VoltageProtection
           || header == ScpiHeader::CurrentProtection;
}

// A setpoint's name as set and the model's ranges know it.
QString valueName(ScpiHeader header)
{
    switch (header) {
    case ScpiHeader::Voltage: return QStringLiteral("voltage");
    case ScpiHeader::Current: return QStringLiteral("current");
    case ScpiHeader::VoltageProtection: return QStringLiteral("ovp");
    default: return QStringLiteral("ocp");
    }
}

// The register a query reads and the resolution of its value.
struct RegisterValue {
    quint16 reg;
    Resolution resolution;
};

RegisterValue readingOf(ScpiHeader header, const ModelEntry &m)
{
    const ReadingModel model(&m);
    switch (header) {
    case ScpiHeader::Voltage: return {VoltageSetpoint, model.volt};
    case ScpiHeader::Current: return {CurrentSetpoint, model.amp};
    case ScpiHeader::VoltageProtection: return {OverVoltageLimit, model.volt};
    case ScpiHeader::CurrentProtection: return {OverCurrentLimit, model.amp};
    case ScpiHeader::MeasureVoltage: return {OutputVoltage, model.volt};
    case ScpiHeader::MeasureCurrent: return {OutputCurrent, model.amp};
    default: return {OutputPower, WattResolution};
    }
}

} // namespace

ScpiSession::ScpiSession(const ScpiSupply &supply) : m_supply(supply)
{
}

bool ScpiSession::usesLine(const ScpiCommand &command)
{
    if (command.error)
        return false;
    switch (command.header) {
    case ScpiHeader::Rst: case ScpiHeader::Tst: case ScpiHeader::Output: case ScpiHeader::MeasureVoltage:
    case ScpiHeader::MeasureCurrent: case ScpiHeader::MeasurePower: case ScpiHeader::SystemRemote:
    case ScpiHeader::SystemLocal:
        return true;
    default:
        // A setpoint's bounds are the model's; its value is the supply's.
        return isSetpoint(command.header) && (!command.query || command.value.kind == ScpiValue::None);
    }
}

QString ScpiSession::entryText(int error, const QString &detail)
{
    QString text = ScpiErrorText(error);
    if (!detail.isEmpty())
        text += QLatin1Char(';') + QString(detail).replace(QLatin1Char('"'), QLatin1Char('\''));
    return QStringLiteral("%1,\"%2\"").arg(error).arg(text.left(240));
}

void ScpiSession::queueError(int error, const QString &detail)
{
    m_esr |= esrBitOf(error);
    m_lastError = entryText(error, detail);
    if (int(m_queue.size()) < QueueLength) {
        m_queue.push_back({error, detail});
    } else if (m_queue.back().error != QueueOverflow) {
        m_queue.back() = {QueueOverflow, QString()};
        m_esr |= esrBitOf(QueueOverflow);
    }
}

QString ScpiSession::number(double value, int decimals) const
{
    return QString::number(value, 'f', decimals);
}

quint8 ScpiSession::statusByte(bool answerWaiting) const
{
    quint8 stb = 0;
    if (!m_queue.empty())
        stb |= ErrorAvailable;
    if (answerWaiting)
        stb |= MessageAvailable;
    if (m_esr & m_ese)
        stb |= EventSummary;
    if (stb & m_sre)
        stb |= RequestService;
    return stb;
}

int ScpiSession::execute(const ScpiCommand &command, PortKeeper &port, QStringList &answers)
{
    ++m_tally.commands;
    int error = command.error;
    QString detail = command.detail;
    const ModelEntry &model = *m_supply.model;
    const auto registerValue = [&](quint8 *target, quint8 mask) {
        const double value = std::round(command.value.number);
        if (!(value >= 0 && value <= 255))
            error = DataOutOfRange;
        else
            *target = quint8(value) & mask;
    };
    if (error) {
    } else if (isSetpoint(command.header) && !command.query
               && !(detail = RangeRefusal(valueName(command.header), targetValue(command), &model)).isEmpty()) {
        // Refused before the line is asked: nothing is sent for it.
        error = DataOutOfRange;
    } else if (usesLine(command)) {
        ++m_tally.onLine;
        RtuMaster *master = port.ready();
        try {
            if (!master)
                throw BusError(BusError::Kind::PortLost, QStringLiteral("the port is lost"));
            onLine(command, *master, answers);
        } catch (const BusError &failure) {
            if (failure.isPortFailure() && master)
                port.lost(failure.text());
            // A silent supply is the instrument's hardware failing to answer.
            error = failure.kind() == BusError::Kind::Timeout ? HardwareError : ExecutionError;
            detail = failure.text();
            if (command.header == ScpiHeader::Tst) {
                answers << QStringLiteral("1");
                error = 0;
            }
        }
    } else if (isSetpoint(command.header)) {
        answers << number(targetValue(command), readingOf(command.header, model).resolution.decimals);
    } else {
        switch (command.header) {
        case ScpiHeader::Cls:
            m_queue.clear();
            m_esr = 0;
            break;
        case ScpiHeader::Ese:
            if (command.query)
                answers << QString::number(m_ese);
            else
                registerValue(&m_ese, 0xFF);
            break;
        case ScpiHeader::Sre:
            // Bit 6 of the enable is not used: it would summarise itself.
            if (command.query)
                answers << QString::number(m_sre);
            else
                registerValue(&m_sre, quint8(~RequestService));
            break;
        case ScpiHeader::Esr:
            answers << QString::number(m_esr);
            m_esr = 0;
            break;
        case ScpiHeader::Idn:
            answers << QStringLiteral("%1,%2,%3,%4")
                           .arg(m_supply.manufacturer, QLatin1String(model.caption),
                                m_supply.serial.isEmpty() ? QString::number(m_supply.address) : m_supply.serial,
                                QStringLiteral(PSUCTL_VERSION));
            break;
        case ScpiHeader::Opc:
            // Every command is done when the next is read: operation complete at once.
            if (command.query)
                answers << QStringLiteral("1");
            else
                m_esr |= OperationComplete;
            break;
        case ScpiHeader::Stb:
            answers << QString::number(statusByte(!answers.isEmpty()));
            break;
        case ScpiHeader::SystemError:
            if (m_queue.empty()) {
                answers << entryText(0, QString());
            } else {
                answers << entryText(m_queue.front().error, m_queue.front().detail);
                m_queue.pop_front();
            }
            break;
        case ScpiHeader::SystemErrorCount:
            answers << QString::number(m_queue.size());
            break;
        case ScpiHeader::SystemVersion:
            answers << QStringLiteral("1999.0");
            break;
        default: // *WAI: nothing is ever pending
            break;
        }
    }
    if (error) {
        ++m_tally.refused;
        queueError(error, detail);
    }
    return error;
}

void ScpiSession::onLine(const ScpiCommand &command, RtuMaster &master, QStringList &answers)
{
    const ModelEntry &model = *m_supply.model;
    const int address = m_supply.address;
    if (!command.query)
        return setValue(command, master);
    if (command.header == ScpiHeader::Tst) {
        master.read(address, VoltageSetpoint, 1);
        answers << QStringLiteral("0");
    } else if (command.header == ScpiHeader::Output) {
        answers << QString::number(master.read(address, OutputSwitch, 1).at(0) & 0xFF ? 1 : 0);
    } else {
        const RegisterValue value = readingOf(command.header, model);
        answers << number(value.resolution.units(master.read(address, value.reg, 1).at(0)), value.resolution.decimals);
    }
}

double ScpiSession::targetValue(const ScpiCommand &command) const
{
    const ValueRange range = SetValueRange(valueName(command.header), m_supply.model);
    const bool protection =
        command.header == ScpiHeader::VoltageProtection || command.header == ScpiHeader::CurrentProtection;
    switch (command.value.kind) {
    case ScpiValue::Minimum: return range.low;
    case ScpiValue::Maximum: return range.high;
    case ScpiValue::Number: return command.value.number;
    default: return protection ? range.high : 0.0; // DEF, and the query's plain bound
    }
}

void ScpiSession::setValue(const ScpiCommand &command, RtuMaster &master)
{
    SetValues values;
    switch (command.header) {
    case ScpiHeader::Rst:
        values.output = false;
        values.voltage = 0.0;
        values.current = 0.0;
        break;
    case ScpiHeader::Output:
        values.output = command.value.kind == ScpiValue::On;
        break;
    case ScpiHeader::SystemRemote:
    case ScpiHeader::SystemLocal:
        values.lock = command.header == ScpiHeader::SystemRemote;
        break;
    case ScpiHeader::Voltage: values.voltage = targetValue(command); break;
    case ScpiHeader::Current: values.current = targetValue(command); break;
    case ScpiHeader::VoltageProtection: values.ovp = targetValue(command); break;
    default: values.ocp = targetValue(command); break;
    }
    for (const SetWrite &write : PlanSet(values, m_supply.model).writes)
        master.write(m_supply.address, write.reg, {write.value});
}
