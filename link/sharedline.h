#pragma once

#include <QString>

class TMSComm;

// Who keeps the tool's line busy on a clock of their own: the monitor's
// polls, a typical application's steps, an address scan, a plan run, an
// automatic calibration.
enum class LineUser { Monitor, Sequence, Scan, Station, Calibration };

// The tool's one line as the windows that share it see it: the serial
// control with the port the serial settings opened, and who is using it. A
// window that borrows the line (a plan run opens the device itself, on a
// thread of its own) closes the control's port for the time it has it and
// opens it again afterwards. The shell implements it over its windows and
// hands it to each window it makes.
class SharedLine
{
public:
    // The way to a user's stop, named as the operator sees it: the title of
    // its window, the main window's button that opens it, and the button
    // there that stops it.
    struct StopPath {
        QString window;
        QString launcher;
        QString button;
    };

    virtual ~SharedLine() = default;

    // The one serial control of the process.
    virtual TMSComm *Control() const = 0;
    virtual bool Busy(LineUser user) const = 0;
    virtual StopPath HowToStop(LineUser user) const = 0;
};
