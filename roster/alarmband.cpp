#include "roster/alarmband.h"

#include "link/systemerror.h"

#include <QCoreApplication>
#include <QLocale>
#include <algorithm>
#include <cmath>

AlarmLevel Worse(AlarmLevel a, AlarmLevel b)
{
    return int(a) >= int(b) ? a : b;
}

void AlarmBand::Set(std::optional<double> minimum, std::optional<double> maximum)
{
    if (minimum && maximum && *minimum > *maximum)
        RaiseError(QCoreApplication::translate("AlarmBand", "报警下限 %1 高于上限 %2：未设定。")
                       .arg(QLocale().toString(*minimum))
                       .arg(QLocale().toString(*maximum)));
    m_min = minimum;
    m_max = maximum;
}

AlarmLevel AlarmBand::Level(double value, double resolution) const
{
    if (!IsSet())
        return AlarmLevel::Normal;
    // Half a count of slack: a reading of 12.00 is at a limit of 12.0 however
    // the decimal numbers round.
    const double slack = resolution / 2;
    if ((m_min && value < *m_min - slack) || (m_max && value > *m_max + slack))
        return AlarmLevel::Outside;
    double width;
    if (m_min && m_max)
        width = *m_max - *m_min;
    else
        width = std::fabs(m_min ? *m_min : *m_max);
    const double margin = std::max(width * NearShare, resolution);
    if ((m_min && value < *m_min + margin + slack) || (m_max && value > *m_max - margin - slack))
        return AlarmLevel::Near;
    return AlarmLevel::Normal;
}
