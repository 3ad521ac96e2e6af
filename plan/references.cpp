#include "plan/references.h"

#include "plan/planengine.h"
#include "plan/scpiclient.h"

// One link and what was last asked of the instrument on it, so that a reading
// does not configure or switch again what already is.
struct RunReferences::Link {
    explicit Link(const QString &link, double timeout) : client(link, timeout) {}
    ScpiClient client;
    QString configured; // the last configure command
    int channel = -1;   // the last channel closed
};

RunReferences::RunReferences(const StationFile &station, const QMap<QString, QString> &needed, const QDate &today,
                             bool allowExpired)
    : m_station(station)
{
    for (auto it = needed.cbegin(); it != needed.cend(); ++it) {
        const ReferenceInstrument *reference = m_station.find(it.key());
        if (!reference)
            throw SystemError(QStringLiteral("%1: the plan uses reference '%2', which the station does not declare")
                                  .arg(m_station.file, it.key()));
        if (QLatin1String(ReferenceKindName(reference->kind)) != it.value())
            throw SystemError(QStringLiteral("%1:%2:%3: reference '%4' is a %5; the plan uses it as a %6")
                                  .arg(m_station.file)
                                  .arg(reference->line)
                                  .arg(reference->column)
                                  .arg(it.key(), QLatin1String(ReferenceKindName(reference->kind)), it.value()));
    }
    for (const ReferenceInstrument &reference : m_station.references) {
        if (!needed.contains(reference.name) && reference.kind != ReferenceKind::Scanner)
            continue;
        const bool expired = reference.expiredOn(today);
        if (expired && !allowExpired)
            throw SystemError(QStringLiteral("%1:%2:%3: reference '%4' was due for calibration on %5 "
                                             "(--allow-expired runs with it all the same)")
                                  .arg(m_station.file)
                                  .arg(reference.line)
                                  .arg(reference.column)
                                  .arg(reference.name, reference.calibrationDue->toString(Qt::ISODate)));
        std::unique_ptr<Link> &link = m_links[reference.link];
        if (!link)
            link = std::make_unique<Link>(reference.link, reference.driver.timeoutSeconds);
        Open open{&reference, link.get(), -1};
        ReferenceUsed used;
        used.name = reference.name;
        used.kind = QLatin1String(ReferenceKindName(reference.kind));
        used.calibrationDue = reference.calibrationDue.value_or(QDate());
        used.expired = expired;
        used.link = reference.link;
        used.expiredAllowed = allowExpired;
        try {
            if (!link->client.isOpen())
                link->client.open();
            used.identity = link->client.query(reference.driver.command(ReferenceOperation::Identify)).trimmed();
            if (used.identity.isEmpty())
                throw SystemError(QStringLiteral("an empty answer to *IDN?"));
        } catch (const SystemError &error) {
            fault(open, error);
        }
        m_open.append(open);
        if (reference.driver.has(ReferenceOperation::Reset) && reference.kind != ReferenceKind::Scanner)
            send(m_open.last(), ReferenceOperation::Reset);
        m_used.append(used);
    }
}

RunReferences::~RunReferences() = default;

QVector<ReferenceUsed> DeclaredReferences(const StationFile &station, const QDate &today)
{
    QVector<ReferenceUsed> references;
    for (const ReferenceInstrument &instrument : station.references) {
        ReferenceUsed reference;
        reference.name = instrument.name;
        reference.kind = QLatin1String(ReferenceKindName(instrument.kind));
        reference.link = instrument.link;
        reference.calibrationDue = instrument.calibrationDue.value_or(QDate());
        reference.expired = instrument.expiredOn(today);
        references << reference;
    }
    return references;
}

RunReferences::Open &RunReferences::find(const QString &name)
{
    for (Open &open : m_open) {
        if (open.instrument->name == name)
            return open;
    }
    throw SystemError(QStringLiteral("no reference '%1' is open").arg(name));
}

