// The run as JUnit XML, the form CI systems (Jenkins, GitLab) read: one test
// suite per slot, one test case per check of the plan; a judged case carries
// its value and limits as properties, a failed one in the message too; a check
// the slot never reached is skipped with the reason; a slot that could not be
// judged to the end adds one case with an error naming the cause.

#include "link/systemerror.h"
#include "plan/runrecord.h"

#include <QFile>
#include <QXmlStreamWriter>

#include <algorithm>

namespace {

QString seconds(qint64 ms)
{
    return QString::number(std::max<qint64>(ms, 0) / 1000.0, 'f', 3);
}

// The JUnit schema's timestamp: local time, no zone.
QString timestamp(const QDateTime &time)
{
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
}

void property(QXmlStreamWriter &xml, const QString &name, const QString &value)
{
    xml.writeStartElement(QStringLiteral("property"));
    xml.writeAttribute(QStringLiteral("name"), name);
    xml.writeAttribute(QStringLiteral("value"), value);
    xml.writeEndElement();
}

struct SlotCounts {
    int tests = 0;
    int failures = 0;
    int errors = 0;
    int skipped = 0;
};

// The extra case of a slot that ended without a verdict of its checks.
bool hasVerdictCase(const RunRecord &run, int slot)
{
    const Verdict verdict = run.verdict(slot);
    return verdict == Verdict::Error || verdict == Verdict::Aborted;
}

// A slot that failed on a step's cause (a protection that never tripped, an
// output found off) with no check of its own failing: without a case of its
// own it would count as a clean pass in CI.
bool hasCausedFailure(const RunRecord &run, int slot, const QVector<const CheckResult *> &checks)
{
    if (run.verdict(slot) != Verdict::Fail)
        return false;
    return std::none_of(checks.cbegin(), checks.cend(), [](const CheckResult *check) { return !check->passed; });
}

} // namespace

