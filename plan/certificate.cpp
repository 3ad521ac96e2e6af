#include "plan/certificate.h"

#include "plan/autocal.h"

#include <QDir>
#include <QSaveFile>

namespace {

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

QString number(double value, int decimals = 5)
{
    return QString::number(value, 'f', decimals);
}

QString signedNumber(double value)
{
    return (value >= 0 ? QStringLiteral("+") : QString()) + number(value);
}

QString row(const QStringList &cells, const char *tag = "td")
{
    QString html = QStringLiteral("<tr>");
    for (const QString &cell : cells)
        html += QStringLiteral("<%1>%2</%1>").arg(QLatin1String(tag), cell);
    return html + QStringLiteral("</tr>\n");
}

QString sweepTable(const QString &title, const QVector<CalibrationPoint> &sweep, const QString &unit)
{
    QString html = QStringLiteral("<h2>%1: %2</h2>\n<table class=\"points\">\n").arg(title, QLatin1String(AcceptanceWord(SweepVerdict(sweep))));
    QStringList heads;
    for (const char *head : {"Nominal", "Reference", "Supply read-back", "Error", "Tolerance", "U"})
        heads.append(QStringLiteral("%1 (%2)").arg(QLatin1String(head), unit));
    html += row(heads + QStringList{QStringLiteral("k"), QStringLiteral("Verdict")}, "th");
    for (const CalibrationPoint &p : sweep)
        html += row({number(p.nominal, 3), number(p.reference), number(p.supply, 3), signedNumber(p.error),
                     QStringLiteral("±") + number(p.tolerance, 4), number(p.budget.expanded), QString::number(p.budget.coverage),
                     QStringLiteral("<b class=\"%1\">%1</b>").arg(QLatin1String(AcceptanceWord(p.verdict)))});
    return html + QStringLiteral("</table>\n");
}

QString code(const std::optional<int> &value, int base)
{
    if (!value)
        return QStringLiteral("none");
    return QStringLiteral("%1 (correction %2)").arg(*value).arg(CorrectionOfCode(*value, base));
}

void save(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        RaiseError(QStringLiteral("%1: %2").arg(path, file.errorString()));
}

} // namespace

