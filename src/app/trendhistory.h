#ifndef TRENDHISTORY_H
#define TRENDHISTORY_H

#include "sensorprotocol.h"

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <vector>

// What the window remembers of the unit: its readings of the last day at the polling rate, oldest
// first, in a ring, each at the time it was received. The trend and its exports are drawn from
// here and from nothing else, so they show only what the unit sent.
class TrendHistory
{
public:
    struct Sample
    {
        qint64 msecs; // since the epoch, when the answer was received
        // Each field as the wire carries it, 16 bits, read by its channel's sign rule: a day of
        // readings takes 1.4 MB rather than 2.1.
        quint16 words[SensorProtocol::ChannelCount];
        int tenths(int channel) const
        {
            return SensorProtocol::Channels[channel].isSigned ? int(qint16(words[channel]))
                                                              : int(words[channel]);
        }
    };
    struct Summary
    {
        int count = 0;
        int minimum = 0;
        int maximum = 0;
        double mean = 0; // in tenths
    };
    using Summaries = std::array<Summary, SensorProtocol::ChannelCount>;

    // A day at one reading a second.
    static constexpr int DayOfReadings = 86400;
    // Readings further apart than this have a gap between them: at least one polling second went
    // without an answer (a closed port, a lost device, an unanswered request).
    static constexpr qint64 GapMsecs = 1500;

    explicit TrendHistory(int capacity = DayOfReadings);

    // Keeps the reading; when the ring is full the oldest goes.
    void append(const SensorProtocol::Reading &reading);
    int size() const { return count; }
    bool isFull() const { return count == capacity; }
    // 0 is the oldest.
    const Sample &at(int index) const { return ring[size_t((first + index) % capacity)]; }
    SensorProtocol::Reading reading(int index) const;
    // No line may join this sample to the one before it.
    bool gapBefore(int index) const;
    // The first sample at or after the time, size() when there is none.
    int lowerBound(qint64 msecs) const;
    // The sample nearest in time, -1 when the history is empty.
    int nearest(qint64 msecs) const;
    // Minimum, maximum and mean of each channel over the samples from..to, both included.
    Summaries summarise(qint64 from, qint64 to) const;
    // The samples from..to exactly as `corvane-cli read --format csv` writes them, header first.
    QByteArray csv(qint64 from, qint64 to) const;

private:
    std::vector<Sample> ring;
    int capacity;
    int first = 0;
    int count = 0;
};

#endif // TRENDHISTORY_H
