#include "link/statusfeed.h"

StatusFeed::StatusFeed(QObject *parent)
    : QObject(parent)
{
}

void StatusFeed::NotePoll(int address)
{
    m_pollAddress = address;
    emit statusPolled();
}

void StatusFeed::Reset()
{
    m_power.reset();
    m_pollAddress = 0;
}

void StatusFeed::AnnounceStatus(const StatusBlock &block, int replyAddress)
{
    const Reading reading = DecodeReading(block, ReadingModel::Active(), m_pollAddress, QDateTime::currentDateTime(),
                                          m_power, replyAddress);
    m_power.reset();
    emit statusRead(reading);
}

StatusFeed *TheStatusFeed()
{
    static StatusFeed feed;
    return &feed;
}
