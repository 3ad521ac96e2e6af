#pragma once

#include <QByteArray>
#include <QFile>

// Resident set size of this process in KiB (VmRSS in /proc/self/status), or
// -1 where the kernel does not say.
inline qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
