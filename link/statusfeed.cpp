#include "link/statusfeed.h"

StatusFeed::StatusFeed(QObject *parent)
    : QObject(parent)
{
}

void StatusFeed::AnnounceStatus(int address, const StatusBlock &block)
{
    StatusSample sample;
    sample.time = QDateTime::currentDateTime();
    sample.address = address;
    sample.model = SampleModel::Active();
    sample.status = block;
    sample.power = m_power;
    m_power.reset();
    emit statusRead(sample);
}

StatusFeed *TheStatusFeed()
{
    static StatusFeed feed;
    return &feed;
}
