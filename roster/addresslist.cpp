#include "roster/addresslist.h"

#include "link/systemerror.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>

namespace {

[[noreturn]] void unreadable(const QString &piece)
{
    RaiseError(QCoreApplication::translate("AddressList", "无法识别“%1”：请输入地址或地址范围，以逗号分隔，例如 1,5,17 或 1-4,9。")
                   .arg(piece));
}

// digits holds one to six decimal digits.
int parseAddress(const QString &digits)
{
    const int address = digits.toInt();
    if (address < FirstSupplyAddress || address > LastSupplyAddress)
        RaiseError(QCoreApplication::translate("AddressList", "地址 %1 超出范围：电源地址为 %2 到 %3。")
                       .arg(digits)
                       .arg(FirstSupplyAddress)
                       .arg(LastSupplyAddress));
    return address;
}

} // namespace

QList<int> ParseAddressList(const QString &text)
{
    const QStringList pieces = text.split(QRegularExpression(QStringLiteral("[,，;；\\s]+")), Qt::SkipEmptyParts);
    if (pieces.isEmpty())
        RaiseError(QCoreApplication::translate("AddressList", "地址列表为空：请输入要总览的电源地址，例如 1,5,17 或 1-4,9。"));
    const QRegularExpression number(QStringLiteral("^\\d{1,6}$"));
    const QRegularExpression range(QStringLiteral("^(\\d{1,6})\\s*[-~～]\\s*(\\d{1,6})$"));
    QList<int> addresses;
    QSet<int> seen;
    auto add = [&](int address, const QString &piece) {
        if (seen.contains(address))
            RaiseError(QCoreApplication::translate("AddressList", "地址 %1 重复（在“%2”中）：每个地址只能列一次。")
                           .arg(address)
                           .arg(piece));
        seen.insert(address);
        addresses.append(address);
    };
    for (const QString &piece : pieces) {
        if (number.match(piece).hasMatch()) {
            add(parseAddress(piece), piece);
            continue;
        }
        const QRegularExpressionMatch match = range.match(piece);
        if (!match.hasMatch())
            unreadable(piece);
        const int first = parseAddress(match.captured(1));
        const int last = parseAddress(match.captured(2));
        if (first > last)
            RaiseError(QCoreApplication::translate("AddressList", "地址范围“%1”从大到小：请写成 %2-%3。")
                           .arg(piece)
                           .arg(last)
                           .arg(first));
        for (int address = first; address <= last; ++address)
            add(address, piece);
    }
    return addresses;
}

QString AddressListText(const QList<int> &addresses)
{
    QStringList parts;
    for (qsizetype n = 0; n < addresses.size();) {
        qsizetype end = n;
        while (end + 1 < addresses.size() && addresses.at(end + 1) == addresses.at(end) + 1)
            ++end;
        if (end - n >= 2) {
            parts << QStringLiteral("%1-%2").arg(addresses.at(n)).arg(addresses.at(end));
            n = end + 1;
        } else {
            parts << QString::number(addresses.at(n));
            ++n;
        }
    }
    return parts.join(QLatin1Char(','));
}
