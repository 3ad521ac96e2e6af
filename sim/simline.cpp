#include "sim/simline.h"

namespace {

struct BaudCode {
    speed_t code;
    int baud;
};

constexpr BaudCode kBaudCodes[] = {
    {B50, 50},       {B75, 75},       {B110, 110},     {B134, 134},     {B150, 150},
    {B200, 200},     {B300, 300},     {B600, 600},     {B1200, 1200},   {B1800, 1800},
    {B2400, 2400},   {B4800, 4800},   {B9600, 9600},   {B19200, 19200}, {B38400, 38400},
    {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

} // namespace

QString LineSettingsText(const LineSettings &line)
{
    const char parity = line.parity == QSerialPort::OddParity     ? 'o'
                        : line.parity == QSerialPort::EvenParity  ? 'e'
                        : line.parity == QSerialPort::MarkParity  ? 'm'
                        : line.parity == QSerialPort::SpaceParity ? 's'
                                                                  : 'n';
    return QStringLiteral("%1,%2,%3,%4")
        .arg(line.baud)
        .arg(QLatin1Char(parity))
        .arg(int(line.dataBits))
        .arg(line.stopBitsText());
}

double FrameGapMicros(const LineSettings &line)
{
    return line.baud > 19200 ? 1750.0 : 3.5 * line.charMicros();
}

int BaudOfSpeed(speed_t speed)
{
    for (const BaudCode &entry : kBaudCodes) {
        if (entry.code == speed)
            return entry.baud;
    }
    return 0;
}

speed_t SpeedOfBaud(int baud)
{
    for (const BaudCode &entry : kBaudCodes) {
        if (entry.baud == baud)
            return entry.code;
    }
    return B0;
}

void SetRawFraming(struct termios &tio, const LineSettings &line)
{
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= line.dataBits == QSerialPort::Data5   ? CS5
                   : line.dataBits == QSerialPort::Data6 ? CS6
                   : line.dataBits == QSerialPort::Data7 ? CS7
                                                         : CS8;
    if (line.parity != QSerialPort::NoParity)
        tio.c_cflag |= PARENB;
    if (line.parity == QSerialPort::OddParity || line.parity == QSerialPort::MarkParity)
        tio.c_cflag |= PARODD;
    if (line.parity == QSerialPort::MarkParity || line.parity == QSerialPort::SpaceParity)
        tio.c_cflag |= CMSPAR;
    if (line.stopBits != QSerialPort::OneStop)
        tio.c_cflag |= CSTOPB;
}
