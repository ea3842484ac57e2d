#ifndef SENSORPROTOCOL_H
#define SENSORPROTOCOL_H

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

// The wire format of the sensor unit: every pack is 0x21, a command byte, a length byte (the
// number of bytes in front of the checksum), a payload and a checksum that brings the sum of all
// bytes to 0 mod 256. Values are 16-bit words, high byte first, in tenths of their unit.
namespace SensorProtocol {

constexpr quint8 StartByte = 0x21;

// The unit answers each request with a pack of the same command.
enum Command : quint8 {
    ReadAir = 0x50,
    CalibrateAirTemperature = 0x51,
    CalibrateHumidity = 0x52,
    CalibratePressure = 0x53,
    FactoryReset = 0x56,
    ReadAll = 0x60,
    CalibrateOilTemperature = 0x61,
    ConnectionCheck = 0x63,
};

// The 8-bit sum of the bytes; a whole pack sums to 0.
quint8 byteSum(const QByteArray &bytes);
// The byte that brings the sum of the bytes to 0.
char checksum(const QByteArray &bytes);
// A whole pack: start byte, command, length, payload and checksum.
QByteArray pack(quint8 command, const QByteArray &payload = QByteArray());
// The value's low 16 bits, high byte first: the payload of a calibration.
QByteArray valuePayload(int value);

// A measured field in tenths. Temperatures are signed: a field whose hex text begins with F is
// two's complement over its own width (FF9C is -100, a lone F5 is -11).
int fieldTenths(const QByteArray &field, bool signedField);

// The bytes between the length byte and the checksum. The cutting has matched the pack's size to
// its length byte, so the size alone bounds the payload.
QByteArray payload(const QByteArray &pack);

// The measured fields of a read answer in payload order, two bytes each; a 0x50 answer ends
// before the oil temperature.
enum Field { AirTemperature, Humidity, Pressure, OilTemperature };
// Both bytes of the field are in the payload.
bool hasField(const QByteArray &payload, Field field);
// The field's tenths by its sign rule; bytes the payload lacks are left out (see fieldTenths).
int measuredTenths(const QByteArray &payload, Field field);

// The four measured channels, in field order: how each is named on the command line, in CSV
// columns and JSON keys, in text lines, its unit, the command that calibrates it and whether its
// words are signed.
struct Channel
{
    Field field;
    const char *name; // temperature, humidity, pressure, oil
    const char *key; // air_temperature_c, ...
    const char *label; // air, humidity, pressure, oil
    const char *unit; // UTF-8: °C, %RH, kPa, °C
    quint8 calibrationCommand;
    bool isSigned;
};
constexpr int ChannelCount = 4;
extern const Channel Channels[ChannelCount];
// The channel of that command-line name, or nullptr.
const Channel *channelNamed(const QString &name);

// The length byte of the unit's whole answer to a command (the bytes in front of the checksum):
// a 0x50 answer carries three fields, a 0x60 answer four, a calibration answer its status byte,
// the connection check and the factory reset nothing. 0 for a command the unit does not answer.
int answerLength(quint8 command);
// The pack is the unit's answer to the command, of exactly that answer's length. The window takes
// what the cutting hands on; the command-line programs, which keep records, take only this.
bool isExactAnswer(const QByteArray &pack, quint8 command);

// One reading of the unit: when it was received and its four fields in tenths, from an exact
// 0x60 answer and nothing else.
struct Reading
{
    QDateTime time;
    int tenths[ChannelCount];
};
// False when the pack is not an exact 0x60 answer.
bool readingOf(const QByteArray &pack, const QDateTime &time, Reading *reading);

// The status byte of a calibration answer, or -1 when the answer ends before it.
int calibrationStatus(const QByteArray &pack);
// The unit adopted the value: a status other than 00. Without a status byte it did not.
bool calibrationSucceeded(const QByteArray &pack);

// The values each calibration command can carry in its 16 bits, in tenths: the unit reads
// temperatures as signed and humidity and air pressure as unsigned words.
struct Range
{
    int lowest;
    int highest;
};
Range calibrationRange(quint8 command);

// A typed reference value checked for a calibration command: a plain decimal number (full stop,
// an exponent allowed, surrounding spaces ignored), in tenths truncated toward zero, inside the
// command's range. Only a Valid value may be sent.
struct CalibrationValue
{
    enum Verdict { Valid, NotANumber, OutOfRange };
    Verdict verdict;
    int tenths;
};
CalibrationValue calibrationValue(const QString &typed, quint8 command);

} // namespace SensorProtocol

#endif // SENSORPROTOCOL_H