const RunReferences::Open *RunReferences::find(const QString &name) const
{
    for (const Open &open : m_open) {
        if (open.instrument->name == name)
            return &open;
    }
    return nullptr;
}

void RunReferences::fault(const Open &reference, const SystemError &error) const
{
    throw SystemError(QStringLiteral("reference '%1': %2").arg(reference.instrument->name, error.text()));
}

// A command, and the error queue asked at once: an instrument that refused
// it says so now, not in a wrong reading later.
void RunReferences::send(Open &reference, ReferenceOperation operation, const QHash<QString, QString> &values)
{
    const ReferenceDriver &driver = reference.instrument->driver;
    const QString command = driver.command(operation, values);
    try {
        reference.link->client.write(command);
        reference.link->client.checkErrors(driver.command(ReferenceOperation::Error), command);
    } catch (const SystemError &error) {
        fault(reference, error);
    }
}

// Closes the channel of slot on reference when a scanner gives the slot one.
void RunReferences::route(Open &reference, const QString &slot)
{
    for (Open &scanner : m_open) {
        const auto channel = scanner.instrument->channels.constFind(slot);
        if (scanner.instrument->kind != ReferenceKind::Scanner || channel == scanner.instrument->channels.cend())
            continue;
        Open &through = reference.instrument->kind == ReferenceKind::Load ? reference : scanner;
        if (!through.instrument->driver.has(ReferenceOperation::SelectChannel) || through.link->channel == *channel)
            return;
        send(through, ReferenceOperation::SelectChannel, {{QStringLiteral("channel"), QString::number(*channel)}});
        through.link->channel = *channel;
        return;
    }
}

double RunReferences::read(const QString &meter, const QString &slot, const QString &function, double expected,
                           double nplc, AccuracyLimits &accuracy)
{
    Open &reference = find(meter);
    const ReferenceDriver &driver = reference.instrument->driver;
    const RangeAccuracy *range = driver.rangeFor(function, expected);
    if (!range)
        throw SystemError(QStringLiteral("reference '%1': no %2 range holds %3")
                              .arg(meter, function, QString::number(expected, 'g', 6)));
    accuracy = range->limits;
    route(reference, slot);
    const ReferenceOperation operation =
        function == QLatin1String("amperes") ? ReferenceOperation::ConfigureAmps : ReferenceOperation::ConfigureVolts;
    const QHash<QString, QString> values{{QStringLiteral("range"), QString::number(range->limits.range, 'g', 10)},
                                         {QStringLiteral("nplc"), QString::number(nplc, 'g', 6)}};
    const QString configure = driver.command(operation, values);
    if (reference.link->configured != configure) {
        reference.link->configured.clear();
        send(reference, operation, values);
        reference.link->configured = configure;
    }
    try {
        return reference.link->client.queryNumber(driver.command(ReferenceOperation::Read));
    } catch (const SystemError &error) {
        reference.link->configured.clear();
        fault(reference, error);
    }
}

bool RunReferences::loadHeldByOther(const QString &load, int slot) const
{
    const Open *reference = find(load);
    return reference && reference->holder >= 0 && reference->holder != slot;
}

double RunReferences::setLoad(const QString &load, int slot, const QString &slotName, double amps)
{
    Open &reference = find(load);
    reference.holder = slot;
    route(reference, slotName);
    send(reference, ReferenceOperation::LoadCurrent, {{QStringLiteral("amps"), QString::number(amps, 'g', 10)}});
    send(reference, ReferenceOperation::LoadOn);
    return reference.instrument->driver.settleSeconds;
}

void RunReferences::loadOff(const QString &load)
{
    Open &reference = find(load);
    send(reference, ReferenceOperation::LoadOff);
    reference.holder = -1;
}

void RunReferences::releaseLoads(int slot)
{
    for (Open &reference : m_open) {
        if (reference.holder == slot) {
            reference.holder = -1; // free even when the load no longer answers
            send(reference, ReferenceOperation::LoadOff);
        }
    }
}
