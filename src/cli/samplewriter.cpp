#include "samplewriter.h"

#include <QLocale>
#include <QStringList>

#include <cstdlib>

using SensorProtocol::Channels;

bool SampleWriter::parseFormat(const QString &name, Format *format)
{
    if (name == QLatin1String("text"))
        *format = Text;
    else if (name == QLatin1String("csv"))
        *format = Csv;
    else if (name == QLatin1String("jsonl"))
        *format = JsonLines;
    else
        return false;
    return true;
}

QString SampleWriter::isoTime(const QDateTime &time)
{
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    // Qt 5 writes a date in the system locale's digits; a machine's format takes the C locale's.
    return QLocale::c().toString(time, QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz"))
        + (offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        + QStringLiteral("%1:%2")
              .arg(minutes / 60, 2, 10, QLatin1Char('0'))
              .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString SampleWriter::tenthsText(int tenths)
{
    const int magnitude = std::abs(tenths);
    return QStringLiteral("%1%2.%3")
        .arg(tenths < 0 ? QStringLiteral("-") : QString())
        .arg(magnitude / 10)
        .arg(magnitude % 10);
}

QByteArray SampleWriter::jsonObject(const SensorProtocol::Reading &reading)
{
    // Written by hand: a JSON writer would print -10.0 as -10.
    QString line = QStringLiteral("{\"time\":\"%1\"").arg(isoTime(reading.time));
    for (const auto &channel : Channels)
        line += QStringLiteral(",\"%1\":%2")
                    .arg(QLatin1String(channel.key), tenthsText(reading.tenths[channel.field]));
    return line.toUtf8() + '}';
}

bool SampleWriter::open(const QString &path, Format chosen)
{
    format = chosen;
    if (!(path.isEmpty() ? output.openStream(LineOutput::StandardOutput) : output.openFile(path)))
        return false;
    if (format != Csv || !output.isEmpty())
        return true;
    QByteArray header = "time";
    for (const auto &channel : Channels)
        header += ',' + QByteArray(channel.key);
    return output.writeLine(header);
}

bool SampleWriter::write(const SensorProtocol::Reading &reading)
{
    if (format == JsonLines)
        return output.writeLine(jsonObject(reading));
    QString line = isoTime(reading.time);
    for (const auto &channel : Channels) {
        const QString value = tenthsText(reading.tenths[channel.field]);
        if (format == Csv)
            line += QLatin1Char(',') + value;
        else
            line += QStringLiteral("  %1 %2 %3")
                        .arg(QLatin1String(channel.label), value, QString::fromUtf8(channel.unit));
    }
    return output.writeLine(line.toUtf8());
}
