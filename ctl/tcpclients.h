#pragma once

#include <QByteArray>
#include <QString>

// The client sockets of psuctl's TCP servers (serve, scpi).

// A client's socket as serve keeps it: answers sent at once (no Nagle), and
// a peer whose machine died found by keep-alive within 90 s.
void TuneClientSocket(int fd);
// Sends what it can of out (what is sent is taken off); why the client must
// go (it is gone, or more than maxUnread bytes of answers wait for it, held
// in out and unacknowledged in the socket), or an empty string.
QString SendWaiting(int fd, QByteArray &out, int maxUnread);
