#ifndef SENSORPROTOCOL_H
#define SENSORPROTOCOL_H

#include <QByteArray>
#include <QtGlobal>

// The wire format of the sensor unit: every pack is 0x21, a command byte, a length byte (the
// number of bytes in front of the checksum), a payload and a checksum that brings the sum of all
// bytes to 0 mod 256.
namespace SensorProtocol {

constexpr quint8 StartByte = 0x21;

// The 8-bit sum of the bytes; a whole pack sums to 0.
quint8 byteSum(const QByteArray &bytes);

// The values each calibration command can carry in its 16 bits, in tenths: the unit reads
// temperatures as signed and humidity and air pressure as unsigned words.
struct Range
{
    int lowest;
    int highest;
};
Range calibrationRange(quint8 command);

} // namespace SensorProtocol

#endif // SENSORPROTOCOL_H
