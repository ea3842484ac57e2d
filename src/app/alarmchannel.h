#ifndef ALARMCHANNEL_H
#define ALARMCHANNEL_H

#include "alarmlimits.h"

#include <QtGlobal>

#include <optional>

// One row of the alarms: a measured channel against its limits, or the link against missing data.
// It keeps no timers; the window feeds it each second's outcome with the time it happened, so the
// delay is measured between the times fed and nothing happens between them.
class AlarmChannel
{
public:
    // The link row's index, after the measured channels.
    static constexpr int Link = SensorProtocol::ChannelCount;

    // By severity, so that the worst of several is the greatest.
    enum class State { Normal, Pending, Cleared, Active };
    enum class Kind { Raised, Cleared, Acknowledged };
    struct Event
    {
        qint64 msecs;
        int channel; // Link for the link row
        Kind kind;
        // The channel's latest tenths, or the link's seconds without data; unknown before the
        // first reading. No limit was crossed in this session for an alarm restored from the last.
        std::optional<int> value;
        std::optional<int> limit; // the one crossed; the link's seconds
    };

    explicit AlarmChannel(int channel, const AlarmLimits &limits = AlarmLimits());

    int channel() const { return index; }
    const AlarmLimits &limits() const { return set; }
    // New limits start any delay afresh; switched off, the row forgets its alarm.
    void setLimits(const AlarmLimits &limits);

    State state() const;
    // Active, but acknowledged: it returns to normal by itself once it clears.
    bool isSilenced() const { return phase == Phase::Active && acknowledged; }

    // An intact reading of the channel's tenths; for the link the value is ignored.
    std::optional<Event> reading(qint64 msecs, int value);
    // A second without an intact reading while the port is open: only the link takes notice.
    std::optional<Event> unanswered(qint64 msecs);
    // The device went away: the link raises at once.
    std::optional<Event> deviceLost(qint64 msecs);
    // The port opened: the link's seconds without data count from here.
    void portOpened(qint64 msecs);
    // Closed on purpose: nothing is missing any more, so a link still waiting stops waiting.
    void portClosed();
    // No event when there is nothing to acknowledge.
    std::optional<Event> acknowledge(qint64 msecs);
    // An alarm active or unacknowledged at the last exit comes back cleared and unacknowledged,
    // with the limit it had crossed, so that its acknowledgement still names it.
    void restoreUnacknowledged(std::optional<int> limit);

private:
    enum Side { Beyond, Band, Inside };
    Side sideOf(int tenths) const;
    std::optional<Event> beyond(qint64 msecs, qint64 since, bool atOnce, int limit);
    std::optional<Event> inside(qint64 msecs);
    // The link's whole seconds without an intact reading.
    int secondsWithoutData(qint64 msecs) const
    {
        return int((msecs - lastData.value_or(msecs)) / 1000);
    }
    Event event(qint64 msecs, Kind kind) const { return {msecs, index, kind, value, crossed}; }

    int index;
    AlarmLimits set;
    // The condition alone; whether the operator still owes an acknowledgement is kept apart, so
    // that an alarm cleared but unacknowledged can be pending again without losing that.
    enum class Phase { Quiet, Waiting, Active } phase = Phase::Quiet;
    bool acknowledged = true;
    qint64 beyondSince = 0;
    std::optional<qint64> lastData;
    std::optional<int> value;
    std::optional<int> crossed;
};

#endif // ALARMCHANNEL_H
