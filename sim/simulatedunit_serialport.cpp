// The line as a QSerialPort: one end of a null-modem cable or of a virtual port pair, for
// platforms without pseudo-terminals.

#include "simulatedunit.h"

#include <QSerialPort>
#include <QtDebug>

bool SimulatedUnit::openPty()
{
    qWarning("SimulatedUnit: this platform has no pseudo-terminals; serve a serial device");
    return false;
}

bool SimulatedUnit::openDevice(const QString &path)
{
    closeLine();
    auto *device = new QSerialPort(path, this);
    device->setBaudRate(QSerialPort::Baud9600);
    device->setDataBits(QSerialPort::Data8);
    device->setParity(QSerialPort::NoParity);
    device->setStopBits(QSerialPort::OneStop);
    device->setFlowControl(QSerialPort::NoFlowControl);
    if (!device->open(QIODevice::ReadWrite)) {
        qWarning("SimulatedUnit: cannot open %s: %s", qPrintable(path),
                 qPrintable(device->errorString()));
        delete device;
        return false;
    }
    device->clear();
    port = device;
    devicePath = path;
    connect(port, &QSerialPort::readyRead, this, &SimulatedUnit::onReadable);
    connect(port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        if (error == QSerialPort::ResourceError)
            lose("the line");
    });
    return true;
}

bool SimulatedUnit::isServing() const
{
    return port && port->isOpen();
}

void SimulatedUnit::releaseLine()
{
    if (!port)
        return;
    // The port may be the very sender we are called from.
    port->disconnect(this);
    port->close();
    port->deleteLater();
    port = nullptr;
}

void SimulatedUnit::lose(const char *call)
{
    qWarning("SimulatedUnit: %s on %s failed (%s); the line is lost", call, qPrintable(devicePath),
             qPrintable(port->errorString()));
    closeLine();
}

void SimulatedUnit::onReadable()
{
    if (port)
        receive(port->readAll());
}

void SimulatedUnit::flushBacklog()
{
    // QSerialPort queues what it cannot write at once, in order.
    while (!writeBacklog.isEmpty() && port) {
        const QByteArray written = writeBacklog.takeFirst();
        if (port->write(written) != written.size()) {
            lose("write");
            return;
        }
        emit answerWritten(written);
    }
}
