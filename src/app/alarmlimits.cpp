#include "alarmlimits.h"

#include "readingformat.h"

namespace {

// The link row comes after the measured channels, as on the alarm board.
constexpr int LinkRow = SensorProtocol::ChannelCount;

using Field = AlarmLimits::Field;

QString outOfRange(SensorProtocol::Range range)
{
    return QStringLiteral("超出范围 %1 至 %2")
        .arg(ReadingFormat::tenthsText(range.lowest), ReadingFormat::tenthsText(range.highest));
}

QString delayRefusal()
{
    return QStringLiteral("延时须为 0 至 %1 的整数秒").arg(AlarmLimits::MaxDelaySeconds);
}

QString refused(Field concerned, const QString &reason, Field *field)
{
    if (field)
        *field = concerned;
    return reason;
}

SensorProtocol::Range rangeOf(int channel)
{
    return SensorProtocol::calibrationRange(SensorProtocol::Channels[channel].calibrationCommand);
}

} // namespace

AlarmLimits AlarmLimits::link()
{
    AlarmLimits limits;
    limits.enabled = true;
    return limits;
}

QString AlarmLimits::refusal(SensorProtocol::Range range, Field *field) const
{
    const auto outside = [&range](const std::optional<int> &limit) {
        return limit && (*limit < range.lowest || *limit > range.highest);
    };
    if (outside(low))
        return refused(Field::Low, outOfRange(range), field);
    if (outside(high))
        return refused(Field::High, outOfRange(range), field);
    // An alarm switched on that no value could ever raise.
    if (enabled && !low && !high)
        return refused(Field::Low, QStringLiteral("启用时至少要设下限或上限"), field);
    if (low && high && *low >= *high)
        return refused(Field::High, QStringLiteral("下限必须低于上限"), field);
    if (hysteresis < 0)
        return refused(Field::Hysteresis, QStringLiteral("回差不能为负数"), field);
    // Otherwise no value could ever be back inside by the hysteresis, and the alarm never clears.
    if (low && high && hysteresis >= *high - *low)
        return refused(Field::Hysteresis, QStringLiteral("回差必须小于上限与下限之差"), field);
    if (delaySeconds < 0 || delaySeconds > MaxDelaySeconds)
        return refused(Field::Delay, delayRefusal(), field);
    return QString();
}

QString AlarmLimits::refusal(int row, Field *field) const
{
    if (row != LinkRow)
        return refusal(rangeOf(row), field);
    if (delaySeconds < 0 || delaySeconds > MaxDelaySeconds)
        return refused(Field::Delay, delayRefusal(), field);
    return QString();
}
