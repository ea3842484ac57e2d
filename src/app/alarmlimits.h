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

    // The longest delay: a day.
    static constexpr int MaxDelaySeconds = 86400;
    // The value a refusal concerns, for the dialog to put the focus there.
    enum class Field { Low, High, Hysteresis, Delay };
    // The link row watches for missing data from the start; the channels wait for limits.
    static AlarmLimits link();
    // Why a dialog must refuse these limits for a channel whose values lie in the range, or an
    // empty string when they may be kept; *field, when given, is set to the value concerned.
    QString refusal(SensorProtocol::Range range, Field *field = nullptr) const;
    // The same for a row: a channel over the range its calibration accepts, or the link.
    QString refusal(int row, Field *field = nullptr) const;
};

#endif // ALARMLIMITS_H
