#include "sensorprotocol.h"

namespace SensorProtocol {

quint8 byteSum(const QByteArray &bytes)
{
    quint8 sum = 0;
    for (const char byte : bytes)
        sum = quint8(sum + quint8(byte));
    return sum;
}

Range calibrationRange(quint8 command)
{
    const bool temperature = command == 0x51 || command == 0x61;
    return temperature ? Range{-32768, 32767} : Range{0, 65535};
}

} // namespace SensorProtocol
