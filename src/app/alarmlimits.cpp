#include "alarmlimits.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("AlarmLimits", text);
}

QString tenthsText(int tenths)
{
    return QString::number(tenths / 10.0, 'f', 1);
}

} // namespace

AlarmLimits AlarmLimits::link()
{
    AlarmLimits limits;
    limits.enabled = true;
    return limits;
}

QString AlarmLimits::refusal(SensorProtocol::Range range) const
{
    const auto outside = [&range](const std::optional<int> &limit) {
        return limit && (*limit < range.lowest || *limit > range.highest);
    };
    if (outside(low) || outside(high))
        return tr("A limit lies outside the channel's range, %1 to %2.")
            .arg(tenthsText(range.lowest), tenthsText(range.highest));
    if (low && high && *low >= *high)
        return tr("The low limit must be below the high limit.");
    if (hysteresis < 0)
        return tr("The hysteresis cannot be negative.");
    // Otherwise no value could ever be back inside by the hysteresis, and the alarm never clears.
    if (low && high && hysteresis >= *high - *low)
        return tr("The hysteresis must be smaller than the span between the limits.");
    if (delaySeconds < 0)
        return tr("The delay cannot be negative.");
    return QString();
}

QString AlarmLimits::refusal(int channel) const
{
    return refusal(
        SensorProtocol::calibrationRange(SensorProtocol::Channels[channel].calibrationCommand));
}
