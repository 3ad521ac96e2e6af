#pragma once

#include <QString>
#include <QStringList>

// Maps port numbers to network links or devices for the life of the process,
// from "--map COM2=rtu+tcp://bench-7.lab:4001" (or --map=...) on the command
// line and from the environment, "COM2=tcp://gw:502;COM3=/dev/ttyUSB1". The
// command line wins over the environment for the same port. Each target is a
// tcp:// or rtu+tcp:// address or a device path. Returns an empty text, or
// one line saying what is wrong (nothing is mapped then).
QString ApplyPortMaps(const QStringList &arguments, const QString &environment);