void WriteJUnitReport(const QString &path, const RunRecord &run)
{
    const RunInfo &info = run.info;
    const int slotCount = info.slotList.size();
    QVector<SlotCounts> counts(slotCount);
    QVector<QVector<const CheckResult *>> bySlot(slotCount);
    for (const CheckResult &check : run.checks) {
        if (check.slot < 0 || check.slot >= slotCount)
            continue;
        bySlot[check.slot].append(&check);
        ++counts[check.slot].tests;
        if (!check.passed)
            ++counts[check.slot].failures;
    }
    QVector<QVector<PlannedCheck>> unreached(slotCount);
    SlotCounts total;
    for (int slot = 0; slot < slotCount; ++slot) {
        unreached[slot] = run.unreached(slot);
        counts[slot].tests += unreached.at(slot).size();
        counts[slot].skipped = unreached.at(slot).size();
        if (hasVerdictCase(run, slot)) {
            ++counts[slot].tests;
            ++counts[slot].errors;
        } else if (hasCausedFailure(run, slot, bySlot.at(slot))) {
            ++counts[slot].tests;
            ++counts[slot].failures;
        }
        total.tests += counts[slot].tests;
        total.failures += counts[slot].failures;
        total.errors += counts[slot].errors;
        total.skipped += counts[slot].skipped;
    }

    XmlReportFile file(path);
    QXmlStreamWriter &xml = file.xml();
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(2);
    xml.writeStartDocument();
    const QDateTime end = run.endTime();
    xml.writeStartElement(QStringLiteral("testsuites"));
    xml.writeAttribute(QStringLiteral("name"), info.planName);
    xml.writeAttribute(QStringLiteral("tests"), QString::number(total.tests));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(total.failures));
    xml.writeAttribute(QStringLiteral("errors"), QString::number(total.errors));
    xml.writeAttribute(QStringLiteral("skipped"), QString::number(total.skipped));
    xml.writeAttribute(QStringLiteral("time"), seconds(info.start.msecsTo(end)));
    xml.writeAttribute(QStringLiteral("timestamp"), timestamp(info.start));

    for (int slot = 0; slot < slotCount; ++slot) {
        const SlotInfo &unit = info.slotList.at(slot);
        const std::optional<SlotVerdict> &verdict = run.verdicts.at(slot);
        const QDateTime slotEnd = verdict ? verdict->end : end;
        const QString className = QStringLiteral("%1.%2").arg(info.planName, unit.name);
        xml.writeStartElement(QStringLiteral("testsuite"));
        xml.writeAttribute(QStringLiteral("name"), QStringLiteral("%1 %2").arg(unit.name, unit.serial));
        xml.writeAttribute(QStringLiteral("id"), QString::number(slot));
        xml.writeAttribute(QStringLiteral("tests"), QString::number(counts[slot].tests));
        xml.writeAttribute(QStringLiteral("failures"), QString::number(counts[slot].failures));
        xml.writeAttribute(QStringLiteral("errors"), QString::number(counts[slot].errors));
        xml.writeAttribute(QStringLiteral("skipped"), QString::number(counts[slot].skipped));
        xml.writeAttribute(QStringLiteral("time"), seconds(info.start.msecsTo(slotEnd)));
        xml.writeAttribute(QStringLiteral("timestamp"), timestamp(info.start));
        xml.writeAttribute(QStringLiteral("hostname"), info.station);

        xml.writeStartElement(QStringLiteral("properties"));
        property(xml, QStringLiteral("serial"), unit.serial);
        property(xml, QStringLiteral("slot"), unit.name);
        property(xml, QStringLiteral("address"), QString::number(unit.address));
        property(xml, QStringLiteral("model"), unit.model);
        property(xml, QStringLiteral("plan"), info.planName);
        property(xml, QStringLiteral("plan_version"), info.planVersion);
        property(xml, QStringLiteral("plan_file"), info.planFile);
        property(xml, QStringLiteral("station"), info.station);
        property(xml, QStringLiteral("operator"), info.operatorName);
        property(xml, QStringLiteral("tool_version"), info.toolVersion);
        property(xml, QStringLiteral("port"), info.port);
        property(xml, QStringLiteral("run_id"), info.runId);
        property(xml, QStringLiteral("verdict"), VerdictText(run.verdict(slot)));
        for (const ReferenceUsed &reference : info.references)
            property(xml, QStringLiteral("reference ") + reference.name, ReferenceText(reference));
        xml.writeEndElement();

        // Each case's time: from the slot's previous check (or the start).
        QDateTime previous = info.start;
        for (const CheckResult *check : bySlot.at(slot)) {
            xml.writeStartElement(QStringLiteral("testcase"));
            xml.writeAttribute(QStringLiteral("classname"), className);
            xml.writeAttribute(QStringLiteral("name"), QStringLiteral("%1 %2").arg(check->path, check->name));
            xml.writeAttribute(QStringLiteral("time"), seconds(previous.msecsTo(check->time)));
            if (check->time.isValid())
                previous = check->time;
            xml.writeStartElement(QStringLiteral("properties"));
            property(xml, QStringLiteral("value"), LimitText(check->value));
            if (check->low)
                property(xml, QStringLiteral("low"), LimitText(check->low));
            if (check->high)
                property(xml, QStringLiteral("high"), LimitText(check->high));
            property(xml, QStringLiteral("unit"), check->unit);
            if (!check->reference.isEmpty()) {
                property(xml, QStringLiteral("reference"), check->reference);
                property(xml, QStringLiteral("expanded_uncertainty"), LimitText(check->expanded));
                property(xml, QStringLiteral("coverage_factor"), LimitText(check->coverage));
            }
            xml.writeEndElement();
            if (!check->passed) {
                // A conditional check is a failure whose message says so, so
                // that CI never takes it for a clean pass.
                xml.writeStartElement(QStringLiteral("failure"));
                xml.writeAttribute(QStringLiteral("type"), check->conditional ? QStringLiteral("conditional") : QStringLiteral("limit"));
                xml.writeAttribute(QStringLiteral("message"), (check->conditional ? QStringLiteral("CONDITIONAL %1: %2") : QStringLiteral("%1: %2"))
                                                                  .arg(check->name, CheckSummary(*check)));
                xml.writeCharacters(QStringLiteral("step %1 %2, %3 %4: %5")
                                        .arg(check->path, run.stepLabel(slot, check->path), check->statistic,
                                             check->quantity, CheckSummary(*check)));
                xml.writeEndElement();
            }
            xml.writeEndElement();
        }
        for (const PlannedCheck &check : unreached.at(slot)) {
            xml.writeStartElement(QStringLiteral("testcase"));
            xml.writeAttribute(QStringLiteral("classname"), className);
            xml.writeAttribute(QStringLiteral("name"), QStringLiteral("%1 %2").arg(check.path, check.name));
            xml.writeAttribute(QStringLiteral("time"), seconds(0));
            xml.writeStartElement(QStringLiteral("skipped"));
            xml.writeAttribute(QStringLiteral("message"), run.unreachedReason(slot));
            xml.writeEndElement();
            xml.writeEndElement();
        }
        if (hasCausedFailure(run, slot, bySlot.at(slot))) {
            xml.writeStartElement(QStringLiteral("testcase"));
            xml.writeAttribute(QStringLiteral("classname"), className);
            xml.writeAttribute(QStringLiteral("name"), QStringLiteral("verdict"));
            xml.writeAttribute(QStringLiteral("time"), seconds(previous.msecsTo(slotEnd)));
            xml.writeStartElement(QStringLiteral("failure"));
            xml.writeAttribute(QStringLiteral("type"), QStringLiteral("step"));
            xml.writeAttribute(QStringLiteral("message"), verdict ? verdict->cause : QString());
            xml.writeEndElement();
            xml.writeEndElement();
        }
        if (hasVerdictCase(run, slot)) {
            const Verdict v = run.verdict(slot);
            const QString cause = verdict && !verdict->cause.isEmpty() ? verdict->cause
                                  : v == Verdict::Aborted          ? QStringLiteral("the run was aborted")
                                                                   : QStringLiteral("the slot did not end");
            xml.writeStartElement(QStringLiteral("testcase"));
            xml.writeAttribute(QStringLiteral("classname"), className);
            xml.writeAttribute(QStringLiteral("name"), QStringLiteral("verdict"));
            xml.writeAttribute(QStringLiteral("time"), seconds(previous.msecsTo(slotEnd)));
            xml.writeStartElement(QStringLiteral("error"));
            xml.writeAttribute(QStringLiteral("type"), VerdictText(v));
            xml.writeAttribute(QStringLiteral("message"), cause);
            xml.writeEndElement();
            xml.writeEndElement();
        }
        xml.writeEndElement();
    }
    xml.writeEndElement();
    file.close();
}
