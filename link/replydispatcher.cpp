#include "link/replydispatcher.h"

void DispatchReply(const QByteArray &reply)
{
    Q_UNUSED(reply);
}
