#include "plan/planresults.h"

#include <algorithm>

QString VerdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Pass:
        return QStringLiteral("PASS");
    case Verdict::Fail:
        return QStringLiteral("FAIL");
    case Verdict::Error:
        return QStringLiteral("ERROR");
    case Verdict::Aborted:
        return QStringLiteral("ABORTED");
    case Verdict::Conditional:
        return QStringLiteral("CONDITIONAL");
    }
    return QStringLiteral("ERROR");
}

std::optional<double> CheckResult::margin() const
{
    std::optional<double> nearest;
    if (low)
        nearest = value - *low;
    if (high)
        nearest = nearest ? std::min(*nearest, *high - value) : *high - value;
    return nearest;
}

QString LimitText(std::optional<double> limit)
{
    return limit ? QString::number(*limit, 'g', 15) : QString();
}

QString CheckResult::word() const
{
    return VerdictText(passed ? Verdict::Pass : conditional ? Verdict::Conditional : Verdict::Fail);
}
