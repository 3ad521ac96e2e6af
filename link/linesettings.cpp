#include "link/linesettings.h"

#include <QStringList>

QString LineSettings::stopBitsText() const
{
    switch (stopBits) {
    case QSerialPort::OneAndHalfStop:
        return QStringLiteral("1.5");
    case QSerialPort::TwoStop:
        return QStringLiteral("2");
    default:
        return QStringLiteral("1");
    }
}

double LineSettings::charMicros() const
{
    const double stop = stopBits == QSerialPort::TwoStop ? 2.0 : stopBits == QSerialPort::OneAndHalfStop ? 1.5 : 1.0;
    const int parityBits = parity == QSerialPort::NoParity ? 0 : 1;
    return (1 + int(dataBits) + parityBits + stop) * 1e6 / qMax(1, baud);
}

bool ParseLineSettings(const QString &text, LineSettings *line)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    LineSettings parsed;
    bool ok = false;
    parsed.baud = parts[0].trimmed().toInt(&ok);
    if (!ok || parsed.baud <= 0)
        return false;

    const QString parity = parts[1].trimmed().toLower();
    if (parity == QLatin1String("n"))
        parsed.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("o"))
        parsed.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("e"))
        parsed.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("m"))
        parsed.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("s"))
        parsed.parity = QSerialPort::SpaceParity;
    else
        return false;

    const int dataBits = parts[2].trimmed().toInt(&ok);
    if (!ok || dataBits < 5 || dataBits > 8)
        return false;
    parsed.dataBits = QSerialPort::DataBits(dataBits);

    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        parsed.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        parsed.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        parsed.stopBits = QSerialPort::TwoStop;
    else
        return false;

    *line = parsed;
    return true;
}
