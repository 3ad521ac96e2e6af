#include "plan/autocal.h"
#include "plan/historydb.h"

#include "link/buserror.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "master/rtumaster.h"
#include "plan/judging.h"
#include "plan/scpiclient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

namespace {

// Ended by abort(): the work stops between two operations.
class CalibrationAborted : public SystemError
{
public:
    CalibrationAborted() : SystemError(QStringLiteral("stopped by the operator or a signal")) {}
};

// How far the trial moves the correction from the as-found one: half the
// codes' range, so that even a small step moves the output well clear of the
// meter's noise.
int TrialCorrection(int found, int base)
{
    const int reach = base / 2;
    return found + reach <= base ? found + reach : found - reach;
}

// The load demands this share of the current limit more than each setting,
// so that the supply holds its current in limit whatever a trial correction
// does to it.
constexpr double LoadMargin = 0.2;

QVector<double> ErrorsOf(const QVector<CalibrationPoint> &sweep)
{
    QVector<double> errors;
    for (const CalibrationPoint &point : sweep)
        errors.append(point.error);
    return errors;
}

// The mean error of a sweep; none for a sweep not measured.
std::optional<double> MeanError(const QVector<CalibrationPoint> &sweep)
{
    return sweep.isEmpty() ? std::nullopt : std::optional<double>(Summarize(ErrorsOf(sweep), Statistic::Mean));
}

} // namespace

const CalibratedTraits &TraitsOf(CalibratedQuantity quantity)
{
    static const CalibratedTraits voltage{"voltage", "V", "volts", "VoltageCorrection", VoltageSetpoint,
                                          OutputVoltage, VoltageCorrection, VoltageCorrectionBase,
                                          ReferenceOperation::ConfigureVolts};
    static const CalibratedTraits current{"current", "A", "amperes", "CurrentCorrection", CurrentSetpoint,
                                          OutputCurrent, CurrentCorrection, CurrentCorrectionBase,
                                          ReferenceOperation::ConfigureAmps};
    return quantity == CalibratedQuantity::Current ? current : voltage;
}

CorrectionChoice ChooseCorrection(const QVector<double> &errors, double step, double resolvable, int current, int base,
                                  const char *unit)
{
    CorrectionChoice choice;
    if (errors.isEmpty()) {
        choice.refusal = QStringLiteral("no error was measured");
        return choice;
    }
    if (!(std::abs(step) >= resolvable) || step == 0) {
        choice.refusal = QStringLiteral("the correction does not move the output (one step moved it by %1 %2)")
                             .arg(step, 0, 'g', 3)
                             .arg(QLatin1String(unit));
        return choice;
    }
    const auto [low, high] = std::minmax_element(errors.begin(), errors.end());
    const double centre = (*low + *high) / 2;
    // Each step of the correction moves every error by step.
    const long wanted = current + std::lround(-centre / step);
    if (wanted > base || wanted < -base) {
        choice.refusal = QStringLiteral("the error of %1 %5 needs a correction of %2 steps of %3 %5, beyond the codes' "
                                        "range of ±%4")
                             .arg(centre, 0, 'f', 4)
                             .arg(wanted)
                             .arg(step, 0, 'g', 3)
                             .arg(base)
                             .arg(QLatin1String(unit));
        return choice;
    }
    choice.correction = int(wanted);
    return choice;
}

const char *CalibrationStatusWord(CalibrationStatus status)
{
    switch (status) {
    case CalibrationStatus::Pass:
        return "PASS";
    case CalibrationStatus::Conditional:
        return "CONDITIONAL";
    case CalibrationStatus::Fail:
        return "FAIL";
    case CalibrationStatus::Error:
        return "ERROR";
    case CalibrationStatus::Aborted:
        return "ABORTED";
    }
    return "ERROR";
}

Acceptance SweepVerdict(const QVector<CalibrationPoint> &sweep)
{
    Acceptance worst = Acceptance::Pass;
    for (const CalibrationPoint &point : sweep) {
        if (point.verdict == Acceptance::Fail)
            return Acceptance::Fail;
        if (point.verdict == Acceptance::Conditional)
            worst = Acceptance::Conditional;
    }
    return worst;
}

