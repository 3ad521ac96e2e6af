// The run as one HTML page that needs nothing beside it: the styles are in
// the page and the plots are inline SVG, so the file can be mailed or kept
// as it is. It is written as XHTML, so that any XML reader can check it.

#include "link/systemerror.h"
#include "plan/runrecord.h"

#include <QFile>
#include <QXmlStreamWriter>
#include <cmath>

namespace {

const char Style[] = R"(
body { font: 14px/1.45 "Noto Sans", "WenQuanYi Micro Hei", "Microsoft YaHei", Arial, sans-serif; color: #1d2430; margin: 24px auto; max-width: 1100px; padding: 0 16px; }
header { display: flex; align-items: center; justify-content: space-between; border-bottom: 3px solid #c9d1dc; padding-bottom: 10px; }
h1 { font-size: 24px; margin: 0; }
h1 .version { color: #5b6675; font-weight: normal; font-size: 18px; margin-left: 8px; }
h2 { font-size: 18px; margin: 28px 0 8px; }
table { border-collapse: collapse; }
th, td { padding: 3px 10px; text-align: left; border-bottom: 1px solid #e3e7ed; white-space: nowrap; }
td.cause { white-space: normal; }
th { background: #f1f4f8; font-weight: 600; }
td.num { text-align: right; font-variant-numeric: tabular-nums; font-family: "DejaVu Sans Mono", Consolas, monospace; }
table.info th { background: none; color: #5b6675; font-weight: normal; }
table.checks { width: 100%; }
.verdict { display: inline-block; padding: 1px 10px; border-radius: 4px; color: #fff; font-weight: 700; letter-spacing: 0.05em; }
header .verdict { font-size: 28px; padding: 4px 22px; }
.PASS { background: #1e8e3e; } .FAIL { background: #d93025; } .ERROR { background: #e37400; } .ABORTED { background: #6b7280; } .CONDITIONAL { background: #b45309; }
.SKIPPED { background: #9aa5b4; }
tr.failed td { background: #fdecea; }
tr.skipped td { color: #7a8594; }
p.noreadings { margin: 6px 0 12px; padding: 18px 0; text-align: center; color: #7a8594; border: 1px solid #e3e7ed; }
td.negative { color: #d93025; font-weight: 600; }
svg { display: block; margin: 6px 0 12px; background: #fff; border: 1px solid #e3e7ed; }
svg text { font: 11px Arial, sans-serif; fill: #3c4654; }
svg text.volts { fill: #1a73e8; font-weight: 700; } svg text.amps { fill: #e8710a; font-weight: 700; }
details { margin: 8px 0 4px; } summary { cursor: pointer; color: #3c4654; }
table.steps { margin-top: 6px; }
footer { margin-top: 32px; color: #7a8594; font-size: 12px; }
)";

const QString VoltageColour = QStringLiteral("#1a73e8");
const QString CurrentColour = QStringLiteral("#e8710a");

// A step of 1, 2 or 5 times a power of ten that cuts span into about count parts.
double tickStep(double span, int count)
{
    if (span <= 0)
        return 1;
    const double raw = span / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (raw <= factor * power)
            return factor * power;
    }
    return 10 * power;
}

QString number(double value, int decimals = 1)
{
    return QString::number(value, 'f', decimals);
}

class Page
{
public:
    explicit Page(QXmlStreamWriter &xml)
        : m_xml(xml)
    {
    }

    void start(const QString &name, std::initializer_list<std::pair<QString, QString>> attributes = {})
    {
        m_xml.writeStartElement(name);
        for (const auto &attribute : attributes)
            m_xml.writeAttribute(attribute.first, attribute.second);
    }
    void end() { m_xml.writeEndElement(); }
    void element(const QString &name, const QString &text, std::initializer_list<std::pair<QString, QString>> attributes = {})
    {
        start(name, attributes);
        m_xml.writeCharacters(text);
        end();
    }
    void text(const QString &text) { m_xml.writeCharacters(text); }
    void cell(const QString &text, const QString &cls = QString())
    {
        if (cls.isEmpty())
            element(QStringLiteral("td"), text);
        else
            element(QStringLiteral("td"), text, {{QStringLiteral("class"), cls}});
    }
    void verdict(Verdict verdict) { verdictWord(VerdictText(verdict)); }
    void verdictWord(const QString &word)
    {
        element(QStringLiteral("span"), word, {{QStringLiteral("class"), QStringLiteral("verdict ") + word}});
    }
    void headerRow(const QStringList &names)
    {
        start(QStringLiteral("tr"));
        for (const QString &name : names)
            element(QStringLiteral("th"), name);
        end();
    }
    void infoRow(const QString &name, const QString &value)
    {
        start(QStringLiteral("tr"));
        element(QStringLiteral("th"), name);
        cell(value);
        end();
    }

    void plot(const QVector<PlotPoint> &points);
    void steps(const RunRecord &run, int slot);

private:
    QXmlStreamWriter &m_xml;
};

// The slot's output voltage above its output current, on one time axis.
// Many readings are cut to the first, lowest, highest and last of each pixel
// column, which draws the same line.
void Page::plot(const QVector<PlotPoint> &points)
{
    // Without a reading there is nothing to draw: empty axes would only
    // crowd their labels.
    if (points.isEmpty()) {
        element(QStringLiteral("p"), QStringLiteral("no readings"), {{QStringLiteral("class"), QStringLiteral("noreadings")}});
        return;
    }
    const int width = 1060, left = 56, right = 16, top = 12, panelHeight = 110, gap = 18, bottom = 34;
    const int plotWidth = width - left - right;
    const int height = top + 2 * panelHeight + gap + bottom;
    qint64 lastMs = 1;
    double maxVolts = 0, maxAmps = 0;
    for (const PlotPoint &point : points) {
        lastMs = std::max(lastMs, point.ms);
        maxVolts = std::max(maxVolts, point.volts);
        maxAmps = std::max(maxAmps, point.amps);
    }
    // The time axis ends on a tick.
    const double timeStep = tickStep(lastMs / 1000.0, 8);
    const double seconds = std::ceil(lastMs / 1000.0 / timeStep) * timeStep;
    auto x = [&](qint64 ms) { return left + plotWidth * double(ms) / (seconds * 1000); };

    start(QStringLiteral("svg"), {{QStringLiteral("xmlns"), QStringLiteral("http://www.w3.org/2000/svg")},
                                  {QStringLiteral("width"), QString::number(width)},
                                  {QStringLiteral("height"), QString::number(height)},
                                  {QStringLiteral("viewBox"), QStringLiteral("0 0 %1 %2").arg(width).arg(height)},
                                  {QStringLiteral("role"), QStringLiteral("img")}});

    auto panel = [&](int panelTop, double maximum, bool volts) {
        const double step = tickStep(maximum > 0 ? maximum : 1, 4);
        const double axisTop = std::max(1.0, std::ceil(maximum * 1.05 / step)) * step;
        auto y = [&](double value) { return panelTop + panelHeight * (1 - value / axisTop); };
        for (double v = 0; v <= axisTop + step / 2; v += step) {
            const QString lineY = number(y(v));
            start(QStringLiteral("line"), {{QStringLiteral("x1"), QString::number(left)},
                                           {QStringLiteral("x2"), QString::number(left + plotWidth)},
                                           {QStringLiteral("y1"), lineY},
                                           {QStringLiteral("y2"), lineY},
                                           {QStringLiteral("stroke"), QStringLiteral("#e3e7ed")}});
            end();
            element(QStringLiteral("text"), QString::number(v, 'g', 4),
                    {{QStringLiteral("x"), QString::number(left - 6)},
                     {QStringLiteral("y"), number(y(v) + 4)},
                     {QStringLiteral("text-anchor"), QStringLiteral("end")}});
        }
        start(QStringLiteral("rect"), {{QStringLiteral("x"), QString::number(left)},
                                       {QStringLiteral("y"), QString::number(panelTop)},
                                       {QStringLiteral("width"), QString::number(plotWidth)},
                                       {QStringLiteral("height"), QString::number(panelHeight)},
                                       {QStringLiteral("fill"), QStringLiteral("none")},
                                       {QStringLiteral("stroke"), QStringLiteral("#9aa5b4")}});
        end();
        element(QStringLiteral("text"), volts ? QStringLiteral("voltage (V)") : QStringLiteral("current (A)"),
                {{QStringLiteral("x"), QString::number(left + 8)}, {QStringLiteral("y"), QString::number(panelTop + 14)},
                 {QStringLiteral("class"), volts ? QStringLiteral("volts") : QStringLiteral("amps")}});
        auto value = [&](const PlotPoint &point) { return volts ? point.volts : point.amps; };
        QString coordinates;
        coordinates.reserve(std::min<qsizetype>(points.size(), 4 * plotWidth) * 14);
        auto add = [&](const PlotPoint &point) {
            coordinates += number(x(point.ms));
            coordinates += QLatin1Char(',');
            coordinates += number(y(value(point)));
            coordinates += QLatin1Char(' ');
        };
        if (points.size() <= 4 * plotWidth) {
            for (const PlotPoint &point : points)
                add(point);
        } else {
            int i = 0;
            while (i < points.size()) {
                const int column = int(x(points.at(i).ms));
                int first = i, low = i, high = i, last = i;
                while (i < points.size() && int(x(points.at(i).ms)) == column) {
                    if (value(points.at(i)) < value(points.at(low)))
                        low = i;
                    if (value(points.at(i)) > value(points.at(high)))
                        high = i;
                    last = i++;
                }
                add(points.at(first));
                add(points.at(std::min(low, high)));
                add(points.at(std::max(low, high)));
                add(points.at(last));
            }
        }
        start(QStringLiteral("polyline"), {{QStringLiteral("points"), coordinates.trimmed()},
                                           {QStringLiteral("fill"), QStringLiteral("none")},
                                           {QStringLiteral("stroke"), volts ? VoltageColour : CurrentColour},
                                           {QStringLiteral("stroke-width"), QStringLiteral("1.5")}});
        end();
    };
    panel(top, maxVolts, true);
    panel(top + panelHeight + gap, maxAmps, false);

    const int axisY = top + 2 * panelHeight + gap;
    for (double t = 0; t <= seconds + timeStep / 2; t += timeStep) {
        element(QStringLiteral("text"), QString::number(t, 'g', 6),
                {{QStringLiteral("x"), number(x(qint64(t * 1000)))},
                 {QStringLiteral("y"), QString::number(axisY + 16)},
                 {QStringLiteral("text-anchor"), QStringLiteral("middle")}});
    }
    element(QStringLiteral("text"), QStringLiteral("time (s)"),
            {{QStringLiteral("x"), QString::number(left + plotWidth)}, {QStringLiteral("y"), QString::number(height - 2)},
             {QStringLiteral("text-anchor"), QStringLiteral("end")}});
    end();
}

// The slot's steps as they ran, folded: when each started, how long the plan
// asked for and how long it took, and why a long step ended.
void Page::steps(const RunRecord &run, int slot)
{
    int count = 0;
    for (const StepEvent &step : run.steps)
        count += step.slot == slot ? 1 : 0;
    if (count == 0)
        return;
    start(QStringLiteral("details"));
    element(QStringLiteral("summary"), QStringLiteral("Steps (%1)").arg(count));
    start(QStringLiteral("table"), {{QStringLiteral("class"), QStringLiteral("steps")}});
    headerRow({QStringLiteral("Step"), QStringLiteral("Kind"), QStringLiteral("Name"), QStringLiteral("Start (s)"),
               QStringLiteral("Planned (s)"), QStringLiteral("Actual (s)"), QStringLiteral("Ended by")});
    for (const StepEvent &step : run.steps) {
        if (step.slot != slot)
            continue;
        start(QStringLiteral("tr"));
        cell(step.path);
        cell(step.kind);
        cell(step.label);
        cell(number(run.info.start.msecsTo(step.started) / 1000.0, 3), QStringLiteral("num"));
        cell(step.plannedMs > 0 ? number(step.plannedMs / 1000.0, 3) : QString(), QStringLiteral("num"));
        cell(number(step.actualMs / 1000.0, 3), QStringLiteral("num"));
        cell(step.stopReason);
        end();
    }
    end();
    end();
}

QString duration(qint64 ms)
{
    const qint64 s = std::max<qint64>(ms, 0) / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

void WriteHtmlReport(const QString &path, const RunRecord &run)
{
    const RunInfo &info = run.info;
    const int slotCount = info.slotList.size();
    QVector<QVector<const CheckResult *>> bySlot(slotCount);
    for (const CheckResult &check : run.checks) {
        if (check.slot >= 0 && check.slot < slotCount)
            bySlot[check.slot].append(&check);
    }

    XmlReportFile file(path);
    QXmlStreamWriter &xml = file.xml();
    Page page(xml);
    xml.writeDTD(QStringLiteral("<!DOCTYPE html>"));
    page.start(QStringLiteral("html"), {{QStringLiteral("xmlns"), QStringLiteral("http://www.w3.org/1999/xhtml")},
                                        {QStringLiteral("lang"), QStringLiteral("en")}});
    page.start(QStringLiteral("head"));
    page.start(QStringLiteral("meta"), {{QStringLiteral("charset"), QStringLiteral("utf-8")}});
    page.end();
    const Verdict overall = run.overall();
    page.element(QStringLiteral("title"), QStringLiteral("%1 %2: %3").arg(info.planName, info.planVersion, VerdictText(overall)));
    page.element(QStringLiteral("style"), QString::fromUtf8(Style));
    page.end();

    page.start(QStringLiteral("body"));
    page.start(QStringLiteral("header"));
    page.start(QStringLiteral("h1"));
    page.text(info.planName);
    page.element(QStringLiteral("span"), info.planVersion, {{QStringLiteral("class"), QStringLiteral("version")}});
    page.end();
    page.verdict(overall);
    page.end();

    const QDateTime end = run.endTime();
    page.start(QStringLiteral("table"), {{QStringLiteral("class"), QStringLiteral("info")}});
    page.infoRow(QStringLiteral("Plan file"), info.planFile);
    page.infoRow(QStringLiteral("Serials"), [&] {
        QStringList serials;
        for (const SlotInfo &slot : info.slotList)
            serials << slot.serial;
        return serials.join(QStringLiteral(", "));
    }());
    page.infoRow(QStringLiteral("Operator"), info.operatorName);
    page.infoRow(QStringLiteral("Station"), info.station);
    page.infoRow(QStringLiteral("Port"), info.port);
    page.infoRow(QStringLiteral("Tool version"), info.toolVersion);
    page.infoRow(QStringLiteral("Start"), IsoTime(info.start));
    page.infoRow(QStringLiteral("End"), end.isValid() ? IsoTime(end) : QString());
    page.infoRow(QStringLiteral("Duration"), duration(info.start.msecsTo(end)));
    page.infoRow(QStringLiteral("Run"), info.runId);
    if (!info.stationFile.isEmpty())
        page.infoRow(QStringLiteral("Station file"), info.stationFile);
    for (const ReferenceUsed &reference : info.references)
        page.infoRow(QStringLiteral("Reference ") + reference.name, ReferenceText(reference));
    page.end();

    page.element(QStringLiteral("h2"), QStringLiteral("Slots"));
    page.start(QStringLiteral("table"), {{QStringLiteral("class"), QStringLiteral("slots")}});
    page.headerRow({QStringLiteral("Slot"), QStringLiteral("Address"), QStringLiteral("Model"), QStringLiteral("Serial"),
                    QStringLiteral("Verdict"), QStringLiteral("Checks"), QStringLiteral("Failed"),
                    QStringLiteral("Not reached"), QStringLiteral("Cause")});
    for (int slot = 0; slot < slotCount; ++slot) {
        const SlotInfo &unit = info.slotList.at(slot);
        const std::optional<SlotVerdict> &verdict = run.verdicts.at(slot);
        int failed = 0;
        for (const CheckResult *check : bySlot.at(slot))
            failed += check->passed ? 0 : 1;
        page.start(QStringLiteral("tr"));
        page.start(QStringLiteral("td"));
        page.element(QStringLiteral("a"), unit.name, {{QStringLiteral("href"), QStringLiteral("#slot-%1").arg(slot)}});
        page.end();
        page.cell(QString::number(unit.address), QStringLiteral("num"));
        page.cell(unit.model);
        page.cell(unit.serial);
        page.start(QStringLiteral("td"));
        page.verdict(run.verdict(slot));
        page.end();
        page.cell(QString::number(bySlot.at(slot).size()), QStringLiteral("num"));
        page.cell(QString::number(failed), QStringLiteral("num"));
        page.cell(QString::number(run.unreached(slot).size()), QStringLiteral("num"));
        page.cell(verdict ? verdict->cause : QString(), QStringLiteral("cause"));
        page.end();
    }
    page.end();

    for (int slot = 0; slot < slotCount; ++slot) {
        const SlotInfo &unit = info.slotList.at(slot);
        page.start(QStringLiteral("section"), {{QStringLiteral("id"), QStringLiteral("slot-%1").arg(slot)}});
        page.start(QStringLiteral("h2"));
        page.text(QStringLiteral("Slot %1: %2 (%3, address %4) ").arg(unit.name, unit.serial, unit.model).arg(unit.address));
        page.verdict(run.verdict(slot));
        page.end();
        page.plot(run.readings.at(slot));
        page.start(QStringLiteral("table"), {{QStringLiteral("class"), QStringLiteral("checks")}});
        page.headerRow({QStringLiteral("Step"), QStringLiteral("Check"), QStringLiteral("Quantity"), QStringLiteral("Value"),
                        QStringLiteral("Low"), QStringLiteral("High"), QStringLiteral("Unit"), QStringLiteral("Margin"),
                        QStringLiteral("Verdict")});
        for (const CheckResult *check : bySlot.at(slot)) {
            const std::optional<double> margin = check->margin();
            const QString label = run.stepLabel(slot, check->path);
            page.start(QStringLiteral("tr"), {{QStringLiteral("class"), check->passed ? QStringLiteral("passed") : QStringLiteral("failed")}});
            page.cell(label.isEmpty() ? check->path : QStringLiteral("%1 %2").arg(check->path, label));
            page.cell(check->name);
            page.cell(check->statistic.isEmpty() ? check->quantity : QStringLiteral("%1 %2").arg(check->statistic, check->quantity));
            page.cell(CheckNumber(*check, check->value), QStringLiteral("num"));
            page.cell(LimitText(check->low), QStringLiteral("num"));
            page.cell(LimitText(check->high), QStringLiteral("num"));
            page.cell(check->unit);
            page.cell(CheckNumber(*check, margin), margin && *margin < 0 ? QStringLiteral("num negative") : QStringLiteral("num"));
            page.start(QStringLiteral("td"));
            page.verdictWord(check->word());
            if (!check->reference.isEmpty())
                page.element(QStringLiteral("span"), QStringLiteral(" U = %1 %2, k = %3 (%4)")
                                                         .arg(QString::number(check->expanded, 'g', 2), check->unit,
                                                              QString::number(check->coverage, 'g', 3), check->reference),
                             {{QStringLiteral("class"), QStringLiteral("uncertainty")}});
            page.end();
            page.end();
        }
        const QString reason = run.unreachedReason(slot);
        for (const PlannedCheck &check : run.unreached(slot)) {
            page.start(QStringLiteral("tr"), {{QStringLiteral("class"), QStringLiteral("skipped")}, {QStringLiteral("title"), reason}});
            page.cell(check.stepLabel.isEmpty() ? check.path : QStringLiteral("%1 %2").arg(check.path, check.stepLabel));
            page.cell(check.name);
            page.cell(check.statistic.isEmpty() ? check.quantity : QStringLiteral("%1 %2").arg(check.statistic, check.quantity));
            page.cell(QString(), QStringLiteral("num"));
            page.cell(LimitText(check.low), QStringLiteral("num"));
            page.cell(LimitText(check.high), QStringLiteral("num"));
            page.cell(check.unit);
            page.cell(QString(), QStringLiteral("num"));
            page.start(QStringLiteral("td"));
            page.verdictWord(QStringLiteral("SKIPPED"));
            page.end();
            page.end();
        }
        page.end();
        page.steps(run, slot);
        page.end();
    }

    page.element(QStringLiteral("footer"), QStringLiteral("Written by psutool %1 on %2.").arg(info.toolVersion, info.station));
    page.end();
    page.end();
    file.close();
}
