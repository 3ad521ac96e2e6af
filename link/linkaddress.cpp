#include "link/linkaddress.h"

#include <QRegularExpression>

namespace {

const QLatin1String kModbusTcp("tcp://");
const QLatin1String kRtuOverTcp("rtu+tcp://");

} // namespace

QString LinkAddress::text() const
{
    if (kind == Serial)
        return host;
    const QString shownHost = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1%2:%3").arg(kind == ModbusTcp ? kModbusTcp : kRtuOverTcp, shownHost).arg(port);
}

bool IsNetworkAddress(const QString &text)
{
    return text.startsWith(kModbusTcp, Qt::CaseInsensitive) || text.startsWith(kRtuOverTcp, Qt::CaseInsensitive);
}

bool ParseLinkAddress(const QString &text, LinkAddress *address, QString *why)
{
    const auto refuse = [why](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    LinkAddress parsed;
    QString rest;
    if (text.startsWith(kModbusTcp, Qt::CaseInsensitive)) {
        parsed.kind = LinkAddress::ModbusTcp;
        rest = text.mid(kModbusTcp.size());
    } else if (text.startsWith(kRtuOverTcp, Qt::CaseInsensitive)) {
        parsed.kind = LinkAddress::RtuOverTcp;
        rest = text.mid(kRtuOverTcp.size());
    } else {
        return refuse(QStringLiteral("not tcp://HOST:PORT or rtu+tcp://HOST:PORT"));
    }
    // A host name or IPv4 address, or an IPv6 address in brackets; then the port.
    static const QRegularExpression hostPort(QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([A-Za-z0-9._-]+))(?::(\\d*))?$"));
    const QRegularExpressionMatch match = hostPort.match(rest);
    if (rest.isEmpty())
        return refuse(QStringLiteral("the host is missing"));
    if (!match.hasMatch())
        return refuse(QStringLiteral("'%1' is not HOST:PORT").arg(rest));
    parsed.host = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
    if (match.captured(3).isEmpty())
        return refuse(QStringLiteral("the port is missing (HOST:PORT)"));
    bool ok = false;
    const uint port = match.captured(3).toUInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return refuse(QStringLiteral("port %1 is not from 1 to 65535").arg(match.captured(3)));
    parsed.port = quint16(port);
    *address = parsed;
    return true;
}
