#include "samplewriter.h"

bool SampleWriter::open(const QString &path, ReadingFormat::Format chosen)
{
    format = chosen;
    if (!(path.isEmpty() ? output.openStream(LineOutput::StandardOutput) : output.openFile(path)))
        return false;
    if (format != ReadingFormat::Csv || !output.isEmpty())
        return true;
    return output.writeLine(ReadingFormat::csvHeader());
}

bool SampleWriter::write(const SensorProtocol::Reading &reading)
{
    return output.writeLine(ReadingFormat::line(reading, format));
}
