#pragma once

#include "link/linesettings.h"

#include <QString>
#include <termios.h>

// The simulated line's settings as the simulator shows them and as a POSIX
// terminal takes them.

// The settings text of line, "9600,n,8,1", as ParseLineSettings reads it.
QString LineSettingsText(const LineSettings &line);

// Modbus RTU frame gap: 3.5 characters, but 1.75 ms at most above 19200 baud.
double FrameGapMicros(const LineSettings &line);

// A terminal speed and its baud rate: 0 for a speed without one, B0 for a
// baud rate without a speed.
int BaudOfSpeed(speed_t speed);
speed_t SpeedOfBaud(int baud);

// tio made raw, with the data bits, parity and stop bits of line, its
// receiver on and no modem or flow control lines.
void SetRawFraming(struct termios &tio, const LineSettings &line);
