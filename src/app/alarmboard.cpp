#include "alarmboard.h"

#include <algorithm>

AlarmBoard::AlarmBoard()
{
    for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel)
        rows.emplace_back(channel);
    rows.emplace_back(AlarmChannel::Link, AlarmLimits::link());
}

void AlarmBoard::setLimits(int row, const AlarmLimits &limits)
{
    rows[size_t(row)].setLimits(limits);
}

AlarmBoard::State AlarmBoard::worst() const
{
    State worst = State::Normal;
    for (const AlarmChannel &row : rows)
        worst = std::max(worst, row.state());
    return worst;
}

void AlarmBoard::reading(const SensorProtocol::Reading &reading)
{
    const qint64 msecs = reading.time.toMSecsSinceEpoch();
    for (AlarmChannel &row : rows)
        keep(row.reading(msecs,
                         row.channel() == AlarmChannel::Link ? 0 : reading.tenths[row.channel()]));
}

void AlarmBoard::unanswered(qint64 msecs)
{
    keep(rows.back().unanswered(msecs));
}

void AlarmBoard::deviceLost(qint64 msecs)
{
    keep(rows.back().deviceLost(msecs));
}

void AlarmBoard::portOpened(qint64 msecs)
{
    rows.back().portOpened(msecs);
}

void AlarmBoard::portClosed()
{
    rows.back().portClosed();
}

void AlarmBoard::acknowledge(int row, qint64 msecs)
{
    keep(rows[size_t(row)].acknowledge(msecs));
}

void AlarmBoard::restoreUnacknowledged(int row, std::optional<int> limit)
{
    rows[size_t(row)].restoreUnacknowledged(limit);
}

std::vector<AlarmBoard::Event> AlarmBoard::takeEvents()
{
    std::vector<Event> taken;
    taken.swap(log);
    return taken;
}

void AlarmBoard::keep(const std::optional<Event> &event)
{
    if (event)
        log.push_back(*event);
}
