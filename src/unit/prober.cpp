#include "prober.h"

#include "reader.h"

#include <QEventLoop>
#include <QFile>
#include <QSerialPortInfo>
#include <QSet>
#include <QTimer>

#include <memory>

QList<Prober::Listed> Prober::listed()
{
    QList<Listed> ports;
    const QString standIn = qEnvironmentVariable("CORVANE_ADAPTERS");
    if (!standIn.isEmpty()) {
        QFile file(standIn);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return ports;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.first().isEmpty())
                continue;
            const QString device = QString::fromLocal8Bit(fields.first());
            const QString serial =
                fields.size() > 1 ? QString::fromLocal8Bit(fields.at(1)) : QString();
            ports.append(
                {device, device, QString(), QString(), serial, QStringLiteral("0000:0000")});
        }
        return ports;
    }
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        const QString vidPid = info.hasVendorIdentifier() && info.hasProductIdentifier()
            ? QStringLiteral("%1:%2")
                  .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                  .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'))
            : QString();
        ports.append({info.portName(), info.systemLocation(), info.description(),
                      info.manufacturer(), info.serialNumber(), vidPid});
    }
    return ports;
}

QStringList Prober::listedPorts(bool allPorts)
{
    QStringList ports;
    for (const Listed &port : listed()) {
        if (allPorts || !port.vidPid.isEmpty())
            ports << port.name;
    }
    return ports;
}

Prober::Prober(QObject *parent)
    : QObject(parent)
{ }

Prober::~Prober() = default;

void Prober::probe(const QStringList &ports, int timeoutMsecs)
{
    const int probe = ++probes;
    QList<Reader *> readers;
    for (const QString &port : ports) {
        Reader::Options options;
        options.port = port;
        options.greetingTimeoutMsecs = timeoutMsecs;
        // One request for readings within the time, none after it.
        options.intervalMsecs = timeoutMsecs;
        auto *reader = new Reader(options, this);
        greeting.insert(reader, probe);
        readers << reader;
        // A greeting's reader tells why just before it fails.
        auto why = std::make_shared<QString>();
        connect(reader, &Reader::notice, this, [why](const QString &text) { *why = text; });
        connect(reader, &Reader::reading, this, [this, reader, port] {
            retire(reader);
            emit answered(port);
        });
        connect(reader, &Reader::failed, this, [this, reader, port, why](UnitFailure failure) {
            retire(reader);
            emit failed(port, failure, *why);
        });
    }
    for (Reader *reader : std::as_const(readers))
        reader->start();
    // Started after the readers, so that a greeting that times out is told first.
    QTimer::singleShot(timeoutMsecs, this, [this, probe] {
        const QList<Reader *> left = greeting.keys(probe);
        for (Reader *reader : left)
            retire(reader);
    });
}

void Prober::stop()
{
    const QList<Reader *> left = greeting.keys();
    for (Reader *reader : left)
        retire(reader);
}

void Prober::retire(Reader *reader)
{
    if (greeting.remove(reader) == 0)
        return;
    reader->stop();
    // Deleted once control is back in the event loop, outside the reader's own signal.
    reader->deleteLater();
    if (greeting.isEmpty())
        emit finished();
}

QStringList Prober::find(QStringList ports, int timeoutMsecs, bool allPorts)
{
    if (ports.isEmpty())
        ports = listedPorts(allPorts);
    QSet<QString> found;
    QEventLoop loop;
    connect(this, &Prober::answered, &loop, [&found](const QString &port) { found.insert(port); });
    connect(this, &Prober::finished, &loop, &QEventLoop::quit);
    probe(ports, timeoutMsecs);
    if (!greeting.isEmpty())
        loop.exec();
    QStringList inOrder;
    for (const QString &port : std::as_const(ports)) {
        if (found.contains(port))
            inOrder << port;
    }
    return inOrder;
}