QString CertificateHtml(const CalibrationRecord &r)
{
    const CalibratedTraits &traits = r.traits();
    const QString unit = QLatin1String(traits.unit);
    const QString correction = QLatin1String(traits.registerName);
    const bool amps = r.quantity == CalibratedQuantity::Current;
    QString html = QStringLiteral(
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>Calibration certificate %1</title>\n"
        "<style>\n@page { size: A4; margin: 18mm 15mm; }\n"
        "body { font-family: sans-serif; font-size: 10pt; color: #000; max-width: 180mm; margin: auto; }\n"
        "h1 { font-size: 16pt; margin-bottom: 2mm; } h2 { font-size: 12pt; margin: 6mm 0 2mm; }\n"
        "table { border-collapse: collapse; width: 100%; page-break-inside: avoid; }\n"
        "th, td { border: 0.3mm solid #888; padding: 1mm 2mm; text-align: left; }\n"
        "table.points td { text-align: right; font-variant-numeric: tabular-nums; }\n"
        ".PASS { color: #060; } .FAIL { color: #a00; } .CONDITIONAL { color: #a60; }\n"
        ".status { font-size: 13pt; } .note { font-style: italic; }\n</style></head><body>\n"
        "<h1>Calibration certificate</h1>\n<p>%1</p>\n")
                       .arg(escaped(r.id));
    html += QStringLiteral("<p class=\"status\">Result: <b class=\"%1\">%1</b>%2</p>\n")
                .arg(QLatin1String(CalibrationStatusWord(r.status)),
                     r.cause.isEmpty() ? QString() : QStringLiteral(" — ") + escaped(r.cause));
    html += QStringLiteral("<h2>Item calibrated</h2>\n<table>\n");
    html += row({QStringLiteral("Power supply"), escaped(r.model)});
    html += row({QStringLiteral("Bus address"), QString::number(r.address)});
    html += row({QStringLiteral("Serial number"), r.serial.isEmpty() ? QStringLiteral("not given") : escaped(r.serial)});
    html += row({QStringLiteral("Quantity"), QStringLiteral("output %1 (DC)").arg(QLatin1String(traits.name))});
    html += row({QStringLiteral("Accuracy judged against"), escaped(r.accuracyText)});
    html += QStringLiteral("</table>\n<h2>References</h2>\n<table>\n");
    html += row({QStringLiteral("Name"), QStringLiteral("Identity"), QStringLiteral("Link"), QStringLiteral("Calibration due")}, "th");
    for (const CalibrationReference &ref : r.references)
        html += row({escaped(ref.name), escaped(ref.identity), escaped(ref.link),
                     ref.due ? ref.due->toString(Qt::ISODate) : QStringLiteral("not stated")});
    html += QStringLiteral("</table>\n<h2>Method</h2>\n<table>\n");
    html += row({QStringLiteral("Points"), QStringLiteral("%1, from 10 % to 90 % of the %2 limit").arg(r.points).arg(QLatin1String(traits.name))});
    if (amps)
        html += row({QStringLiteral("Current"),
                     QStringLiteral("the supply in current limit, its load demanding more than each setting; the "
                                    "current read on the multimeter's current range")});
    html += row({QStringLiteral("Readings per point"), QString::number(r.readings)});
    html += row({QStringLiteral("Settle time"), QStringLiteral("%1 s").arg(r.settleSeconds)});
    html += row({QStringLiteral("Decision rule"),
                 r.rule == DecisionRule::Simple
                     ? QStringLiteral("simple acceptance when the test uncertainty ratio is at least 4, otherwise guarded "
                                      "by U")
                     : QStringLiteral("guarded acceptance: the limits narrowed by U")});
    html += row({QStringLiteral("Uncertainty"),
                 QStringLiteral("expanded, U = k·u<sub>c</sub> with k = 2: the reference's accuracy and resolution, "
                                "the repeatability of the readings and the supply's resolution")});
    html += QStringLiteral("</table>\n");
    if (!r.environment.isEmpty()) {
        html += QStringLiteral("<h2>Environment</h2>\n<table>\n");
        for (const auto &[key, value] : r.environment)
            html += row({escaped(key), escaped(value)});
        html += QStringLiteral("</table>\n");
    }
    if (r.asFound.isEmpty())
        html += QStringLiteral("<h2>As found</h2>\n<p class=\"note\">Not measured.</p>\n");
    else
        html += sweepTable(QStringLiteral("As found"), r.asFound, unit);
    html += QStringLiteral("<h2>Correction</h2>\n<table>\n");
    html += row({correction + QStringLiteral(" as found"), code(r.codeFound, traits.base)});
    html += row({QStringLiteral("One correction step, as measured"),
                 r.step ? signedNumber(*r.step) + QLatin1Char(' ') + unit : QStringLiteral("not measured")});
    html += row({correction + QStringLiteral(" written"), code(r.codeLeft, traits.base)});
    html += QStringLiteral("</table>\n");
    if (r.asLeftMeasured())
        html += sweepTable(QStringLiteral("As left"), r.asLeft, unit);
    else
        html += QStringLiteral("<h2>As left</h2>\n<p class=\"note\">Not measured: the calibration ended %1.</p>\n")
                    .arg(QLatin1String(CalibrationStatusWord(r.status)));
    html += QStringLiteral("<h2>Signature</h2>\n<table>\n");
    html += row({QStringLiteral("Station"), escaped(r.station)});
    html += row({QStringLiteral("Operator"), escaped(r.operatorName)});
    html += row({QStringLiteral("Started"), r.started.toString(Qt::ISODate)});
    html += row({QStringLiteral("Finished"), r.finished.toString(Qt::ISODate)});
    html += row({QStringLiteral("Signed"), QString()});
    return html + QStringLiteral("</table>\n</body></html>\n");
}

QStringList WriteCertificate(const CalibrationRecord &record, const QString &dir)
{
    if (!QDir().mkpath(dir))
        RaiseError(QStringLiteral("%1: cannot make the folder").arg(dir));
    const QString base = QDir(dir).filePath(record.id);
    save(base + QStringLiteral(".json"), CalibrationJson(record));
    save(base + QStringLiteral(".html"), CertificateHtml(record).toUtf8());
    return {base + QStringLiteral(".html"), base + QStringLiteral(".json")};
}
