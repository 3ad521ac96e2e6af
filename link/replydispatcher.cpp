#include "link/replydispatcher.h"

#include "link/modelcatalogue.h"
#include "link/statusfeed.h"

bool PowerReadRequested = false;
bool CalibrationMode = false;

namespace {

ReplyView *g_view = nullptr;

} // namespace

void SetReplyView(ReplyView *view)
{
    g_view = view;
}

void DispatchReply(const QByteArray &reply)
{
    switch (ClassifyReply(reply)) {
    case ReplyKind::Ignored:
        return;
    case ReplyKind::WriteAcknowledgement:
        if (!g_view)
            return;
        if (CalibrationMode)
            g_view->CorrectionAccepted();
        else
            g_view->SettingAccepted();
        return;
    case ReplyKind::StatusBlock: {
        // The divisors are those of the model active when the reply arrives.
        TheStatusFeed()->AnnounceStatus(DecodeStatusBlock(reply), quint8(reply.at(0)));
        return;
    }
    case ReplyKind::SingleRegister:
        if (PowerReadRequested) {
            const quint16 raw = DecodeSingleRegister(reply);
            TheStatusFeed()->NotePower(raw);
            if (g_view)
                g_view->PowerRead(WattResolution.units(raw));
            PowerReadRequested = false;
            return;
        }
        if (g_view)
            g_view->AddressAnswered();
        return;
    }
}
