#include "alarmchannel.h"

AlarmChannel::AlarmChannel(int channel, const AlarmLimits &limits)
    : index(channel)
    , set(limits)
{ }

void AlarmChannel::setLimits(const AlarmLimits &limits)
{
    set = limits;
    if (phase == Phase::Waiting)
        phase = Phase::Quiet;
    if (!set.enabled) {
        phase = Phase::Quiet;
        acknowledged = true;
    }
}

AlarmChannel::State AlarmChannel::state() const
{
    if (!set.enabled)
        return State::Normal;
    if (phase == Phase::Active)
        return State::Active;
    // Owed an acknowledgement, it outranks a new excursion still within its delay.
    if (!acknowledged)
        return State::Cleared;
    return phase == Phase::Waiting ? State::Pending : State::Normal;
}

AlarmChannel::Side AlarmChannel::sideOf(int tenths) const
{
    if ((set.low && tenths < *set.low) || (set.high && tenths > *set.high))
        return Beyond;
    // Within a limit but not by the hysteresis: an alarm neither clears nor is raised again here,
    // so a value wavering on the limit does not chatter.
    if ((set.low && tenths <= *set.low + set.hysteresis)
        || (set.high && tenths >= *set.high - set.hysteresis))
        return Band;
    return Inside;
}

std::optional<AlarmChannel::Event> AlarmChannel::reading(qint64 msecs, int tenths)
{
    if (!set.enabled)
        return std::nullopt;
    if (index == Link) {
        value = secondsWithoutData(msecs);
        lastData = msecs;
        return inside(msecs);
    }
    value = tenths;
    switch (sideOf(tenths)) {
    case Beyond:
        return beyond(msecs, msecs, false, set.low && tenths < *set.low ? *set.low : *set.high);
    case Band:
        // Back within the limits before the delay ran out: it was a spike, not an alarm.
        if (phase == Phase::Waiting)
            phase = Phase::Quiet;
        return std::nullopt;
    case Inside:
        break;
    }
    return inside(msecs);
}

std::optional<AlarmChannel::Event> AlarmChannel::unanswered(qint64 msecs)
{
    if (!set.enabled || index != Link)
        return std::nullopt;
    value = secondsWithoutData(msecs);
    // Counted from the last intact reading, not from the first second that went without one.
    return beyond(msecs, lastData.value_or(msecs), false, set.delaySeconds);
}

std::optional<AlarmChannel::Event> AlarmChannel::deviceLost(qint64 msecs)
{
    if (!set.enabled || index != Link)
        return std::nullopt;
    value = secondsWithoutData(msecs);
    // No reading can come from a device that is gone; waiting out the delay would only hide it.
    return beyond(msecs, msecs, true, set.delaySeconds);
}

void AlarmChannel::portOpened(qint64 msecs)
{
    lastData = msecs;
}

void AlarmChannel::portClosed()
{
    if (phase == Phase::Waiting)
        phase = Phase::Quiet;
}

std::optional<AlarmChannel::Event> AlarmChannel::acknowledge(qint64 msecs)
{
    if (!set.enabled || acknowledged)
        return std::nullopt;
    acknowledged = true;
    return event(msecs, Kind::Acknowledged);
}

void AlarmChannel::restoreUnacknowledged(std::optional<int> limit)
{
    phase = Phase::Quiet;
    acknowledged = false;
    value.reset();
    crossed = limit;
}

std::optional<AlarmChannel::Event> AlarmChannel::beyond(qint64 msecs, qint64 since, bool atOnce,
                                                        int limit)
{
    if (phase == Phase::Active)
        return std::nullopt;
    if (phase == Phase::Quiet) {
        phase = Phase::Waiting;
        beyondSince = since;
    }
    if (!atOnce && msecs - beyondSince < qint64(set.delaySeconds) * 1000)
        return std::nullopt;
    phase = Phase::Active;
    acknowledged = false;
    crossed = limit;
    return event(msecs, Kind::Raised);
}

std::optional<AlarmChannel::Event> AlarmChannel::inside(qint64 msecs)
{
    if (phase == Phase::Waiting)
        phase = Phase::Quiet;
    if (phase != Phase::Active)
        return std::nullopt;
    // An acknowledged alarm is done with once it clears; one not yet acknowledged still waits for
    // the operator.
    phase = Phase::Quiet;
    return event(msecs, Kind::Cleared);
}