AutoCalibration::AutoCalibration(RtuMaster &master, const StationFile &station, const CalibrationSettings &settings)
    : m_master(master)
    , m_station(station)
    , m_settings(settings)
    , m_model(FindModel(settings.modelItem))
    , m_traits(TraitsOf(settings.quantity))
{
    if (m_model) {
        const bool amps = settings.quantity == CalibratedQuantity::Current;
        m_scale = amps ? m_model->currentScale : m_model->voltageScale;
        m_limit = (amps ? m_model->currentLimit : m_model->voltageLimit) / m_scale;
        m_count = 1 / m_scale;
        m_decimals = amps ? m_model->currentDecimals : m_model->voltageDecimals;
    }
}

AutoCalibration::~AutoCalibration() = default;

QString AutoCalibration::quantityText(double value, int decimals) const
{
    return QStringLiteral("%1 %2").arg(value, 0, 'f', decimals).arg(QLatin1String(m_traits.unit));
}

// Points spread evenly over 10 % to 90 % of the limit, each on the model's
// resolution.
QVector<double> AutoCalibration::sweepSettings() const
{
    QVector<double> settings;
    for (int i = 0; i < m_settings.points; ++i) {
        const double fraction = m_settings.points == 1 ? 0.5 : 0.1 + 0.8 * i / (m_settings.points - 1);
        settings.append(std::round(m_limit * fraction * m_scale) / m_scale);
    }
    return settings;
}

void AutoCalibration::note(const QString &line)
{
    if (m_progress)
        m_progress(line);
}

void AutoCalibration::checkAbort()
{
    if (m_abort.load())
        throw CalibrationAborted();
}

void AutoCalibration::pause(double seconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(qint64(seconds * 1e6));
    for (;;) {
        checkAbort();
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(20)));
    }
}

void AutoCalibration::setPoint(double setting)
{
    checkAbort();
    m_master.write(m_settings.address, m_traits.setpoint, {quint16(std::lround(setting * m_scale))});
    if (m_load)
        send(*m_loadClient, *m_load,
             m_load->driver.command(ReferenceOperation::LoadCurrent,
                                    {{QStringLiteral("amps"), QString::number(setting + LoadMargin * m_limit)}}));
}

void AutoCalibration::writeCode(int code)
{
    checkAbort();
    m_master.write(m_settings.address, m_traits.correction, {quint16(code)});
}

int AutoCalibration::readCode()
{
    return m_master.read(m_settings.address, m_traits.correction, 1).at(0);
}

void AutoCalibration::send(ScpiClient &client, const ReferenceInstrument &reference, const QString &command)
{
    client.write(command);
    if (reference.driver.has(ReferenceOperation::Error))
        client.checkErrors(reference.driver.command(ReferenceOperation::Error), command);
}

