#include "link/commports.h"

#include <QCollator>
#include <QMap>
#include <QSerialPortInfo>
#include <algorithm>

namespace {

QMap<int, QString> &mappings()
{
    static QMap<int, QString> map;
    return map;
}

// USB adapters come first, so that the one USB–RS485 adapter of a typical
// bench is COM1 whatever on-board UARTs the machine has.
int rank(const QSerialPortInfo &info)
{
    const QString name = info.portName();
    if (name.startsWith(QLatin1String("ttyUSB")) || name.startsWith(QLatin1String("ttyACM")))
        return 0;
    return 1;
}

} // namespace

void MapCommPort(int port, const QString &device)
{
    mappings().insert(port, device);
}

void ClearCommPortMappings()
{
    mappings().clear();
}

QString CommPortDevice(int port)
{
    const auto mapped = mappings().constFind(port);
    if (mapped != mappings().constEnd())
        return mapped.value();
    if (port < 1)
        return QString();
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    QCollator collator;
    collator.setNumericMode(true);
    std::stable_sort(ports.begin(), ports.end(),
                     [&](const QSerialPortInfo &a, const QSerialPortInfo &b) {
                         if (rank(a) != rank(b))
                             return rank(a) < rank(b);
                         return collator.compare(a.portName(), b.portName()) < 0;
                     });
    if (port > ports.size())
        return QString();
    return ports.at(port - 1).systemLocation();
#endif
}
