#pragma once

#include <QtGlobal>

// A port on the loopback that nothing listens on at the moment of asking.
quint16 FreeLoopbackPort();
