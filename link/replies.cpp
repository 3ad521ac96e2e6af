#include "link/replies.h"

#include "link/frames.h"

namespace {

// Nothing of 6 bytes or fewer is a reply.
constexpr qsizetype kShortestReply = 7;
// A five-register status block is 15 bytes; a single register reply 7, with
// up to two bytes of trailing noise.
constexpr qsizetype kStatusBlockLength = 15;
constexpr qsizetype kLongestSingleRegister = 9;

} // namespace

ReplyKind ClassifyReply(const QByteArray &reply)
{
    const qsizetype length = reply.size();
    if (length < kShortestReply)
        return ReplyKind::Ignored;
    const quint8 function = quint8(reply.at(1));
    if (function == FunctionWriteMultiple)
        return ReplyKind::WriteAcknowledgement;
    if (function != FunctionReadHolding)
        return ReplyKind::Ignored;
    if (length >= kStatusBlockLength)
        return ReplyKind::StatusBlock;
    if (length <= kLongestSingleRegister)
        return ReplyKind::SingleRegister;
    return ReplyKind::Ignored;
}

StatusBlock DecodeStatusBlock(const QByteArray &reply)
{
    return StatusBlock{RegisterAt(reply, 3), RegisterAt(reply, 5), RegisterAt(reply, 7),
                       RegisterAt(reply, 9), OutputIsOn(RegisterAt(reply, 11))};
}

StatusBlock DecodeStatusRegisters(const QVector<quint16> &registers)
{
    return StatusBlock{registers.at(0), registers.at(1), registers.at(2), registers.at(3),
                       OutputIsOn(registers.at(4))};
}

quint16 DecodeSingleRegister(const QByteArray &reply)
{
    return RegisterAt(reply, 3);
}
