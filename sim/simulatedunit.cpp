#include "simulatedunit.h"

#include "sensorprotocol.h"

#include <QRandomGenerator>
#include <QTimer>

namespace {

using namespace SensorProtocol;

constexpr quint8 CalibrationSuccess = 0x01;

// The calibration command of each channel, in Channel order.
constexpr quint8 CalibrationCommands[] = {CalibrateAirTemperature, CalibrateHumidity,
                                          CalibratePressure, CalibrateOilTemperature};

// Readings are kept as what the wire can carry, so reading() always matches what is sent.
int clampToWire(SimulatedUnit::Channel channel, int tenths)
{
    const Range range = calibrationRange(CalibrationCommands[channel]);
    return qBound(range.lowest, tenths, range.highest);
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

qint64 SimulatedUnit::clockMsecs()
{
    QElapsedTimer now;
    now.start();
    return now.msecsSinceReference();
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

void SimulatedUnit::spoilNextAnswer(quint8 command, int at, int removeCount,
                                    const QByteArray &insert)
{
    spoil = {command, at, removeCount, insert};
}

void SimulatedUnit::sendRaw(const QByteArray &bytes)
{
    writeNow(bytes);
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
    // Cut as the host cuts; what is dropped is recorded as one frame and not answered.
    for (PackFramer::Cut cut = inBuffer.next(); cut.kind != PackFramer::Cut::Waiting;
         cut = inBuffer.next()) {
        handleFrame(cut.bytes, cut.kind == PackFramer::Cut::Pack);
        if (!isServing())
            return;
    }
}

void SimulatedUnit::handleFrame(const QByteArray &received, bool intact)
{
    frames.append({clockMsecs(), received});
    emit frameReceived(received);
    // Packs shorter than four bytes end before their length byte: none of the unit's.
    if (silent || !intact || received.size() < 4)
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
        answer(pack(ConnectionCheck));
        break;
    case ReadAir:
    case ReadAll: {
        QByteArray values;
        for (const Channel channel : {AirTemperature, Humidity, Pressure})
            values += valuePayload(readings[channel]);
        if (command == ReadAll)
            values += valuePayload(readings[OilTemperature]);
        answer(pack(command, values));
        break;
    }
    case FactoryReset:
        for (const Channel channel : {AirTemperature, Humidity, Pressure, OilTemperature})
            readings[channel] = factoryReading(channel);
        answer(pack(FactoryReset));
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
        readings[channel] = calibrationRange(command).lowest < 0 ? int(qint16(word)) : int(word);
    answer(pack(command, QByteArray(1, char(calibrationStatus))));
}

void SimulatedUnit::answer(const QByteArray &bytes)
{
    QByteArray out = bytes;
    if (corruptChecksum)
        out[out.size() - 1] = char(quint8(out.at(out.size() - 1)) + 1);
    if (spoil.command == quint8(out.at(1))) {
        out.replace(qMin(spoil.at, out.size()), spoil.removeCount, spoil.insert);
        spoil = Spoil();
    }
    if (coalesce && heldAnswer.isEmpty()) {
        heldAnswer = out;
        return;
    }
    schedule(heldAnswer + out);
    heldAnswer.clear();
}

void SimulatedUnit::schedule(const QByteArray &bytes)
{
    const qint64 due = clockMsecs() + answerDelay;
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
        const qint64 now = clockMsecs();
        if (outQueue.first().notBefore > now) {
            sendTimer->start(int(outQueue.first().notBefore - now));
            return;
        }
        const Outgoing piece = outQueue.takeFirst();
        writeNow(piece.bytes);
        // The gap runs from the actual write, so that a late timer cannot make pieces merge.
        if (piece.gapAfter > 0 && !outQueue.isEmpty()) {
            Outgoing &next = outQueue.first();
            next.notBefore = qMax(next.notBefore, clockMsecs() + piece.gapAfter);
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
