#include "link/csvlines.h"

#include <QLocale>

QVector<CsvLine> CsvDataLines(const QString &text)
{
    QVector<CsvLine> data;
    bool headerAllowed = true;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        QStringList fields = line.split(QLatin1Char(','));
        for (QString &field : fields)
            field = field.trimmed();
        bool firstIsNumber = false;
        QLocale::c().toDouble(fields.first(), &firstIsNumber);
        const bool header = headerAllowed && !firstIsNumber;
        headerAllowed = false;
        if (!header)
            data.append({i + 1, lines.at(i), fields});
    }
    return data;
}
