#pragma once

#include <QString>

// Attaches port number n (COMn) to a device path for the life of the process,
// ahead of the system's own numbering. Used for pseudo-terminals and simulators.
void MapCommPort(int port, const QString &device);

// Forgets every mapping made with MapCommPort.
void ClearCommPortMappings();

// The device that COMn opens, or an empty string when there is none: a mapping
// made with MapCommPort, else "COMn" on Windows, else the n-th serial port the
// system reports (USB adapters first, then the rest, each in natural name order).
QString CommPortDevice(int port);
