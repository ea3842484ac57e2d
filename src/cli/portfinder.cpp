#include "portfinder.h"

#include "cli.h"
#include "reader.h"

#include <QEventLoop>
#include <QFile>
#include <QSerialPortInfo>
#include <QTimer>

#include <memory>
#include <vector>

namespace {
constexpr int ChooseTimeoutMsecs = 500;
}

QList<PortFinder::Listed> PortFinder::listed()
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

QStringList PortFinder::listedPorts(bool allPorts)
{
    QStringList ports;
    for (const Listed &port : listed()) {
        if (allPorts || !port.vidPid.isEmpty())
            ports << port.name;
    }
    return ports;
}

QStringList PortFinder::find(QStringList ports, int timeoutMsecs, bool allPorts)
{
    if (ports.isEmpty())
        ports = listedPorts(allPorts);
    QEventLoop loop;
    std::vector<std::unique_ptr<Reader>> readers;
    std::vector<bool> answered(size_t(ports.size()), false);
    int waiting = ports.size();
    const auto done = [&] {
        // Once every port has answered or failed there is nothing left to wait for.
        if (--waiting == 0)
            loop.quit();
    };
    for (int i = 0; i < ports.size(); ++i) {
        Reader::Options options;
        options.port = ports.at(i);
        options.greetingTimeoutMsecs = timeoutMsecs;
        // One request for readings within the time, none after it.
        options.intervalMsecs = timeoutMsecs;
        readers.push_back(std::make_unique<Reader>(options));
        Reader *reader = readers.back().get();
        QObject::connect(reader, &Reader::reading, &loop, [&, reader, i] {
            answered[size_t(i)] = true;
            reader->stop();
            done();
        });
        QObject::connect(reader, &Reader::finished, &loop, done);
    }
    for (const auto &reader : readers)
        reader->start();
    if (waiting > 0) {
        QTimer::singleShot(timeoutMsecs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    QStringList found;
    for (int i = 0; i < ports.size(); ++i) {
        if (answered[size_t(i)])
            found << ports.at(i);
    }
    return found;
}

int PortFinder::choose(const QString &given, bool allPorts, QString *port)
{
    if (!given.isEmpty()) {
        *port = given;
        return Cli::Done;
    }
    const QStringList found = find(QStringList(), ChooseTimeoutMsecs, allPorts);
    if (found.isEmpty()) {
        Cli::message(allPorts
                         ? QStringLiteral("no unit answered on any port; name one with --port")
                         : QStringLiteral("no unit answered on a USB serial adapter; name the port "
                                          "with --port, or greet every port with --all-ports"));
        return Cli::NoUnit;
    }
    if (found.size() > 1) {
        Cli::message(QStringLiteral("units answer on several ports; choose one with --port: ")
                     + found.join(QStringLiteral(", ")));
        return Cli::Usage;
    }
    *port = found.first();
    return Cli::Done;
}
