#include "trendhistory.h"

#include "readingformat.h"

#include <QDateTime>

#include <algorithm>

TrendHistory::TrendHistory(int capacity)
    : capacity(capacity)
{
    // Taken once and filled as readings come: pages not yet written cost no memory.
    ring.reserve(size_t(capacity));
}

void TrendHistory::append(const SensorProtocol::Reading &reading)
{
    Sample sample;
    sample.msecs = reading.time.toMSecsSinceEpoch();
    for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel)
        sample.words[channel] = quint16(reading.tenths[channel]);
    if (count < capacity) {
        ring.push_back(sample);
        ++count;
        return;
    }
    ring[size_t(first)] = sample;
    first = (first + 1) % capacity;
}

SensorProtocol::Reading TrendHistory::reading(int index) const
{
    SensorProtocol::Reading reading;
    reading.time = QDateTime::fromMSecsSinceEpoch(at(index).msecs);
    for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel)
        reading.tenths[channel] = at(index).tenths(channel);
    return reading;
}

bool TrendHistory::gapBefore(int index) const
{
    return index > 0 && at(index).msecs - at(index - 1).msecs > GapMsecs;
}

int TrendHistory::lowerBound(qint64 msecs) const
{
    int low = 0;
    int high = count;
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (at(middle).msecs < msecs)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

int TrendHistory::nearest(qint64 msecs) const
{
    if (count == 0)
        return -1;
    const int after = lowerBound(msecs);
    if (after == count)
        return count - 1;
    if (after == 0)
        return 0;
    return msecs - at(after - 1).msecs <= at(after).msecs - msecs ? after - 1 : after;
}

TrendHistory::Summaries TrendHistory::summarise(qint64 from, qint64 to) const
{
    Summaries summaries;
    std::array<qint64, SensorProtocol::ChannelCount> sums{};
    for (int i = lowerBound(from); i < count && at(i).msecs <= to; ++i) {
        for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel) {
            Summary &summary = summaries[size_t(channel)];
            const int tenths = at(i).tenths(channel);
            if (summary.count == 0 || tenths < summary.minimum)
                summary.minimum = tenths;
            if (summary.count == 0 || tenths > summary.maximum)
                summary.maximum = tenths;
            ++summary.count;
            sums[size_t(channel)] += tenths;
        }
    }
    for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel) {
        Summary &summary = summaries[size_t(channel)];
        if (summary.count > 0)
            summary.mean = double(sums[size_t(channel)]) / summary.count;
    }
    return summaries;
}

QByteArray TrendHistory::csv(qint64 from, qint64 to) const
{
    QByteArray text = ReadingFormat::csvHeader() + '\n';
    for (int i = lowerBound(from); i < count && at(i).msecs <= to; ++i)
        text += ReadingFormat::line(reading(i), ReadingFormat::Csv) + '\n';
    return text;
}
