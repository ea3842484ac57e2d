#ifndef ALARMLIMITS_H
#define ALARMLIMITS_H

#include "sensorprotocol.h"

#include <QString>

#include <optional>

// What the operator sets for one channel's alarm, in tenths as the wire carries them. A limit
// left out means no alarm on that side. For the link row only `enabled` and `delaySeconds` count:
// the seconds without an intact reading before "no data" is raised.
struct AlarmLimits
{
    bool enabled = false;
    std::optional<int> low;
    std::optional<int> high;
    int hysteresis = 5; // half a unit
    int delaySeconds = 10;

    // The link row watches for missing data from the start; the channels wait for limits.
    static AlarmLimits link();

    // Why a dialog must refuse these limits for a channel whose values lie in the range, or an
    // empty string when they may be kept.
    QString refusal(SensorProtocol::Range range) const;
    // The same over the range the channel's calibration accepts.
    QString refusal(int channel) const;
};

#endif // ALARMLIMITS_H
