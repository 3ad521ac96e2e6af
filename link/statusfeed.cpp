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
    StatusSample sample;
    sample.time = QDateTime::currentDateTime();
    sample.address = m_pollAddress;
    sample.model = SampleModel::Active();
    sample.status = block;
    sample.power = m_power;
    sample.replyAddress = replyAddress;
    m_power.reset();
    emit statusRead(sample);
}

StatusFeed *TheStatusFeed()
{
    static StatusFeed feed;
    return &feed;
}
