#pragma once

#include <QString>
#include <QStringList>

// Who holds a serial port: a process id and its program's name.
struct PortHolder {
    qint64 pid = 0; // 0: nobody
    QString program;

    bool isSet() const { return pid > 0; }
    // "psuctl (pid 4711)", or "pid 4711" when the name is not known.
    QString text() const;
};

// A port is used by one program at a time. Serial programs on Unix share a
// lock file for that: LCK..ttyUSB0 for /dev/ttyUSB0 (LCK..pts_3 for
// /dev/pts/3) in the lock directory, holding the holder's process id as ten
// ASCII digits and a newline. A lock of a process that is gone is taken over.
// The file is also held with flock() while the lock lasts, which the serial
// port layer of the tool tests before it takes a lock over, so that it sees
// ours as we see its own. A lock is never made in /tmp, which may be private
// to the process (a service's PrivateTmp=) and so hide it from the others:
// without a shared lock directory to write to acquire() fails. On Windows the system makes a port exclusive and
// the lock is a no-op.
class PortLock
{
public:
    PortLock() = default;
    ~PortLock();
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    // Takes the lock of device (a path; symbolic links are followed) for
    // this process. False when another holds it, with *holder saying which
    // when the lock names a live process, and *error a one-line text
    // ("/dev/ttyUSB0 is in use by psuctl (pid 4711)"); false with holder
    // unset when no lock can be made where other programs look.
    bool acquire(const QString &device, PortHolder *holder, QString *error);
    void release();
    bool isHeld() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }

private:
    QString m_path;
    int m_fd = -1;
};

// The device a path stands for, symbolic links followed: the name its lock
// goes by. A path that does not exist is returned as it is.
QString PortDevicePath(const QString &device);

// "LCK..ttyUSB0" for /dev/ttyUSB0, "LCK..pts_3" for /dev/pts/3.
QString PortLockName(const QString &device);

// Whether a lock can be made here: one of the lock directories that other
// programs look in may be written.
bool CanMakePortLock();

// The live holder of device's lock, in any of the lock directories; unset
// when there is none (no file, or the process is gone).
PortHolder FindPortHolder(const QString &device);

// Marks the open descriptor of a terminal exclusive (TIOCEXCL): further
// opens by unprivileged processes fail until ReleaseExclusive or the close.
void MakeExclusive(int fd);
void ReleaseExclusive(int fd);
