#include "panels/stationrelay.h"

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QRegularExpression>
#include <QVector>

namespace {

QString stationText(const char *text)
{
    return QCoreApplication::translate("TPLANSTATION", text);
}

QString limitsText(const CheckResult &check)
{
    if (check.low && check.high)
        return QStringLiteral("[%1, %2]").arg(LimitText(check.low), LimitText(check.high));
    if (check.low)
        return QStringLiteral("≥ %1").arg(LimitText(check.low));
    if (check.high)
        return QStringLiteral("≤ %1").arg(LimitText(check.high));
    return QString();
}

// The engine's words for step kinds, in the interface's language.
QString stepKindText(const QString &kind)
{
    static const QHash<QString, const char *> words{
        {QStringLiteral("set"), QT_TRANSLATE_NOOP("TPLANSTATION", "设定")},
        {QStringLiteral("ramp"), QT_TRANSLATE_NOOP("TPLANSTATION", "斜坡")},
        {QStringLiteral("wait"), QT_TRANSLATE_NOOP("TPLANSTATION", "等待")},
        {QStringLiteral("settle"), QT_TRANSLATE_NOOP("TPLANSTATION", "稳定")},
        {QStringLiteral("measure"), QT_TRANSLATE_NOOP("TPLANSTATION", "测量")},
        {QStringLiteral("loop"), QT_TRANSLATE_NOOP("TPLANSTATION", "循环")},
        {QStringLiteral("sweep"), QT_TRANSLATE_NOOP("TPLANSTATION", "扫描")},
        {QStringLiteral("profile"), QT_TRANSLATE_NOOP("TPLANSTATION", "曲线")},
        {QStringLiteral("protection"), QT_TRANSLATE_NOOP("TPLANSTATION", "保护")},
    };
    const auto word = words.constFind(kind);
    return word == words.constEnd() ? kind : stationText(*word);
}

// A step's place in the plan: "3", "4.2[1]", or "finally.1" for the block
// that always runs, whose word is translated.
QString stepPathText(const QString &path)
{
    static const QString finallyPrefix = QStringLiteral("finally");
    if (!path.startsWith(finallyPrefix))
        return path;
    return stationText(QT_TRANSLATE_NOOP("TPLANSTATION", "收尾")) + path.mid(finallyPrefix.size());
}

// The engine's causes, each with the station's text for it. The captured
// parts are causes in their own right ("port lost: address 5: ...").
struct CausePattern {
    QRegularExpression pattern;
    const char *text;
};

const QVector<CausePattern> &causePatterns()
{
    static const QVector<CausePattern> patterns{
        {QRegularExpression(QStringLiteral("^check '(.*)' failed$")),
         QT_TRANSLATE_NOOP("TPLANSTATION", "检查“%1”未通过")},
        {QRegularExpression(QStringLiteral("^aborted$")), QT_TRANSLATE_NOOP("TPLANSTATION", "已中止")},
        {QRegularExpression(QStringLiteral("^port lost$")), QT_TRANSLATE_NOOP("TPLANSTATION", "串口丢失")},
        {QRegularExpression(QStringLiteral("^port lost: (.*)$")), QT_TRANSLATE_NOOP("TPLANSTATION", "串口丢失：%1")},
        {QRegularExpression(QStringLiteral("^output was off before the limit was written$")),
         QT_TRANSLATE_NOOP("TPLANSTATION", "写入限值之前输出已关闭")},
        {QRegularExpression(QStringLiteral("^did not trip within (\\S+) s$")),
         QT_TRANSLATE_NOOP("TPLANSTATION", "%1 s 内保护未动作")},
        {QRegularExpression(QStringLiteral("^'([^']*)': (.*)$")),
         QT_TRANSLATE_NOOP("TPLANSTATION", "步骤“%1”：%2")},
        {QRegularExpression(QStringLiteral("^address (\\d+): no valid reply to the (.*) in (\\d+) tr(?:y|ies) \\((.*)\\)$")),
         QT_TRANSLATE_NOOP("TPLANSTATION", "地址 %1：%2 试了 %3 次，无有效应答（%4）")},
        {QRegularExpression(QStringLiteral("^no reply within (\\S+) ms$")),
         QT_TRANSLATE_NOOP("TPLANSTATION", "%1 ms 内无应答")},
        {QRegularExpression(QStringLiteral("^address (\\d+): the (.*) was refused with exception (\\d+), (.*)$")),
         QT_TRANSLATE_NOOP("TPLANSTATION", "地址 %1：%2 被拒绝，异常 %3（%4）")},
        {QRegularExpression(QStringLiteral("^address (\\d+): (\\S+) holds (\\d+) after the write of (.*)$")),
         QT_TRANSLATE_NOOP("TPLANSTATION", "地址 %1：写入 %4 后 %2 为 %3")},
        {QRegularExpression(QStringLiteral("^(.*): reference '(.*)' was due for calibration on (\\S+) "
                                           "\\(--allow-expired runs with it all the same\\)$")),
         QT_TRANSLATE_NOOP("TPLANSTATION", "%1：参考仪器“%2”的校准已于 %3 到期（勾选“允许使用过期参考仪器”可照常测试）")},
        {QRegularExpression(QStringLiteral("^(.*): the plan uses reference '(.*)', which the station does not declare$")),
         QT_TRANSLATE_NOOP("TPLANSTATION", "%1：计划使用的参考仪器“%2”不在工位文件中")},
        {QRegularExpression(QStringLiteral("^(.*): reference '(.*)' is a (\\S+); the plan uses it as a (\\S+)$")),
         QT_TRANSLATE_NOOP("TPLANSTATION", "%1：参考仪器“%2”是 %3，计划把它当作 %4 使用")},
        {QRegularExpression(QStringLiteral("^reference '([^']*)': (.*)$")),
         QT_TRANSLATE_NOOP("TPLANSTATION", "参考仪器“%1”：%2")},
    };
    return patterns;
}
} // namespace

