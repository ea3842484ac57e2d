#ifndef SAMPLEWRITER_H
#define SAMPLEWRITER_H

#include "lineoutput.h"
#include "sensorprotocol.h"

#include <QDateTime>
#include <QString>

// Writes each reading as a line for people (text), a spreadsheet (csv) or a script (jsonl), each
// line whole as it is written, so that a stopped run leaves only whole lines.
class SampleWriter
{
public:
    enum Format { Text, Csv, JsonLines };

    // False for a name that is not text, csv or jsonl.
    static bool parseFormat(const QString &name, Format *format);
    // ISO 8601 local time with milliseconds and the UTC offset, +00:00 in UTC rather than Z, so
    // that every line has the same shape: 2026-12-07T19:45:04.123+08:00. In ASCII digits
    // whatever the locale.
    static QString isoTime(const QDateTime &time);
    // The wire's tenths with one decimal, worked out in integers: -10.0, never a float's
    // rounding.
    static QString tenthsText(int tenths);
    // The reading as one JSON object: its time and the four values with one decimal.
    static QByteArray jsonObject(const SensorProtocol::Reading &reading);

    // Appends to the file, or writes to stdout when the path is empty. The CSV header goes only
    // into an empty output, so that a log continued over several runs keeps one.
    bool open(const QString &path, Format format);
    bool write(const SensorProtocol::Reading &reading);
    QString errorString() const { return output.errorString(); }

private:
    LineOutput output;
    Format format = JsonLines;
};

#endif // SAMPLEWRITER_H
