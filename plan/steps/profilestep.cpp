// profile: setpoints from a CSV file of time,voltage,current rows, held from
// row to row or ramped between them, with a wait's readings and totals.

#include "plan/planengine.h"
#include "plan/planreader.h"
#include "plan/slotmachine.h"
#include "plan/steps/timedstep.h"

#include "link/csvlines.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"

#include <QDir>
#include <QFile>
#include <QLocale>

#include <cmath>

namespace {

struct ProfileRow {
    double seconds = 0; // from the start of the profile
    double volts = 0;
    double amps = 0;
};

class ProfileStep : public TimedStep
{
public:
    QVector<ProfileRow> rows;
    bool rampRows = false; // linear between rows
    std::unique_ptr<StepRunner> runner(SlotMachine &slot) const override;
};

class ProfileRun : public TimedRun
{
public:
    ProfileRun(SlotMachine &slot, const ProfileStep &step) : TimedRun(slot, step), m_profile(step) {}

protected:
    // The row in force, or the ramp between two rows.
    bool writeSetpoints(TimePoint now, double t, TimePoint end, TimePoint &change) override
    {
        const ModelEntry &model = m_slot.model();
        const QVector<ProfileRow> &rows = m_profile.rows;
        int row = 0;
        while (row + 1 < rows.size() && rows.at(row + 1).seconds <= t)
            ++row;
        double volts = rows.at(row).volts, amps = rows.at(row).amps;
        double nextChange = row + 1 < rows.size() ? rows.at(row + 1).seconds : m_profile.seconds;
        if (m_profile.rampRows && row + 1 < rows.size() && t >= rows.at(row).seconds) {
            const Segment v{rows.at(row).seconds, rows.at(row + 1).seconds, rows.at(row).volts, rows.at(row + 1).volts};
            const Segment a{rows.at(row).seconds, rows.at(row + 1).seconds, rows.at(row).amps, rows.at(row + 1).amps};
            volts = v.at(t);
            amps = a.at(t);
            const quint16 rv = ScaledSetpoint(volts, model.voltageScale, model.voltageLimit);
            const quint16 ra = ScaledSetpoint(amps, model.currentScale, model.currentLimit);
            nextChange = qMin(v.nextChange(t, rv, model.voltageScale), a.nextChange(t, ra, model.currentScale));
        } else if (t < rows.first().seconds) {
            nextChange = rows.first().seconds;
        }
        change = after(m_slot.stepStart(), nextChange);
        const quint16 rawVolts = ScaledSetpoint(volts, model.voltageScale, model.voltageLimit);
        const quint16 rawAmps = ScaledSetpoint(amps, model.currentScale, model.currentLimit);
        // A reading that is due goes before the writes: a fast ramp changes its
        // setpoints more often than one write takes, and would take none. The
        // end's setpoints are written before the end's reading.
        const bool readingDue = m_profile.interval > 0 && now >= m_slot.nextReading && now < end;
        if (readingDue)
            return false;
        if (rawVolts != m_volts)
            return write(VoltageSetpoint, m_volts = rawVolts);
        if (rawAmps != m_amps)
            return write(CurrentSetpoint, m_amps = rawAmps);
        return false;
    }

private:
    bool write(quint16 reg, quint16 raw)
    {
        m_slot.scheduleNow(true, [this, reg, raw] {
            m_slot.bus().write(m_slot.address(), reg, {raw});
            tick();
        });
        return true;
    }

    const ProfileStep &m_profile;
    quint16 m_volts = 0xFFFF, m_amps = 0xFFFF; // the register values last written
};

std::unique_ptr<StepRunner> ProfileStep::runner(SlotMachine &slot) const
{
    return std::make_unique<ProfileRun>(slot, *this);
}

QVector<ProfileRow> readProfile(const StepSource &source)
{
    const toml::table &step = source.table;
    const PlanReader &reader = source.reader;
    const QString name = reader.text(step, "file", true, QStringLiteral("a profile"));
    const QString path = QDir(reader.folder()).filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        reader.fail(*step.get("file"), QStringLiteral("cannot read profile %1: %2").arg(path, file.errorString()));
    QVector<ProfileRow> rows;
    for (const CsvLine &line : CsvDataLines(QString::fromUtf8(file.readAll()))) {
        const QStringList &fields = line.fields;
        const auto refuse = [&](int column, const QString &cause) { throw PlanError(path, line.number, column, cause); };
        if (fields.size() != 3)
            refuse(1, QStringLiteral("%1 fields where time,voltage,current are expected").arg(fields.size()));
        double values[3];
        int columns[3];
        int column = 1;
        static const char *names[] = {"time", "voltage", "current"};
        for (int k = 0; k < 3; ++k) {
            bool ok = false;
            values[k] = QLocale::c().toDouble(fields.at(k), &ok);
            if (!ok || !std::isfinite(values[k]) || (k == 0 && values[k] < 0))
                refuse(column, QStringLiteral("'%1' is not a %2%3")
                                   .arg(fields.at(k), QLatin1String(names[k]), k == 0 ? QStringLiteral(" of 0 or more") : QString()));
            columns[k] = column;
            column += int(line.text.section(QLatin1Char(','), k, k).size()) + 1;
        }
        if (!rows.isEmpty() && values[0] <= rows.last().seconds)
            refuse(1, QStringLiteral("time %1 does not follow %2").arg(PlainNumber(values[0]), PlainNumber(rows.last().seconds)));
        for (const ModelEntry *model : reader.m_models) {
            for (int k = 1; k < 3; ++k) {
                const QString refusal = RangeRefusal(QLatin1String(names[k]), values[k], model);
                if (!refusal.isEmpty())
                    refuse(columns[k], refusal);
            }
        }
        rows.append({values[0], values[1], values[2]});
    }
    if (rows.isEmpty())
        reader.fail(*step.get("file"), QStringLiteral("profile %1 has no rows of time,voltage,current").arg(path));
    return rows;
}

} // namespace

std::unique_ptr<PlanStep> ReadProfileStep(const StepSource &source)
{
    const toml::table &table = source.table;
    const PlanReader &reader = source.reader;
    reader.onlyKeys(table, {"type", "name", "on_fail", "file", "ramp", "interval", "stop", "check"}, source.what);
    auto step = std::make_unique<ProfileStep>();
    step->rows = readProfile(source);
    step->rampRows = reader.flag(table, "ramp").value_or(false);
    step->interval = reader.number(table, "interval", false, source.what, 0, 1e5).value_or(0);
    step->readTotals(source);
    step->seconds = step->rows.last().seconds;
    return step;
}
