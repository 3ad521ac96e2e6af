#include "ctl/values.h"

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
