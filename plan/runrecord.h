#pragma once

// What the recorders keep of a run while it goes, and the report files made
// from it at its end.

#include "plan/planresults.h"

#include <QFile>
#include <QHash>
#include <QString>
#include <QVector>
#include <QXmlStreamWriter>
#include <optional>

// One reading as the plot needs it: milliseconds since the run's start.
struct PlotPoint {
    qint64 ms = 0;
    double volts = 0;
    double amps = 0;
};

struct RunRecord {
    RunInfo info;
    QVector<CheckResult> checks;                   // in the order judged
    QVector<std::optional<SlotVerdict>> verdicts;  // by slot index; empty while the slot runs
    QVector<QVector<PlotPoint>> readings;          // by slot index
    QHash<QString, QString> stepLabels;            // StepKey -> the step's label
    QVector<StepEvent> steps;                      // the steps ended, in order
    std::optional<RunEnd> end;

    static QString StepKey(int slot, const QString &path) { return QString::number(slot) + QLatin1Char('/') + path; }
    QString stepLabel(int slot, const QString &path) const { return stepLabels.value(StepKey(slot, path)); }
    // The slot's verdict, or what a slot that never ended counts as.
    Verdict verdict(int slot) const;
    Verdict overall() const;
    QDateTime endTime() const;
    // The plan's checks the slot ended without judging (none while it still
    // runs), in plan order, and the reason the reports give for them.
    QVector<PlannedCheck> unreached(int slot) const;
    QString unreachedReason(int slot) const;
};

// A report file written through an XML writer: open() raises SystemError
// naming the file and the cause, and so does close() when a write failed
// (a full disk).
class XmlReportFile
{
public:
    explicit XmlReportFile(const QString &path);
    QXmlStreamWriter &xml() { return m_xml; }
    void close();

private:
    QFile m_file;
    QXmlStreamWriter m_xml;
};

// Each writes the whole file and raises SystemError naming the file and the
// cause when it cannot.
void WriteJUnitReport(const QString &path, const RunRecord &run);
void WriteHtmlReport(const QString &path, const RunRecord &run);

// The text with every character XML 1.0 cannot hold replaced by U+FFFD.
QString XmlSafe(QString text);

// "psusim,Reference DMM,SIM-DMM-1,1.0, calibration due 2027-06-30", and that
// it was past due when it was.
QString ReferenceText(const ReferenceUsed &reference);

// A check's value or limit with the check's decimals; "" for no limit.
QString CheckNumber(const CheckResult &check, std::optional<double> value);
// "12.000 V in [11.88, 12.12] V", the judgement of a check in one line: the
// value with the check's decimals, the limits as judged.
QString CheckSummary(const CheckResult &check);
