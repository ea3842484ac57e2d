#ifndef SAMPLEWRITER_H
#define SAMPLEWRITER_H

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>

// Writes the readings of one answer as a line for people (text), a spreadsheet (csv) or a script
// (jsonl), each line flushed as it is written, so that a stopped run leaves only whole lines.
class SampleWriter
{
public:
    enum Format { Text, Csv, JsonLines };

    // False for a name that is not text, csv or jsonl.
    static bool parseFormat(const QString &name, Format *format);
    // ISO 8601 local time with milliseconds and the UTC offset, +00:00 in UTC rather than Z, so
    // that every line has the same shape: 2026-12-07T19:45:04.123+08:00.
    static QString isoTime(const QDateTime &time);
    // The wire's tenths with one decimal, worked out in integers: -10.0, never a float's
    // rounding.
    static QString tenthsText(int tenths);

    // Appends to the file, or writes to stdout when the path is empty. The CSV header goes only
    // into an empty output, so that a log continued over several runs keeps one.
    bool open(const QString &path, Format format);
    // One line from the payload of a 0x60 answer, which must hold all four fields.
    bool write(const QDateTime &time, const QByteArray &payload);
    QString errorString() const { return file.errorString(); }

private:
    bool writeLine(const QString &line);

    QFile file;
    Format format = JsonLines;
};

#endif // SAMPLEWRITER_H
