#include "readingformat.h"

#include <QLocale>

#include <cstdlib>

using SensorProtocol::Channels;

bool ReadingFormat::parse(const QString &name, Format *format)
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

QString ReadingFormat::isoTime(const QDateTime &time)
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

QString ReadingFormat::tenthsText(int tenths)
{
    const int magnitude = std::abs(tenths);
    return QStringLiteral("%1%2.%3")
        .arg(tenths < 0 ? QStringLiteral("-") : QString())
        .arg(magnitude / 10)
        .arg(magnitude % 10);
}

QByteArray ReadingFormat::csvHeader()
{
    QByteArray header = "time";
    for (const auto &channel : Channels)
        header += ',' + QByteArray(channel.key);
    return header;
}

QByteArray ReadingFormat::line(const SensorProtocol::Reading &reading, Format format)
{
    QString line = format == JsonLines
        ? QStringLiteral("{\"time\":\"%1\"").arg(isoTime(reading.time))
        : isoTime(reading.time);
    for (const auto &channel : Channels) {
        const QString value = tenthsText(reading.tenths[channel.field]);
        // JSON written by hand: a JSON writer would print -10.0 as -10.
        if (format == JsonLines)
            line += QStringLiteral(",\"%1\":%2").arg(QLatin1String(channel.key), value);
        else if (format == Csv)
            line += QLatin1Char(',') + value;
        else
            line += QStringLiteral("  %1 %2 %3")
                        .arg(QLatin1String(channel.label), value, QString::fromUtf8(channel.unit));
    }
    if (format == JsonLines)
        line += QLatin1Char('}');
    return line.toUtf8();
}