// N readings of the meter at the setting in force, after the settle time;
// readings that still move by more than a quarter of the tolerance are taken
// again after another settle time, twice at most.
double AutoCalibration::meanReference(double setting, double *spread)
{
    const double tolerance = m_settings.accuracy.tolerance(setting, m_count);
    const double allowed = std::max(tolerance / 4, 10 * m_range.resolution);
    const QString read = m_dmm->driver.command(ReferenceOperation::Read);
    for (int attempt = 0;; ++attempt) {
        pause(m_settings.settleSeconds);
        m_readings.clear();
        for (int i = 0; i < m_settings.readings; ++i) {
            checkAbort();
            const auto start = std::chrono::steady_clock::now();
            m_readings.append(m_meter->queryNumber(read));
            m_readingSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        m_settledSeconds += m_settings.settleSeconds;
        const auto [low, high] = std::minmax_element(m_readings.begin(), m_readings.end());
        *spread = *high - *low;
        if (*spread <= allowed)
            return Summarize(m_readings, Statistic::Mean);
        if (attempt == 2)
            throw CalibrationRefused(QStringLiteral("the readings at %1 do not settle: they spread over %2, more "
                                                    "than %3, after three settle times")
                                         .arg(quantityText(setting, m_decimals), quantityText(*spread, 6),
                                              quantityText(allowed, 6)));
    }
}

CalibrationPoint AutoCalibration::measure(double setting)
{
    setPoint(setting);
    CalibrationPoint point;
    point.nominal = setting;
    double spread = 0;
    point.reference = meanReference(setting, &spread);
    checkAbort();
    point.supply = m_master.read(m_settings.address, m_traits.reading, 1).at(0) / m_scale;
    point.error = point.reference - setting;
    point.tolerance = m_settings.accuracy.tolerance(setting, m_count);
    point.budget = EvaluateUncertainty(m_readings, m_range, m_count);
    point.verdict = Decide(point.error, -point.tolerance, point.tolerance, point.budget.expanded, m_settings.rule).verdict;
    return point;
}

QVector<CalibrationPoint> AutoCalibration::sweep(const QVector<double> &settings, const char *what)
{
    QVector<CalibrationPoint> points;
    for (double setting : settings) {
        points.append(measure(setting));
        const CalibrationPoint &p = points.last();
        note(QStringLiteral("%1 %2: meter %3, supply %4, error %5 (±%6, U %7, k=2) %8")
                 .arg(QLatin1String(what), quantityText(p.nominal, m_decimals), quantityText(p.reference, 5),
                      quantityText(p.supply, m_decimals), quantityText(p.error, 5), quantityText(p.tolerance, 4),
                      quantityText(p.budget.expanded, 5), QLatin1String(AcceptanceWord(p.verdict))));
    }
    return points;
}

CalibrationRecord AutoCalibration::run()
{
    CalibrationRecord record;
    record.started = QDateTime::currentDateTime();
    record.id = QStringLiteral("cal-%1-a%2-%3")
                    .arg(record.started.toString(QStringLiteral("yyyyMMdd-HHmmss-zzz")))
                    .arg(m_settings.address)
                    .arg(QLatin1String(m_traits.name));
    record.quantity = m_settings.quantity;
    record.station = m_station.name;
    record.model = m_model ? QString::fromLatin1(m_model->caption) : QString();
    record.address = m_settings.address;
    record.serial = m_settings.serial;
    record.points = m_settings.points;
    record.readings = m_settings.readings;
    record.settleSeconds = m_settings.settleSeconds;
    record.accuracyText = QStringLiteral("±(%1 % of the setting + %2 counts)")
                              .arg(m_settings.accuracy.percentOfSetting)
                              .arg(m_settings.accuracy.counts);
    record.rule = m_settings.rule;
    record.environment = m_settings.environment;
    record.operatorName = m_settings.operatorName;

    bool outputTouched = false;
    try {
        if (!m_model)
            throw CalibrationRefused(QStringLiteral("no model %1").arg(m_settings.modelItem));
        calibrate(record, &outputTouched);
        const Acceptance left = SweepVerdict(record.asLeft);
        record.status = left == Acceptance::Pass ? CalibrationStatus::Pass
                        : left == Acceptance::Conditional ? CalibrationStatus::Conditional
                                                          : CalibrationStatus::Fail;
    } catch (const CalibrationAborted &stop) {
        record.status = CalibrationStatus::Aborted;
        record.cause = stop.text();
    } catch (const SystemError &error) {
        record.status = CalibrationStatus::Error;
        record.cause = error.text();
    }

    if (outputTouched)
        putBack(record);
    record.finished = QDateTime::currentDateTime();
    record.settledSeconds = m_settledSeconds;
    record.readingSeconds = m_readingSeconds;
    return record;
}

// Whatever happened: the load's input and the output off, and a trial
// correction never left behind in place of the one found.
void AutoCalibration::putBack(CalibrationRecord &record)
{
    const auto attempt = [&](const std::function<void()> &step) {
        try {
            step();
        } catch (const SystemError &error) {
            if (record.cause.isEmpty())
                record.status = CalibrationStatus::Error;
            record.cause += (record.cause.isEmpty() ? QString() : QStringLiteral("; ")) + QStringLiteral("putting the supply back: ")
                            + error.text();
        }
    };
    if (m_loadClient && m_loadClient->isOpen())
        attempt([this] { send(*m_loadClient, *m_load, m_load->driver.command(ReferenceOperation::LoadOff)); });
    attempt([&] {
        if (record.codeFound && !record.codeLeft)
            m_master.write(m_settings.address, m_traits.correction, {quint16(*record.codeFound)});
        m_master.write(m_settings.address, OutputSwitch, {0});
        for (const auto &[reg, value] : m_setpointsFound)
            m_master.write(m_settings.address, reg, {value});
    });
}

namespace {

// The station's references a calibration of quantity at address uses.
struct ReferencesUsed {
    const ReferenceInstrument *dmm = nullptr;
    const ReferenceInstrument *scanner = nullptr; // the one with this address's channel
    const ReferenceInstrument *load = nullptr;    // for the current only
    const ReferenceInstrument *anyScanner = nullptr;
};

ReferencesUsed FindReferences(const StationFile &station, CalibratedQuantity quantity, int address)
{
    ReferencesUsed used;
    for (const ReferenceInstrument &reference : station.references) {
        if (reference.kind == ReferenceKind::Dmm && !used.dmm)
            used.dmm = &reference;
        if (reference.kind == ReferenceKind::Scanner && !used.anyScanner)
            used.anyScanner = &reference;
        if (reference.kind == ReferenceKind::Scanner && !used.scanner && reference.channels.contains(QString::number(address)))
            used.scanner = &reference;
        if (reference.kind == ReferenceKind::Load && quantity == CalibratedQuantity::Current && !used.load)
            used.load = &reference;
    }
    return used;
}

} // namespace

QString CalibrationRefusal(const StationFile &station, CalibratedQuantity quantity, int address, const QDate &today)
{
    const ReferencesUsed used = FindReferences(station, quantity, address);
    if (!used.dmm)
        return QStringLiteral("%1 has no multimeter (kind = \"dmm\")").arg(station.file);
    // Behind a scanner the meter reads whichever supply its channel reaches:
    // without this address's channel it would judge one supply on another's
    // output.
    if (used.anyScanner && !used.scanner)
        return QStringLiteral("the scanner '%1' has no channel for address %2 (channels = { %2 = ... })")
            .arg(used.anyScanner->name)
            .arg(address);
    if (quantity == CalibratedQuantity::Current && !used.load)
        return QStringLiteral("%1 has no electronic load (kind = \"load\") to draw the current").arg(station.file);
    for (const ReferenceInstrument *reference : {used.dmm, used.scanner, used.load}) {
        if (reference && reference->expiredOn(today))
            return QStringLiteral("the reference '%1' was due for calibration on %2")
                .arg(reference->name, reference->calibrationDue->toString(Qt::ISODate));
    }
    return QString();
}

// Finds the station's meter (and the scanner and, for the current, the load
// of this address), refuses what CalibrationRefusal refuses, and opens,
// identifies and sets them up for the quantity up to largest.
void AutoCalibration::connectReferences(CalibrationRecord &record, double largest)
{
    const QString refusal = CalibrationRefusal(m_station, m_settings.quantity, m_settings.address, QDate::currentDate());
    if (!refusal.isEmpty())
        throw CalibrationRefused(refusal);
    const ReferencesUsed used = FindReferences(m_station, m_settings.quantity, m_settings.address);
    m_dmm = used.dmm;
    m_scanner = used.scanner;
    m_load = used.load;
    const RangeAccuracy *range = m_dmm->driver.rangeFor(QLatin1String(m_traits.unitWord), largest);
    if (!range)
        throw CalibrationRefused(QStringLiteral("the multimeter '%1' has no range for %2").arg(m_dmm->name, quantityText(largest, m_decimals)));
    m_range = range->limits;

    const auto open = [&](const ReferenceInstrument &reference) {
        auto client = std::make_unique<ScpiClient>(reference.link, reference.driver.timeoutSeconds);
        client->open();
        record.references.append({reference.name, client->query(reference.driver.command(ReferenceOperation::Identify)),
                                  reference.link, reference.calibrationDue});
        return client;
    };
    const QHash<QString, QString> channel{
        {QStringLiteral("channel"),
         m_scanner ? QString::number(m_scanner->channels.value(QString::number(m_settings.address))) : QString()}};
    m_meter = open(*m_dmm);
    if (m_scanner) {
        m_scannerClient = open(*m_scanner);
        send(*m_scannerClient, *m_scanner, m_scanner->driver.command(ReferenceOperation::SelectChannel, channel));
    }
    if (m_load) {
        m_loadClient = open(*m_load);
        if (m_scanner && m_load->driver.has(ReferenceOperation::SelectChannel))
            send(*m_loadClient, *m_load, m_load->driver.command(ReferenceOperation::SelectChannel, channel));
    }
    send(*m_meter, *m_dmm,
         m_dmm->driver.command(m_traits.configure, {{QStringLiteral("range"), QString::number(m_range.range)},
                                                    {QStringLiteral("nplc"), QString::number(m_settings.nplc)}}));
    pause(m_dmm->driver.settleSeconds);
}

void AutoCalibration::calibrate(CalibrationRecord &record, bool *outputTouched)
{
    const QVector<double> settings = sweepSettings();
    connectReferences(record, settings.last());

    // The supply as found: its correction and setpoints, put back if the
    // calibration does not end with a new correction.
    checkAbort();
    record.codeFound = readCode();
    for (quint16 reg : m_load ? QVector<quint16>{VoltageSetpoint, CurrentSetpoint} : QVector<quint16>{m_traits.setpoint})
        m_setpointsFound.append({reg, m_master.read(m_settings.address, reg, 1).at(0)});
    const int base = m_traits.base;
    const int found = CorrectionOfCode(*record.codeFound, base);
    *outputTouched = true;
    if (m_load) {
        // The current is calibrated in current limit: a low voltage, so that
        // the load takes little power, and the load demanding more than the
        // supply may give.
        m_master.write(m_settings.address, VoltageSetpoint,
                       {quint16(std::lround(0.1 * m_model->voltageLimit))});
    }
    setPoint(settings.first());
    m_master.write(m_settings.address, OutputSwitch, {1});
    if (m_load)
        send(*m_loadClient, *m_load, m_load->driver.command(ReferenceOperation::LoadOn));
    record.asFound = sweep(settings, "as found");

    // One step's size and sign: the last setting again with a trial
    // correction, against its as-found reading.
    const int trial = TrialCorrection(found, base);
    writeCode(CorrectionCode(trial, base));
    const CalibrationPoint &last = record.asFound.last();
    double spread = 0;
    const double moved = meanReference(last.nominal, &spread) - last.reference;
    record.step = moved / (trial - found);
    // A change the meter's noise and resolution could make up is no change.
    const double noise = std::hypot(StandardDeviationOfMean(m_readings), last.budget.repeatability);
    const double resolvable = std::max(2 * m_range.resolution, 4 * noise) / std::abs(trial - found);
    note(QStringLiteral("one correction step moves the output by %1 %2").arg(*record.step, 0, 'g', 4).arg(QLatin1String(m_traits.unit)));

    const CorrectionChoice choice = ChooseCorrection(ErrorsOf(record.asFound), *record.step, resolvable, found, base, m_traits.unit);
    if (!choice.correction)
        throw CalibrationRefused(choice.refusal);
    const int code = CorrectionCode(*choice.correction, base);
    writeCode(code);
    const int held = readCode();
    if (held != code)
        throw CalibrationRefused(QStringLiteral("%1 holds %2 after %3 was written").arg(QLatin1String(m_traits.registerName)).arg(held).arg(code));
    record.codeLeft = code;
    note(QStringLiteral("correction %1 written (code %2, was %3)").arg(*choice.correction).arg(code).arg(*record.codeFound));

    // Only a whole as-left sweep goes into the record.
    record.asLeft = sweep(settings, "as left");
}

QByteArray CalibrationJson(const CalibrationRecord &record)
{
    // Every value key ends in the quantity's unit: nominal_volts, nominal_amperes.
    const QString unit = QLatin1Char('_') + QLatin1String(record.traits().unitWord);
    const auto points = [&unit](const QVector<CalibrationPoint> &sweep) {
        QJsonArray array;
        for (const CalibrationPoint &p : sweep)
            array.append(QJsonObject{{QStringLiteral("nominal") + unit, p.nominal},
                                     {QStringLiteral("reference") + unit, p.reference},
                                     {QStringLiteral("supply") + unit, p.supply},
                                     {QStringLiteral("error") + unit, p.error},
                                     {QStringLiteral("tolerance") + unit, p.tolerance},
                                     {QStringLiteral("expanded_uncertainty") + unit, p.budget.expanded},
                                     {QStringLiteral("coverage_factor"), p.budget.coverage},
                                     {QStringLiteral("verdict"), QLatin1String(AcceptanceWord(p.verdict))}});
        return array;
    };
    const auto optionalNumber = [](const auto &value) { return value ? QJsonValue(double(*value)) : QJsonValue(); };
    QJsonArray references;
    for (const CalibrationReference &r : record.references)
        references.append(QJsonObject{{QStringLiteral("name"), r.name},
                                      {QStringLiteral("identity"), r.identity},
                                      {QStringLiteral("link"), r.link},
                                      {QStringLiteral("calibration_due"),
                                       r.due ? QJsonValue(r.due->toString(Qt::ISODate)) : QJsonValue()}});
    QJsonObject environment;
    for (const auto &[key, value] : record.environment)
        environment.insert(key, value);
    QJsonObject root{
        {QStringLiteral("id"), record.id},
        {QStringLiteral("status"), QLatin1String(CalibrationStatusWord(record.status))},
        {QStringLiteral("cause"), record.cause},
        {QStringLiteral("station"), record.station},
        {QStringLiteral("supply"), QJsonObject{{QStringLiteral("model"), record.model},
                                               {QStringLiteral("address"), record.address},
                                               {QStringLiteral("serial"), record.serial}}},
        {QStringLiteral("quantity"), QLatin1String(record.traits().name)},
        {QStringLiteral("unit"), QLatin1String(record.traits().unit)},
        {QStringLiteral("correction_register"), QLatin1String(record.traits().registerName)},
        {QStringLiteral("references"), references},
        {QStringLiteral("method"), QJsonObject{{QStringLiteral("points"), record.points},
                                               {QStringLiteral("readings_per_point"), record.readings},
                                               {QStringLiteral("settle_seconds"), record.settleSeconds}}},
        {QStringLiteral("accuracy"), record.accuracyText},
        {QStringLiteral("decision_rule"), QLatin1String(DecisionRuleWord(record.rule))},
        {QStringLiteral("environment"), environment},
        {QStringLiteral("operator"), record.operatorName},
        {QStringLiteral("started"), record.started.toString(Qt::ISODateWithMs)},
        {QStringLiteral("finished"), record.finished.toString(Qt::ISODateWithMs)},
        {QStringLiteral("as_found"), points(record.asFound)},
        // null, never an empty list, when the as-left sweep was not measured
        {QStringLiteral("as_left"), record.asLeftMeasured() ? QJsonValue(points(record.asLeft)) : QJsonValue()},
        {QStringLiteral("code_found"), optionalNumber(record.codeFound)},
        {QStringLiteral("code_written"), optionalNumber(record.codeLeft)},
        {QStringLiteral("step") + unit, optionalNumber(record.step)},
        {QStringLiteral("timing"), QJsonObject{{QStringLiteral("settle_seconds"), record.settledSeconds},
                                               {QStringLiteral("reading_seconds"), record.readingSeconds},
                                               {QStringLiteral("total_seconds"),
                                                record.started.msecsTo(record.finished) / 1000.0}}},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

void KeepInHistory(HistoryDatabase &db, const CalibrationRecord &record)
{
    CalibrationHistoryRow row;
    row.id = record.id;
    row.serial = record.serial;
    row.start = record.started;
    row.status = QLatin1String(CalibrationStatusWord(record.status));
    row.model = record.model;
    row.address = record.address;
    row.quantity = QLatin1String(record.traits().name);
    row.station = record.station;
    row.operatorName = record.operatorName;
    row.codeFound = record.codeFound;
    row.codeWritten = record.codeLeft;
    row.asFoundError = MeanError(record.asFound);
    row.asLeftError = MeanError(record.asLeft);
    RecordCalibration(db, row, CalibrationJson(record));
}
