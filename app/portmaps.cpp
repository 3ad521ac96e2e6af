#include "app/portmaps.h"

#include "link/commports.h"
#include "link/linkaddress.h"

#include <QMap>
#include <QRegularExpression>

namespace {

// "COM2=rtu+tcp://host:4001" into *maps; the reason when it is not one.
QString readMap(const QString &text, const QString &origin, QMap<int, QString> *maps)
{
    static const QRegularExpression form(QStringLiteral("^\\s*COM(\\d+)\\s*=\\s*(\\S+)\\s*$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(text);
    const auto refuse = [&](const QString &why) { return QStringLiteral("%1 '%2': %3").arg(origin, text, why); };
    if (!match.hasMatch())
        return refuse(QStringLiteral("not COMn=ADDRESS"));
    const int port = match.captured(1).toInt();
    if (port < 1 || port > 255)
        return refuse(QStringLiteral("COM%1 is not COM1 to COM255").arg(port));
    const QString target = match.captured(2);
    if (IsNetworkAddress(target)) {
        LinkAddress address;
        QString why;
        if (!ParseLinkAddress(target, &address, &why))
            return refuse(why);
    } else if (!target.startsWith(QLatin1Char('/'))) {
        return refuse(QStringLiteral("the target is neither tcp://HOST:PORT, rtu+tcp://HOST:PORT nor a device path"));
    }
    maps->insert(port, target);
    return QString();
}

} // namespace

QString ApplyPortMaps(const QStringList &arguments, const QString &environment)
{
    QMap<int, QString> maps;
    for (const QString &item : environment.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString error = readMap(item, QStringLiteral("PSUTOOL_MAP"), &maps);
        if (!error.isEmpty())
            return error;
    }
    // arguments[0] is the program.
    for (qsizetype n = 1; n < arguments.size(); ++n) {
        const QString &argument = arguments.at(n);
        QString value;
        if (argument == QLatin1String("--map")) {
            if (n + 1 >= arguments.size())
                return QStringLiteral("--map needs COMn=ADDRESS");
            value = arguments.at(++n);
        } else if (argument.startsWith(QLatin1String("--map="))) {
            value = argument.mid(6);
        } else {
            continue;
        }
        const QString error = readMap(value, QStringLiteral("--map"), &maps);
        if (!error.isEmpty())
            return error;
    }
    for (auto map = maps.cbegin(); map != maps.cend(); ++map)
        MapCommPort(map.key(), map.value());
    return QString();
}