QString StationCauseText(const QString &cause)
{
    for (const CausePattern &known : causePatterns()) {
        const QRegularExpressionMatch match = known.pattern.match(cause);
        if (!match.hasMatch())
            continue;
        QString text = stationText(known.text);
        for (int part = 1; part <= match.lastCapturedIndex(); ++part)
            text = text.arg(StationCauseText(match.captured(part)));
        return text;
    }
    return cause;
}

QString StationReferencesText(const QString &stationFile, const QVector<ReferenceUsed> &references)
{
    if (stationFile.isEmpty())
        return stationText(QT_TRANSLATE_NOOP("TPLANSTATION", "参考仪器：未选择工位文件"));
    QStringList shown;
    for (const ReferenceUsed &reference : references) {
        const QString due = reference.calibrationDue.isValid()
                                ? stationText(QT_TRANSLATE_NOOP("TPLANSTATION", "校准到期 %1"))
                                      .arg(reference.calibrationDue.toString(Qt::ISODate))
                                : stationText(QT_TRANSLATE_NOOP("TPLANSTATION", "未给出校准到期日"));
        QString text = reference.identity.isEmpty()
                           ? stationText(QT_TRANSLATE_NOOP("TPLANSTATION", "%1（%2）：%3")).arg(reference.name, reference.kind, due)
                           : stationText(QT_TRANSLATE_NOOP("TPLANSTATION", "%1：%2，%3")).arg(reference.name, reference.identity, due);
        if (reference.expired)
            text += stationText(QT_TRANSLATE_NOOP("TPLANSTATION", "，已过期"));
        shown << text;
    }
    return stationText(QT_TRANSLATE_NOOP("TPLANSTATION", "参考仪器（%1）：%2"))
        .arg(QDir::toNativeSeparators(stationFile), shown.join(QStringLiteral(" · ")));
}

void TStationRelay::runStarted(const RunInfo &info)
{
    emit started();
    if (!info.stationFile.isEmpty())
        emit references(StationReferencesText(info.stationFile, info.references));
}

void TStationRelay::stepStarted(const StepEvent &event)
{
    // A step without a name of its own in the plan is labelled by its kind.
    const QString path = stepPathText(event.path);
    const QString kind = stepKindText(event.kind);
    const QString text = event.label.isEmpty() || event.label == event.kind
                             ? stationText(QT_TRANSLATE_NOOP("TPLANSTATION", "%1 %2")).arg(path, kind)
                             : stationText(QT_TRANSLATE_NOOP("TPLANSTATION", "%1 %2（%3）")).arg(path, event.label, kind);
    emit step(event.slot, text);
}

void TStationRelay::reading(const ReadingEvent &event)
{
    emit sample(event.slot, event.sample);
}

void TStationRelay::checkJudged(const CheckResult &result)
{
    // The plan's name for the check, the value judged and its limits.
    const QString value = QString::number(result.value, 'f', result.decimals) + QLatin1Char(' ') + result.unit;
    const QString limits = limitsText(result);
    const QString text = limits.isEmpty()
                             ? stationText(QT_TRANSLATE_NOOP("TPLANSTATION", "%1：%2")).arg(result.name, value)
                             : stationText(QT_TRANSLATE_NOOP("TPLANSTATION", "%1：%2，限值 %3"))
                                   .arg(result.name, value, limits);
    emit check(result.slot, text, result.passed);
}

void TStationRelay::slotFinished(const SlotVerdict &verdict)
{
    emit finished(verdict.slot, int(verdict.verdict), StationCauseText(verdict.cause));
}
