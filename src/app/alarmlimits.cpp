#include "alarmlimits.h"

#include "readingformat.h"

#include <QSettings>

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

QString settingsKey(int row, const char *value)
{
    return QStringLiteral("alarms/%1/%2").arg(AlarmLimits::key(row), QLatin1String(value));
}

} // namespace

AlarmLimits AlarmLimits::link()
{
    AlarmLimits limits;
    limits.enabled = true;
    return limits;
}

QString AlarmLimits::key(int row)
{
    return row == LinkRow ? QStringLiteral("link")
                          : QString::fromLatin1(SensorProtocol::Channels[row].name);
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

AlarmLimits::Texts AlarmLimits::texts() const
{
    const auto limitText = [](const std::optional<int> &limit) {
        return limit ? ReadingFormat::tenthsText(*limit) : QString();
    };
    return {enabled, limitText(low), limitText(high), ReadingFormat::tenthsText(hysteresis),
            QString::number(delaySeconds)};
}

QString AlarmLimits::parse(int row, const Texts &texts, AlarmLimits *limits, Field *field)
{
    AlarmLimits parsed;
    parsed.enabled = texts.enabled;
    if (row != LinkRow) {
        const quint8 command = SensorProtocol::Channels[row].calibrationCommand;
        // Each value typed as the window's calibration takes it: a plain decimal, full stop.
        const auto value = [command, field](const QString &text, Field concerned,
                                            int *tenths) -> QString {
            const SensorProtocol::CalibrationValue typed =
                SensorProtocol::calibrationValue(text, command);
            *tenths = typed.tenths;
            if (typed.verdict == SensorProtocol::CalibrationValue::NotANumber)
                return refused(concerned, QStringLiteral("不是有效的数值"), field);
            if (typed.verdict == SensorProtocol::CalibrationValue::OutOfRange)
                return refused(concerned, outOfRange(SensorProtocol::calibrationRange(command)),
                               field);
            return QString();
        };
        const auto limit = [&value](const QString &text, Field concerned,
                                    std::optional<int> *kept) {
            if (text.trimmed().isEmpty())
                return QString();
            int tenths = 0;
            const QString reason = value(text, concerned, &tenths);
            *kept = tenths;
            return reason;
        };
        QString reason = limit(texts.low, Field::Low, &parsed.low);
        if (reason.isEmpty())
            reason = limit(texts.high, Field::High, &parsed.high);
        if (reason.isEmpty())
            reason = value(texts.hysteresis, Field::Hysteresis, &parsed.hysteresis);
        if (!reason.isEmpty())
            return reason;
    }
    bool whole = false;
    parsed.delaySeconds = texts.delay.trimmed().toInt(&whole);
    if (!whole)
        return refused(Field::Delay, delayRefusal(), field);
    const QString reason = parsed.refusal(row, field);
    if (reason.isEmpty())
        *limits = parsed;
    return reason;
}

AlarmLimits AlarmLimits::load(int row)
{
    const AlarmLimits fallback = row == LinkRow ? link() : AlarmLimits();
    const QSettings settings(QStringLiteral("Corvane"), QStringLiteral("corvane"));
    if (!settings.contains(settingsKey(row, "enabled")))
        return fallback;
    const auto text = [&settings, row](const char *value) {
        return settings.value(settingsKey(row, value)).toString();
    };
    AlarmLimits limits;
    const Texts stored{settings.value(settingsKey(row, "enabled")).toBool(), text("low"),
                       text("high"), text("hysteresis"), text("delay")};
    return parse(row, stored, &limits).isEmpty() ? limits : fallback;
}

void AlarmLimits::save(int row) const
{
    QSettings settings(QStringLiteral("Corvane"), QStringLiteral("corvane"));
    const Texts kept = texts();
    settings.setValue(settingsKey(row, "enabled"), kept.enabled);
    // The link row has no values; its delay is all it keeps.
    if (row != LinkRow) {
        settings.setValue(settingsKey(row, "low"), kept.low);
        settings.setValue(settingsKey(row, "high"), kept.high);
        settings.setValue(settingsKey(row, "hysteresis"), kept.hysteresis);
    }
    settings.setValue(settingsKey(row, "delay"), kept.delay);
}
