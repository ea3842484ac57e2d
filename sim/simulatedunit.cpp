#include "simulatedunit.h"

#include <QRandomGenerator>
#include <QTimer>

namespace {

constexpr char StartByte = 0x21;

enum Command : quint8 {
    ConnectionCheck = 0x63,
    ReadAir = 0x50,
    ReadAll = 0x60,
    CalibrateAirTemperature = 0x51,
    CalibrateHumidity = 0x52,
    CalibratePressure = 0x53,
    CalibrateOilTemperature = 0x61,
    FactoryReset = 0x56,
};

constexpr quint8 CalibrationSuccess = 0x01;

bool isTemperature(SimulatedUnit::Channel channel)
{
    return channel == SimulatedUnit::AirTemperature || channel == SimulatedUnit::OilTemperature;
}

// Readings are kept as what the wire can carry, so reading() always matches what is sent.
int clampToWire(SimulatedUnit::Channel channel, int tenths)
{
    return isTemperature(channel) ? qBound(-32768, tenths, 32767) : qBound(0, tenths, 65535);
}

void appendWord(QByteArray &bytes, int value)
{
    const quint16 word = quint16(value);
    bytes.append(char(word >> 8));
    bytes.append(char(word & 0xFF));
}

quint8 byteSum(const QByteArray &bytes)
{
    quint8 sum = 0;
    for (const char c : bytes)
        sum = quint8(sum + quint8(c));
    return sum;
}

bool isWellFormed(const QByteArray &frame)
{
    return frame.size() >= 4 && frame.at(0) == StartByte && quint8(frame.at(2)) + 1 == frame.size()
        && byteSum(frame) == 0;
}

// The monotonic clock that QElapsedTimer uses, in milliseconds.
qint64 monotonicMsecs()
{
    QElapsedTimer now;
    now.start();
    return now.msecsSinceReference();
}

} // namespace

SimulatedUnit::SimulatedUnit(QObject *parent)
    : QObject(parent)
{
    for (const Channel channel : {AirTemperature, Humidity, Pressure, OilTemperature})
        readings[channel] = factoryReading(channel);

    driftTimer = new QTimer(this);
    driftTimer->setInterval(1000);
    connect(driftTimer, &QTimer::timeout, this, &SimulatedUnit::driftStep);

    // Precise, because coarse timers may fire early and a delayed answer must never be early.
    sendTimer = new QTimer(this);
    sendTimer->setSingleShot(true);
    sendTimer->setTimerType(Qt::PreciseTimer);
    connect(sendTimer, &QTimer::timeout, this, &SimulatedUnit::pumpQueue);
}

SimulatedUnit::~SimulatedUnit()
{
    closeLine();
}

QString SimulatedUnit::portName() const
{
    return devicePath;
}

void SimulatedUnit::hangUp()
{
    closeLine();
}

void SimulatedUnit::closeLine()
{
    releaseLine();
    sendTimer->stop();
    outQueue.clear();
    writeBacklog.clear();
    writeOffset = 0;
    heldAnswer.clear();
    inBuffer.clear();
}

int SimulatedUnit::factoryReading(Channel channel)
{
    switch (channel) {
    case AirTemperature:
        return 215;
    case Humidity:
        return 453;
    case Pressure:
        return 1013;
    case OilTemperature:
        return 402;
    }
    return 0;
}

int SimulatedUnit::reading(Channel channel) const
{
    return readings[channel];
}

void SimulatedUnit::setReading(Channel channel, int tenths)
{
    readings[channel] = clampToWire(channel, tenths);
}

void SimulatedUnit::setDrift(bool on)
{
    if (on)
        driftTimer->start();
    else
        driftTimer->stop();
}

void SimulatedUnit::driftStep()
{
    struct Range
    {
        int low;
        int high;
    };
    static constexpr Range ranges[] = {{-400, 850}, {0, 1000}, {950, 1050}, {-400, 1500}};
    for (const Channel channel : {AirTemperature, Humidity, Pressure, OilTemperature}) {
        const int step = QRandomGenerator::global()->bounded(-2, 3);
        const Range range = ranges[channel];
        const int value = readings[channel];
        // A step that would leave the range is reflected, so a reading set outside it walks
        // back in rather than jumping.
        const bool leaves =
            (value + step < range.low && step < 0) || (value + step > range.high && step > 0);
        setReading(channel, leaves ? value - step : value + step);
    }
}

void SimulatedUnit::setSilent(bool on)
{
    silent = on;
}

void SimulatedUnit::setAnswerDelay(int msecs)
{
    answerDelay = qMax(0, msecs);
}

void SimulatedUnit::setCorruptChecksum(bool on)
{
    corruptChecksum = on;
}

void SimulatedUnit::setCalibrationStatus(quint8 status)
{
    calibrationStatus = status;
}

void SimulatedUnit::setSplitAnswers(int pieceSize, int gapMsecs)
{
    splitPieceSize = qMax(0, pieceSize);
    splitGap = qMax(0, gapMsecs);
}

void SimulatedUnit::setCoalesceAnswers(bool on)
{
    coalesce = on;
    if (!on && !heldAnswer.isEmpty()) {
        const QByteArray held = heldAnswer;
        heldAnswer.clear();
        schedule(held);
    }
}

