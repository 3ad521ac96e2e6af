#include "plan/planresults.h"

#include <algorithm>
#include <limits>

QString VerdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Pass: return QStringLiteral("PASS");
    case Verdict::Fail: return QStringLiteral("FAIL");
    case Verdict::Error: return QStringLiteral("ERROR");
    case Verdict::Aborted: return QStringLiteral("ABORTED");
    }
    return QStringLiteral("ERROR");
}

std::optional<double> CheckResult::margin() const
{
    if (!low && !high)
        return std::nullopt;
    double nearest = std::numeric_limits<double>::infinity();
    if (low)
        nearest = std::min(nearest, value - *low);
    if (high)
        nearest = std::min(nearest, *high - value);
    return nearest;
}
