#pragma once

#include <QByteArray>

// The single place where instrument replies are understood: sorts a reply by
// its function code and length and writes the result into the windows.
void DispatchReply(const QByteArray &reply);