void SimulatedUnit::sendRaw(const QByteArray &bytes)
{
    writeNow(bytes);
}

QByteArray SimulatedUnit::frame(quint8 command, const QByteArray &payload)
{
    QByteArray bytes;
    bytes.reserve(payload.size() + 4);
    bytes.append(StartByte);
    bytes.append(char(command));
    bytes.append(char(quint8(3 + payload.size())));
    bytes.append(payload);
    bytes.append(char(quint8(0x100 - byteSum(bytes))));
    return bytes;
}

QList<SimulatedUnit::Frame> SimulatedUnit::receivedFrames() const
{
    return frames;
}

QByteArray SimulatedUnit::receivedBytes() const
{
    return allReceived;
}

void SimulatedUnit::clearReceived()
{
    frames.clear();
    allReceived.clear();
}

void SimulatedUnit::receive(const QByteArray &chunk)
{
    allReceived.append(chunk);
    inBuffer.append(chunk);
    // The host cuts by the same rule: the length byte counts everything but the checksum.
    while (inBuffer.size() >= 4) {
        const int length = quint8(inBuffer.at(2)) + 1;
        if (inBuffer.size() < length)
            break;
        const QByteArray received = inBuffer.left(length);
        inBuffer.remove(0, length);
        handleFrame(received);
        if (!isServing())
            return;
    }
}

void SimulatedUnit::handleFrame(const QByteArray &received)
{
    frames.append({monotonicMsecs(), received});
    emit frameReceived(received);
    if (silent || !isWellFormed(received))
        return;

    const quint8 command = quint8(received.at(1));
    const QByteArray payload = received.mid(3, received.size() - 4);
    switch (command) {
    case CalibrateAirTemperature:
        return calibrate(command, AirTemperature, payload);
    case CalibrateHumidity:
        return calibrate(command, Humidity, payload);
    case CalibratePressure:
        return calibrate(command, Pressure, payload);
    case CalibrateOilTemperature:
        return calibrate(command, OilTemperature, payload);
    default:
        break;
    }
    // Every other request is bare; one with a payload is not the unit's and goes unanswered.
    if (!payload.isEmpty())
        return;

    switch (command) {
    case ConnectionCheck:
        answer(frame(ConnectionCheck));
        break;
    case ReadAir:
    case ReadAll: {
        QByteArray values;
        for (const Channel channel : {AirTemperature, Humidity, Pressure})
            appendWord(values, readings[channel]);
        if (command == ReadAll)
            appendWord(values, readings[OilTemperature]);
        answer(frame(command, values));
        break;
    }
    case FactoryReset:
        for (const Channel channel : {AirTemperature, Humidity, Pressure, OilTemperature})
            readings[channel] = factoryReading(channel);
        answer(frame(FactoryReset));
        break;
    default:
        break;
    }
}

void SimulatedUnit::calibrate(quint8 command, Channel channel, const QByteArray &payload)
{
    if (payload.size() != 2)
        return;
    const quint16 word = quint16((quint8(payload.at(0)) << 8) | quint8(payload.at(1)));
    if (calibrationStatus == CalibrationSuccess)
        readings[channel] = isTemperature(channel) ? int(qint16(word)) : int(word);
    answer(frame(command, QByteArray(1, char(calibrationStatus))));
}

void SimulatedUnit::answer(const QByteArray &bytes)
{
    QByteArray out = bytes;
    if (corruptChecksum)
        out[out.size() - 1] = char(quint8(out.at(out.size() - 1)) + 1);
    if (coalesce && heldAnswer.isEmpty()) {
        heldAnswer = out;
        return;
    }
    schedule(heldAnswer + out);
    heldAnswer.clear();
}

void SimulatedUnit::schedule(const QByteArray &bytes)
{
    const qint64 due = monotonicMsecs() + answerDelay;
    const int pieceSize = splitPieceSize > 0 ? splitPieceSize : bytes.size();
    for (int at = 0; at < bytes.size(); at += pieceSize) {
        const bool last = at + pieceSize >= bytes.size();
        outQueue.append({due, bytes.mid(at, pieceSize), last ? 0 : splitGap});
    }
    if (!sendTimer->isActive())
        pumpQueue();
}

void SimulatedUnit::pumpQueue()
{
    while (!outQueue.isEmpty() && isServing()) {
        const qint64 now = monotonicMsecs();
        if (outQueue.first().notBefore > now) {
            sendTimer->start(int(outQueue.first().notBefore - now));
            return;
        }
        const Outgoing piece = outQueue.takeFirst();
        writeNow(piece.bytes);
        // The gap runs from the actual write, so that a late timer cannot make pieces merge.
        if (piece.gapAfter > 0 && !outQueue.isEmpty()) {
            Outgoing &next = outQueue.first();
            next.notBefore = qMax(next.notBefore, monotonicMsecs() + piece.gapAfter);
        }
    }
}

void SimulatedUnit::writeNow(const QByteArray &bytes)
{
    if (!isServing() || bytes.isEmpty())
        return;
    writeBacklog.append(bytes);
    // Behind a backlog the write notifier keeps the order.
    if (writeBacklog.size() == 1)
        flushBacklog();
}
