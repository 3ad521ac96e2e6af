#include "sim/simexchange.h"

#include "link/frames.h"

#include <QStringList>

namespace {

bool crcRight(const QByteArray &frame)
{
    const int crcAt = int(frame.size()) - 2;
    return frame.size() >= 4
           && ModbusCrc16(frame.constData(), crcAt)
                  == quint16(quint8(frame.at(crcAt)) | (quint8(frame.at(crcAt + 1)) << 8));
}

// Two drivers on the line at once: where either sends a 0 bit, a 0 is heard.
QByteArray merged(const QVector<QByteArray> &replies)
{
    QByteArray heard = replies.first();
    for (const QByteArray &other : replies) {
        if (other.size() > heard.size())
            heard.append(QByteArray(other.size() - heard.size(), char(0xFF)));
        for (int i = 0; i < other.size(); ++i)
            heard[i] = char(heard.at(i) & other.at(i));
    }
    return heard;
}

} // namespace

SimAnswer AnswerRequest(const QByteArray &request, QVector<SimSupply> &supplies)
{
    SimAnswer answer;
    if (!crcRight(request)) {
        answer.note = QStringLiteral("CRC error");
        return answer;
    }
    const int address = quint8(request.at(0));
    const QByteArray pdu = request.mid(1, request.size() - 3);
    if (address == 0) {
        for (SimSupply &supply : supplies)
            supply.handlePdu(pdu);
        answer.note = QStringLiteral("broadcast");
        return answer;
    }

    QVector<QByteArray> replies;
    QStringList notes;
    for (SimSupply &supply : supplies) {
        if (supply.address() != address)
            continue;
        const QByteArray replyPdu = supply.handlePdu(pdu);
        QByteArray reply;
        reply.append(char(address));
        reply.append(replyPdu);
        AppendCrc(reply);
        QString note = (quint8(replyPdu.at(0)) & 0x80)
                           ? QStringLiteral("exception %1").arg(quint8(replyPdu.at(1)), 2, 16, QLatin1Char('0'))
                           : QStringLiteral("answered");
        if (supply.takeDrop()) {
            notes << note + QStringLiteral(", reply dropped");
            continue;
        }
        if (supply.takeCorrupt()) {
            reply[reply.size() - 2] = char(reply.at(reply.size() - 2) ^ 0xFF);
            note += QStringLiteral(", CRC spoilt");
        }
        notes << note;
        replies.append(reply);
        answer.faults = supply.faults();
    }
    if (notes.isEmpty()) {
        answer.note = QStringLiteral("no such address");
        return answer;
    }
    answer.note = notes.join(QStringLiteral("; "));
    if (replies.size() > 1) {
        answer.reply = merged(replies);
        answer.collision = true;
        answer.note += QStringLiteral(", collision");
        answer.faults = SimFaults();
    } else if (!replies.isEmpty()) {
        answer.reply = replies.first();
    }
    return answer;
}
