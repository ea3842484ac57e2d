#ifndef SAMPLEWRITER_H
#define SAMPLEWRITER_H

#include "lineoutput.h"
#include "readingformat.h"

#include <QString>

// Writes each reading as a line of its format into a file or stdout, each line whole as it is
// written, so that a stopped run leaves only whole lines.
class SampleWriter
{
public:
    // Appends to the file, or writes to stdout when the path is empty. The CSV header goes only
    // into an empty output, so that a log continued over several runs keeps one.
    bool open(const QString &path, ReadingFormat::Format format);
    bool write(const SensorProtocol::Reading &reading);
    QString errorString() const { return output.errorString(); }

private:
    LineOutput output;
    ReadingFormat::Format format = ReadingFormat::JsonLines;
};

#endif // SAMPLEWRITER_H
