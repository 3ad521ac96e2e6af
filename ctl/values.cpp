#include "ctl/values.h"

#include "link/modelcatalogue.h"

#include <cmath>

Setpoint ConvertSetpoint(double value, quint16 scale, quint16 limit, int decimals, const char *unit)
{
    Setpoint setpoint;
    setpoint.raw = ScaledSetpoint(value, scale, limit);
    const QString sent = FormatScaled(setpoint.raw, scale, decimals) + QLatin1Char(' ') + QLatin1String(unit);
    const QString given = PlainNumber(value) + QLatin1Char(' ') + QLatin1String(unit);
    const double product = value * scale;
    if (product > limit)
        setpoint.note = QStringLiteral("%1 is above the limit of %2; sending %2").arg(given, sent);
    else if (std::fabs(product - setpoint.raw) > 1e-6)
        setpoint.note = QStringLiteral("%1 is not a whole number of %2 %3 steps; sending %4")
                            .arg(given, FormatScaled(1, scale, decimals), QLatin1String(unit), sent);
    return setpoint;
}

QString PlainNumber(double value)
{
    return QString::number(value, 'g', 12);
}

void PrintLine(std::FILE *stream, const QString &line)
{
    std::fputs(line.toUtf8().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

QString TimeNow()
{
    return IsoTime(QDateTime::currentDateTime());
}
