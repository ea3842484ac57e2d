#ifndef READINGFORMAT_H
#define READINGFORMAT_H

#include "sensorprotocol.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// How a reading is written for people (text), a spreadsheet (csv) or a script (jsonl): the one
// place that turns tenths and times into text, the same for every file, pipe and broker.
class ReadingFormat
{
public:
    enum Format { Text, Csv, JsonLines };

    // False for a name that is not text, csv or jsonl.
    static bool parse(const QString &name, Format *format);
    // ISO 8601 local time with milliseconds and the UTC offset, +00:00 in UTC rather than Z, so
    // that every line has the same shape: 2026-12-07T19:45:04.123+08:00. In ASCII digits
    // whatever the locale.
    static QString isoTime(const QDateTime &time);
    // The wire's tenths with one decimal, worked out in integers: -10.0, never a float's
    // rounding.
    static QString tenthsText(int tenths);
    // The CSV header: time and the four channels' keys.
    static QByteArray csvHeader();
    // The reading as one line of the format, without its newline.
    static QByteArray line(const SensorProtocol::Reading &reading, Format format);
};

#endif // READINGFORMAT_H
