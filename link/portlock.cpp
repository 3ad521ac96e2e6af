#include "link/portlock.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Where serial programs look for lock files, in the order the serial port
// layer of the tool looks (on Debian /var/lock is /run/lock).
const QStringList &lockDirectories()
{
    static const QStringList directories = {QStringLiteral("/var/lock"), QStringLiteral("/run/lock"),
                                            QStringLiteral("/etc/locks"), QStringLiteral("/var/spool/locks"),
                                            QStringLiteral("/var/spool/uucp"), QStringLiteral("/tmp")};
    return directories;
}

// Where a lock is made: every directory above but /tmp, which a service may
// have to itself (PrivateTmp=), so that a lock there is seen by nobody else.
QStringList sharedLockDirectories()
{
    QStringList directories = lockDirectories();
    directories.removeAll(QStringLiteral("/tmp"));
    return directories;
}

// access() rather than the mode bits: a read-only mount (a service's
// ProtectSystem=) refuses root as well.
bool writableDirectory(const QString &directory)
{
#ifdef Q_OS_WIN
    return QFileInfo(directory).isWritable();
#else
    return QFileInfo(directory).isDir() && ::access(QFile::encodeName(directory).constData(), W_OK) == 0;
#endif
}

#ifndef Q_OS_WIN
bool processAlive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// The holder a lock file names: the process id on its first line (ten
// digits, or the plain number other programs write), the program's name on
// the second line when the writer put it there, else the running process's.
PortHolder readHolder(const QString &path)
{
    PortHolder holder;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return holder;
    const QList<QByteArray> lines = file.read(4096).split('\n');
    bool ok = false;
    holder.pid = lines.value(0).trimmed().toLongLong(&ok);
    if (!ok || holder.pid <= 0)
        return PortHolder();
    QFile comm(QStringLiteral("/proc/%1/comm").arg(holder.pid));
    if (comm.open(QIODevice::ReadOnly))
        holder.program = QString::fromLocal8Bit(comm.readAll().trimmed());
    if (holder.program.isEmpty())
        holder.program = QString::fromLocal8Bit(lines.value(1).trimmed());
    return holder;
}
#endif

} // namespace

QString PortHolder::text() const
{
    if (program.isEmpty())
        return QStringLiteral("pid %1").arg(pid);
    return QStringLiteral("%1 (pid %2)").arg(program).arg(pid);
}

QString PortDevicePath(const QString &device)
{
    const QString canonical = QFileInfo(device).canonicalFilePath();
    return canonical.isEmpty() ? device : canonical;
}

QString PortLockName(const QString &device)
{
    QString name = PortDevicePath(device);
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("LCK..") + name;
}

bool CanMakePortLock()
{
    const QStringList directories = sharedLockDirectories();
    return std::any_of(directories.begin(), directories.end(), writableDirectory);
}

#ifdef Q_OS_WIN

PortLock::~PortLock() = default;
bool PortLock::acquire(const QString &, PortHolder *, QString *)
{
    return true;
}
void PortLock::release() {}
PortHolder FindPortHolder(const QString &)
{
    return PortHolder();
}
void MakeExclusive(int) {}
void ReleaseExclusive(int) {}

#else

PortLock::~PortLock()
{
    release();
}

PortHolder FindPortHolder(const QString &device)
{
    const QString name = PortLockName(device);
    for (const QString &directory : lockDirectories()) {
        const PortHolder holder = readHolder(directory + QLatin1Char('/') + name);
        if (processAlive(holder.pid))
            return holder;
    }
    return PortHolder();
}

bool PortLock::acquire(const QString &device, PortHolder *holder, QString *error)
{
    release();
    const QString name = PortLockName(device);
    const auto refuse = [&](const PortHolder &found, const QString &path) {
        if (holder)
            *holder = found;
        if (error)
            *error = found.isSet() ? QStringLiteral("%1 is in use by %2").arg(device, found.text())
                                   : QStringLiteral("%1 is in use (locked by %2)").arg(device, path);
        return false;
    };
    // A lock anywhere that a live process holds is that process's port. A
    // lock of a process that is gone is removed, under flock() so that two
    // programs taking it over at once do not remove each other's new lock.
    for (const QString &directory : lockDirectories()) {
        const QString path = directory + QLatin1Char('/') + name;
        const QByteArray local = QFile::encodeName(path);
        if (::access(local.constData(), F_OK) != 0)
            continue;
        const PortHolder found = readHolder(path);
        if (processAlive(found.pid))
            return refuse(found, path);
        const int fd = ::open(local.constData(), O_RDWR | O_CLOEXEC);
        const bool flocked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        const bool taken = flocked && ::unlink(local.constData()) == 0;
        const int why = errno;
        if (fd >= 0)
            ::close(fd);
        if (taken || ::access(local.constData(), F_OK) != 0)
            continue;
        // Held with flock() by a process we cannot see, or not ours to remove.
        if (!flocked && fd >= 0)
            return refuse(PortHolder(), path);
        if (holder)
            *holder = PortHolder();
        if (error)
            *error = QStringLiteral("%1: the lock %2 was left by a process that is gone, and cannot be removed here (%3)")
                         .arg(device, path, QString::fromLocal8Bit(std::strerror(why)));
        return false;
    }
    for (const QString &directory : sharedLockDirectories()) {
        if (!writableDirectory(directory))
            continue;
        const QString path = directory + QLatin1Char('/') + name;
        const QByteArray local = QFile::encodeName(path);
        const int fd = ::open(local.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) // made by another program a moment ago
                return refuse(readHolder(path), path);
            continue;
        }
        // The file must still be the one made here when the flock is in place:
        // a program that took it for stale in between has removed it.
        struct stat opened = {};
        struct stat named = {};
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &opened) != 0 || ::stat(local.constData(), &named) != 0
            || opened.st_ino != named.st_ino) {
            ::close(fd);
            return refuse(readHolder(path), path);
        }
        char pid[16];
        const int size = std::snprintf(pid, sizeof pid, "%10ld\n", long(::getpid()));
        if (::write(fd, pid, size_t(size)) != size) {
            ::unlink(local.constData());
            ::close(fd);
            continue;
        }
        m_path = path;
        m_fd = fd;
        return true;
    }
    if (holder)
        *holder = PortHolder();
    if (error)
        *error = QStringLiteral("cannot make a lock file for %1 where other programs look for it: none of %2 may be "
                                "written here")
                     .arg(device, sharedLockDirectories().join(QStringLiteral(", ")));
    return false;
}

void PortLock::release()
{
    if (m_fd < 0)
        return;
    ::unlink(QFile::encodeName(m_path).constData());
    ::close(m_fd);
    m_fd = -1;
    m_path.clear();
}

void MakeExclusive(int fd)
{
    ::ioctl(fd, TIOCEXCL);
}

void ReleaseExclusive(int fd)
{
    ::ioctl(fd, TIOCNXCL);
}

#endif
