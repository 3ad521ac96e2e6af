#include "link/replydispatcher.h"

#include "link/modelcatalogue.h"

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
        const StatusBlock block = DecodeStatusBlock(reply);
        const StatusReading reading{{block.voltageSetpoint, VoltageScale, VoltageDecimals},
                                    {block.currentSetpoint, CurrentScale, CurrentDecimals},
                                    {block.outputVoltage, VoltageScale, VoltageDecimals},
                                    {block.outputCurrent, CurrentScale, CurrentDecimals},
                                    block.outputOn};
        if (g_view)
            g_view->StatusRead(reading);
        return;
    }
    case ReplyKind::SingleRegister:
        if (PowerReadRequested) {
            if (g_view)
                g_view->PowerRead(ScaledReading(DecodeSingleRegister(reply), PowerScale));
            PowerReadRequested = false;
            return;
        }
        if (g_view)
            g_view->AddressAnswered();
        return;
    }
}
