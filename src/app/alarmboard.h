#ifndef ALARMBOARD_H
#define ALARMBOARD_H

#include "alarmchannel.h"

#include <vector>

// The alarms of the four channels and the link, fed what the window's polling sees, and the
// events they gave, oldest first, for the log to take.
class AlarmBoard
{
public:
    using Event = AlarmChannel::Event;
    using State = AlarmChannel::State;
    static constexpr int RowCount = AlarmChannel::Link + 1;

    AlarmBoard();

    // row is a channel or AlarmChannel::Link.
    const AlarmChannel &row(int row) const { return rows[size_t(row)]; }
    void setLimits(int row, const AlarmLimits &limits);
    // The worst state of all rows, for the status line.
    State worst() const;

    void reading(const SensorProtocol::Reading &reading);
    void unanswered(qint64 msecs);
    void deviceLost(qint64 msecs);
    void portOpened(qint64 msecs);
    void portClosed();
    void acknowledge(int row, qint64 msecs);
    void restoreUnacknowledged(int row, std::optional<int> limit);

    const std::vector<Event> &events() const { return log; }
    // Hands the events over and forgets them.
    std::vector<Event> takeEvents();

private:
    void keep(const std::optional<Event> &event);

    std::vector<AlarmChannel> rows;
    std::vector<Event> log;
};

#endif // ALARMBOARD_H
