#include "samplewriter.h"

#include "sensorprotocol.h"

#include <QStringList>

#include <cstdio>
#include <cstdlib>

namespace {
const char *const Keys[] = {"air_temperature_c", "humidity_rh", "pressure_kpa",
                            "oil_temperature_c"};
const char *const TextLabels[] = {"air", "humidity", "pressure", "oil"};
const char *const TextUnits[] = {"°C", "%RH", "kPa", "°C"};
} // namespace

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
    return time.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz"))
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

bool SampleWriter::open(const QString &path, Format chosen)
{
    format = chosen;
    if (path.isEmpty()) {
        if (!file.open(stdout, QIODevice::WriteOnly))
            return false;
    } else {
        file.setFileName(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
            return false;
    }
    if (format != Csv || file.size() > 0)
        return true;
    QStringList header{QStringLiteral("time")};
    for (const char *key : Keys)
        header << QLatin1String(key);
    return writeLine(header.join(QLatin1Char(',')));
}

bool SampleWriter::write(const QDateTime &time, const QByteArray &payload)
{
    QStringList values;
    for (int field = SensorProtocol::AirTemperature; field <= SensorProtocol::OilTemperature;
         ++field)
        values << tenthsText(SensorProtocol::measuredTenths(payload, SensorProtocol::Field(field)));
    const QString stamp = isoTime(time);
    QString line;
    if (format == Csv) {
        line = stamp + QLatin1Char(',') + values.join(QLatin1Char(','));
    } else if (format == JsonLines) {
        // Written by hand: a JSON writer would print -10.0 as -10.
        line = QStringLiteral("{\"time\":\"%1\"").arg(stamp);
        for (int i = 0; i < values.size(); ++i)
            line += QStringLiteral(",\"%1\":%2").arg(QLatin1String(Keys[i]), values.at(i));
        line += QLatin1Char('}');
    } else {
        line = stamp;
        for (int i = 0; i < values.size(); ++i)
            line += QStringLiteral("  %1 %2 %3")
                        .arg(QLatin1String(TextLabels[i]), values.at(i),
                             QString::fromUtf8(TextUnits[i]));
    }
    return writeLine(line);
}

bool SampleWriter::writeLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    return file.write(bytes) == bytes.size() && file.flush();
}
