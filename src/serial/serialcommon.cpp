#include "serialcommon.h"

#include <QDebug>
#include <QFile>
#include <QLoggingCategory>
#include <QSerialPortInfo>
#include <QTime>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <unistd.h>
#endif

namespace {
// The link's trace lines, on by default. QT_LOGGING_RULES="corvane.link.debug=false" silences
// them; a pack's line costs far more than cutting it, so bulk traffic is cut faster without.
// The lines themselves go out through the default category, without a prefix.
Q_LOGGING_CATEGORY(lcLink, "corvane.link")

// At 9600 baud the bytes of one pack follow each other within about a millisecond, and a USB
// adapter hands them over in chunks at most ~20 ms apart, while the unit's answers are at least
// 40 ms apart: a pack that got no byte for this long lost its remaining bytes on the line.
constexpr int LineIdleMsecs = 100;
// A dropped run's trace line shows this many bytes, then the count.
constexpr int DroppedBytesShown = 32;
} // namespace

SerialCommon::SerialCommon(QObject *parent)
    : QObject(parent)
    , serialPort(new QSerialPort)
{
    // Queued, so that the port's readyRead emission has returned before the cutting starts: the
    // port emits readyRead only once at a time, and a receiver of sendParsePack may run a modal
    // box whose event loop must go on receiving (MainWindow's success box and polling wait).
    connect(serialPort, &QSerialPort::readyRead, this, &SerialCommon::onReadyRead,
            Qt::QueuedConnection);
    connect(serialPort, &QSerialPort::errorOccurred, this, &SerialCommon::onPortError);
    lineIdleTimer.setSingleShot(true);
    lineIdleTimer.setTimerType(Qt::PreciseTimer);
    lineIdleTimer.setInterval(LineIdleMsecs);
    connect(&lineIdleTimer, &QTimer::timeout, this, &SerialCommon::onLineIdle);
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
    if (traceEnabled())
        qDebug() << "open:" << opened;
    if (!opened) {
        emit openSerialPort(false);
        return;
    }
    // Bytes left from an earlier connection, read or still waiting in the driver, would lead
    // the first answer of this one.
    serialPort->clear(QSerialPort::Input);
    receiveBuffer.clear();
    lineIdleTimer.stop();
    lostPending = false;
    serialPort->write(QByteArray::fromHex("21630379"));
    serialPort->flush();
}

void SerialCommon::closePort()
{
    lostPending = false;
    lineIdleTimer.stop();
    if (serialPort->isOpen())
        serialPort->close();
}

bool SerialCommon::traceEnabled()
{
    return lcLink().isDebugEnabled();
}

bool SerialCommon::isPortOpen() const
{
    return serialPort->isOpen();
}

QString SerialCommon::portError() const
{
    if (serialPort->error() != QSerialPort::PermissionError)
        return serialPort->errorString();
#ifdef Q_OS_UNIX
    // Qt reports a port that another program holds (its lock file, or the device opened for
    // exclusive use) as a permission error too; only the device's own rights tell them apart.
    const QString name = serialPort->portName();
    const QString location =
        name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
    if (::access(QFile::encodeName(location).constData(), R_OK | W_OK) != 0)
        return QStringLiteral("no permission to use it (%1)").arg(qt_error_string(errno));
#endif
    // Windows refuses a port that is open elsewhere with access denied.
    return QStringLiteral("in use by another program");
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
    // Each pack leaves the buffer before it is emitted: a receiver that runs a nested event loop
    // may cut the rest of the buffer before control comes back here (see MainWindow).
    for (;;) {
        const PackFramer::Cut cut = receiveBuffer.next();
        if (cut.kind == PackFramer::Cut::Waiting)
            break;
        if (cut.kind == PackFramer::Cut::Dropped) {
            if (traceEnabled())
                qDebug() << "dropped:" << cut.bytes.left(DroppedBytesShown).toHex().toUpper()
                         << cut.bytes.size();
            continue;
        }
        if (traceEnabled())
            qDebug() << "-----" << cut.bytes.toHex().toUpper()
                     << QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
        emit sendParsePack(cut.bytes);
    }
    // Every arrival restarts the wait; the timer stays off between answers.
    if (receiveBuffer.isWaiting() && serialPort->isOpen())
        lineIdleTimer.start();
    else
        lineIdleTimer.stop();
}

void SerialCommon::onLineIdle()
{
    receiveBuffer.lineIdle();
    parseBuffer();
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
    if (traceEnabled())
        qDebug() << "lost:" << serialPort->portName() << serialPort->errorString();
    lineIdleTimer.stop();
    serialPort->close();
    emit serialPortLost();
}
