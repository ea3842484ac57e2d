#include "sensorprotocol.h"

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

Range calibrationRange(quint8 command)
{
    const bool temperature =
        command == CalibrateAirTemperature || command == CalibrateOilTemperature;
    return temperature ? Range{-32768, 32767} : Range{0, 65535};
}

} // namespace SensorProtocol
