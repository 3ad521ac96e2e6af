// measure: count readings at an interval, each check judging the mean, min or
// max of its quantity against its limits. With a reference as its source
// (source = "dmm") each reading is the meter's at the slot's terminals beside
// the supply's own, and each check decides on the meter's values (or on the
// read-back minus them) with their uncertainty.

#include "plan/planreader.h"
#include "plan/references.h"
#include "plan/slotmachine.h"

#include "link/modelcatalogue.h"

#include <cmath>

namespace {

class MeasureStep : public PlanStep
{
public:
    int count = 1;
    double interval = 0; // between readings (0: back to back)
    QString source;      // a reference's name; "" for the supply's read-back
    double nplc = 1;     // the reference's integration time, in power line cycles
    std::unique_ptr<StepRunner> runner(SlotMachine &slot) const override;
};

class MeasureRun : public RunnerOf<MeasureStep>
{
public:
    using RunnerOf::RunnerOf;

    void start() override
    {
        m_slot.nextReading = m_slot.stepStart();
        tick();
    }

private:
    void tick()
    {
        m_slot.schedule(m_slot.nextReading, true, [this] {
            m_slot.takeReading(m_slot.readStatus());
            if (!m_step.source.isEmpty())
                readReference();
            if (m_slot.samples().size() < m_step.count) {
                m_slot.nextReading = m_step.interval > 0 ? after(m_slot.nextReading, m_step.interval) : Clock::now();
                return tick();
            }
            for (const PlanCheck &check : m_step.checks)
                judge(check);
            m_slot.concludeStep();
        });
    }

    // The reference's reading of each quantity a check judges, on the range
    // that holds the first reading's value (the setpoint for volts, the
    // supply's current for amperes).
    void readReference()
    {
        const Reading &first = m_slot.samples().first();
        for (const Quantity quantity : {Quantity::Voltage, Quantity::Current}) {
            if (std::none_of(m_step.checks.cbegin(), m_step.checks.cend(),
                             [&](const PlanCheck &check) { return check.quantity == quantity; }))
                continue;
            const bool volts = quantity == Quantity::Voltage;
            const double expected = volts ? first.voltageSetpoint : first.amps;
            m_reference[volts ? 0 : 1] << m_slot.references().read(
                m_step.source, m_slot.info.name, volts ? QStringLiteral("volts") : QStringLiteral("amperes"),
                expected, m_step.nplc, m_accuracy[volts ? 0 : 1]);
        }
    }

    void judge(const PlanCheck &check)
    {
        if (!m_step.source.isEmpty())
            return judgeReference(check);
        const QVector<Reading> &samples = m_slot.samples();
        QVector<double> values;
        values.reserve(samples.size());
        for (const Reading &sample : samples) {
            values << (check.quantity == Quantity::Voltage   ? sample.volts
                       : check.quantity == Quantity::Current ? sample.amps
                                                             : sample.watts.value_or(0));
        }
        const ModelEntry &model = m_slot.model();
        const bool volts = check.quantity == Quantity::Voltage;
        const bool amps = check.quantity == Quantity::Current;
        // A relative check is about the setpoint in force at the last reading.
        const double setpoint = volts ? samples.last().voltageSetpoint : samples.last().currentSetpoint;
        const double resolution = 1.0 / (volts ? model.voltageScale : model.currentScale);
        const int decimals = volts ? model.voltageDecimals : amps ? model.currentDecimals : PowerDecimals;
        m_slot.judge(check.name, check.quantity, check.statistic,
                     JudgeReadings(values, check.statistic, setpoint, resolution, check.limits),
                     decimals + (check.statistic == Statistic::Mean ? 1 : 0));
    }

