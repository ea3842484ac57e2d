#include "sensorprotocol.h"

#include <cmath>

namespace SensorProtocol {

quint8 byteSum(const QByteArray &bytes)
{
    quint8 sum = 0;
    for (const char byte : bytes)
        sum = quint8(sum + quint8(byte));
    return sum;
}

char checksum(const QByteArray &bytes)
{
    return char(quint8(0x100 - byteSum(bytes)));
}

QByteArray pack(quint8 command, const QByteArray &payload)
{
    QByteArray bytes;
    bytes.reserve(payload.size() + 4);
    bytes.append(char(StartByte));
    bytes.append(char(command));
    bytes.append(char(quint8(3 + payload.size())));
    bytes.append(payload);
    bytes.append(checksum(bytes));
    return bytes;
}

QByteArray valuePayload(int value)
{
    QByteArray payload;
    payload.append(char((value >> 8) & 0xFF));
    payload.append(char(value & 0xFF));
    return payload;
}

int fieldTenths(const QByteArray &field, bool signedField)
{
    const QByteArray hex = field.toHex().toUpper();
    const int value = hex.toInt(nullptr, 16);
    return signedField && hex.startsWith('F') ? value - (1 << (4 * hex.size())) : value;
}

QByteArray payload(const QByteArray &pack)
{
    QByteArray bytes = pack.mid(3);
    bytes.chop(1);
    return bytes;
}

bool hasField(const QByteArray &payload, Field field)
{
    return payload.size() >= 2 * field + 2;
}

int measuredTenths(const QByteArray &payload, Field field)
{
    return fieldTenths(payload.mid(2 * field, 2), Channels[field].isSigned);
}

const Channel Channels[ChannelCount] = {
    {AirTemperature, "temperature", "air_temperature_c", "air", "°C", CalibrateAirTemperature,
     true},
    {Humidity, "humidity", "humidity_rh", "humidity", "%RH", CalibrateHumidity, false},
    {Pressure, "pressure", "pressure_kpa", "pressure", "kPa", CalibratePressure, false},
    {OilTemperature, "oil", "oil_temperature_c", "oil", "°C", CalibrateOilTemperature, true},
};

const Channel *channelNamed(const QString &name)
{
    for (const Channel &channel : Channels) {
        if (name == QLatin1String(channel.name))
            return &channel;
    }
    return nullptr;
}

int answerLength(quint8 command)
{
    switch (command) {
    case ReadAir:
        return 3 + 6;
    case ReadAll:
        return 3 + 8;
    case CalibrateAirTemperature:
    case CalibrateHumidity:
    case CalibratePressure:
    case CalibrateOilTemperature:
        return 3 + 1;
    case FactoryReset:
    case ConnectionCheck:
        return 3;
    }
    return 0;
}

bool isExactAnswer(const QByteArray &pack, quint8 command)
{
    const int length = answerLength(command);
    return length > 0 && pack.size() == length + 1 && quint8(pack.at(1)) == command
        && quint8(pack.at(2)) == length;
}

bool readingOf(const QByteArray &pack, const QDateTime &time, Reading *reading)
{
    if (!isExactAnswer(pack, ReadAll))
        return false;
    const QByteArray fields = payload(pack);
    reading->time = time;
    for (const Channel &channel : Channels)
        reading->tenths[channel.field] = measuredTenths(fields, channel.field);
    return true;
}

int calibrationStatus(const QByteArray &pack)
{
    const QByteArray bytes = payload(pack);
    return bytes.isEmpty() ? -1 : quint8(bytes.at(0));
}

bool calibrationSucceeded(const QByteArray &pack)
{
    return calibrationStatus(pack) > 0;
}

Range calibrationRange(quint8 command)
{
    const bool temperature =
        command == CalibrateAirTemperature || command == CalibrateOilTemperature;
    return temperature ? Range{-32768, 32767} : Range{0, 65535};
}

CalibrationValue calibrationValue(const QString &typed, quint8 command)
{
    bool isNumber = false;
    const double value = typed.trimmed().toDouble(&isNumber);
    if (!isNumber || std::isnan(value))
        return {CalibrationValue::NotANumber, 0};
    // Compared as a double, so that a value far beyond the range never wraps into it.
    const double tenfold = std::trunc(value * 10.0);
    const Range range = calibrationRange(command);
    if (tenfold < range.lowest || tenfold > range.highest)
        return {CalibrationValue::OutOfRange, 0};
    return {CalibrationValue::Valid, int(tenfold)};
}

} // namespace SensorProtocol
