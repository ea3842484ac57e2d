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
    // A row as the operator types it and the settings keep it: values as decimal text in the
    // channel's unit, an empty limit for none, the delay in whole seconds.
    struct Texts
    {
        bool enabled;
        QString low;
        QString high;
        QString hysteresis;
        QString delay;
    };

    // The link row watches for missing data from the start; the channels wait for limits.
    static AlarmLimits link();
    // The row's name in object names and settings: the channel's name, or "link".
    static QString key(int row);

    // Why a dialog must refuse these limits for a channel whose values lie in the range, or an
    // empty string when they may be kept; *field, when given, is set to the value concerned.
    QString refusal(SensorProtocol::Range range, Field *field = nullptr) const;
    // The same for a row: a channel over the range its calibration accepts, or the link.
    QString refusal(int row, Field *field = nullptr) const;

    // The row's values as text, in the C locale whatever the user's.
    Texts texts() const;
    // Reads a row's texts, each value typed as a calibration value: the reason they are refused
    // and the field concerned, or an empty string with the limits set in *limits.
    static QString parse(int row, const Texts &texts, AlarmLimits *limits, Field *field = nullptr);

    // The row as the window's settings keep it; the default when it is missing or refused, so
    // that the window never applies limits the dialog would refuse.
    static AlarmLimits load(int row);
    void save(int row) const;
};

#endif // ALARMLIMITS_H