    // The reference's values (or the read-back minus them) against the
    // limits, decided with the expanded uncertainty of the reference's
    // accuracy and resolution, the readings' repeatability and the
    // supply's resolution.
    void judgeReference(const PlanCheck &check)
    {
        const QVector<Reading> &samples = m_slot.samples();
        const bool volts = check.quantity == Quantity::Voltage;
        const QVector<double> &reference = m_reference[volts ? 0 : 1];
        const AccuracyLimits &accuracy = m_accuracy[volts ? 0 : 1];
        const ModelEntry &model = m_slot.model();
        const double resolution = 1.0 / (volts ? model.voltageScale : model.currentScale);
        const double setpoint = volts ? samples.last().voltageSetpoint : samples.last().currentSetpoint;
        UncertaintyBudget budget = EvaluateUncertainty(reference, accuracy, resolution);
        QVector<double> values = reference;
        std::optional<double> low, high;
        LimitsAbout(check.limits, setpoint, resolution, low, high);
        if (check.compare == QLatin1String("readback")) {
            // The supply's error in reading itself back, its limits about 0;
            // its repeatability that of the differences.
            for (int i = 0; i < values.size(); ++i)
                values[i] = (volts ? samples.at(i).volts : samples.at(i).amps) - reference.at(i);
            if (check.limits.relative) {
                const double band = setpoint * check.limits.percent / 100.0 + check.limits.counts * resolution;
                low = -band;
                high = band;
            }
            budget.repeatability = StandardDeviationOfMean(values);
            budget.combined = std::sqrt(budget.accuracy * budget.accuracy
                                        + budget.referenceResolution * budget.referenceResolution
                                        + budget.repeatability * budget.repeatability
                                        + budget.supplyResolution * budget.supplyResolution);
            budget.expanded = budget.coverage * budget.combined;
        }
        const double value = Summarize(values, check.statistic);
        const Decision decision = Decide(value, low, high, budget.expanded, check.decision);
        const ReferenceMark mark{m_step.source, budget.expanded, budget.coverage, decision.verdict,
                                 check.decision, decision.ratio, decision.guarded};
        const int decimals = accuracy.resolution > 0 ? int(std::ceil(-std::log10(accuracy.resolution) - 1e-9)) : 6;
        m_slot.judge(check.name, check.quantity, check.statistic, JudgeValue(value, low, high),
                     qMax(decimals, volts ? model.voltageDecimals : model.currentDecimals), &mark);
    }

    QVector<double> m_reference[2]; // volts, amperes
    AccuracyLimits m_accuracy[2];
};

std::unique_ptr<StepRunner> MeasureStep::runner(SlotMachine &slot) const
{
    return std::make_unique<MeasureRun>(slot, *this);
}

} // namespace

std::unique_ptr<PlanStep> ReadMeasureStep(const StepSource &source)
{
    const toml::table &table = source.table;
    const PlanReader &reader = source.reader;
    const QString &what = source.what;
    reader.onlyKeys(table, {"type", "name", "on_fail", "count", "interval", "source", "nplc", "check"}, what);
    auto step = std::make_unique<MeasureStep>();
    step->count = reader.whole(table, "count", false, what, 1, 100000).value_or(1);
    step->interval = reader.number(table, "interval", false, what, 0, 1e5).value_or(0);
    step->source = reader.text(table, "source", false, what);
    if (step->source == QLatin1String("readback"))
        step->source.clear();
    step->nplc = reader.number(table, "nplc", false, what, 0.001, 1000).value_or(1);
    step->checks = reader.checks(table, {Quantity::Voltage, Quantity::Current, Quantity::Power}, true);
    if (step->checks.isEmpty())
        reader.fail(table, QStringLiteral("a measure step has no check"));
    if (!step->source.isEmpty())
        reader.usesReference(step->source, QStringLiteral("dmm"));
    else if (table.get("nplc"))
        reader.fail(*table.get("nplc"), QStringLiteral("nplc is the integration time of a reference (source)"));
    for (const PlanCheck &check : step->checks) {
        if (step->source.isEmpty() && (!check.compare.isEmpty() || check.decision != DecisionRule::Simple))
            reader.fail(table, QStringLiteral("check '%1': compare and decision need a reference (source)").arg(check.name));
        if (!step->source.isEmpty() && check.quantity == Quantity::Power)
            reader.fail(table, QStringLiteral("check '%1': a reference measures voltage or current").arg(check.name));
    }
    return step;
}
