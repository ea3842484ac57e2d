#include "serialcommon.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QSerialPortInfo>
#include <QTime>

namespace {
// The link's trace lines, on by default. QT_LOGGING_RULES="corvane.link.debug=false" silences
// them; a pack's line costs far more than cutting it, so bulk traffic is cut faster without.
Q_LOGGING_CATEGORY(lcLink, "corvane.link")
} // namespace

SerialCommon::SerialCommon(QObject *parent)
    : QObject(parent)
    , serialPort(new QSerialPort)
{
    // Queued, so that the port's readyRead emission has returned before the cutting starts: the
    // port emits readyRead only once at a time, and a receiver of sendParsePack may run a modal
    // box whose event loop must go on receiving.
    connect(serialPort, &QSerialPort::readyRead, this, &SerialCommon::onReadyRead,
            Qt::QueuedConnection);
    connect(serialPort, &QSerialPort::errorOccurred, this, &SerialCommon::onPortError);
}

SerialCommon::~SerialCommon()
{
    delete serialPort;
}

void SerialCommon::openPort(const QString &portName)
{
    serialPort->setPortName(portName);
    serialPort->setBaudRate(QSerialPort::Baud9600, QSerialPort::AllDirections);
    serialPort->setDataBits(QSerialPort::Data8);
    serialPort->setStopBits(QSerialPort::OneStop);
    serialPort->setParity(QSerialPort::NoParity);
    serialPort->setFlowControl(QSerialPort::NoFlowControl);
    const bool opened = serialPort->open(QIODevice::ReadWrite);
    qCDebug(lcLink) << "open:" << opened;
    if (!opened) {
        emit openSerialPort(false);
        return;
    }
    // Bytes left from an earlier connection, read or still waiting in the driver, would lead
    // the first answer of this one.
    serialPort->clear(QSerialPort::Input);
    receiveBuffer.clear();
    receiveOffset = 0;
    lostPending = false;
    serialPort->write(QByteArray::fromHex("21630379"));
    serialPort->flush();
}

void SerialCommon::closePort()
{
    lostPending = false;
    if (serialPort->isOpen())
        serialPort->close();
}

bool SerialCommon::isPortOpen() const
{
    return serialPort->isOpen();
}

QStringList SerialCommon::scanPorts()
{
    QStringList locations;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        locations << info.systemLocation();
    return probePorts(locations);
}

QStringList SerialCommon::probePorts(const QStringList &systemLocations)
{
    QStringList names;
    for (const QString &location : systemLocations) {
        QSerialPort port;
        port.setPortName(location);
        if (port.open(QIODevice::ReadWrite)) {
            names << port.portName();
            port.close();
        }
    }
    return names;
}

void SerialCommon::onReadyRead()
{
    // A queued notification may arrive after the port was closed; nothing is readable then.
    receiveBytes(serialPort->isOpen() ? serialPort->readAll() : QByteArray());
}

void SerialCommon::receiveBytes(const QByteArray &bytes)
{
    receiveBuffer.append(bytes);
    parseBuffer();
}

void SerialCommon::onSendToSerialPort(QByteArray byte)
{
    if (!serialPort->isOpen())
        return;
    serialPort->write(byte);
    serialPort->flush();
}

void SerialCommon::parseBuffer()
{
    // receiveOffset is re-read on every round: a receiver that runs a nested event loop may
    // cut (and compact) the rest of the buffer before control comes back here.
    while (receiveBuffer.size() - receiveOffset >= 4) {
        const int length = quint8(receiveBuffer.at(receiveOffset + 2));
        if (receiveBuffer.size() - receiveOffset <= length)
            break;
        const QByteArray pack = receiveBuffer.mid(receiveOffset, length + 1);
        receiveOffset += length + 1;
        qCDebug(lcLink) << "-----" << pack.toHex().toUpper()
                        << QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
        emit sendParsePack(pack);
    }
    receiveBuffer.remove(0, receiveOffset);
    receiveOffset = 0;
}

void SerialCommon::onPortError(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError
        && error != QSerialPort::WriteError)
        return;
    if (!serialPort->isOpen() || lostPending)
        return;
    lostPending = true;
    // Closing inside the port's own read notification would free its read buffer under it;
    // the port is dropped as soon as control is back in the event loop.
    QMetaObject::invokeMethod(this, &SerialCommon::dropLostPort, Qt::QueuedConnection);
}

void SerialCommon::dropLostPort()
{
    if (!lostPending)
        return;
    lostPending = false;
    qCDebug(lcLink) << "lost:" << serialPort->portName() << serialPort->errorString();
    serialPort->close();
    emit serialPortLost();
}
