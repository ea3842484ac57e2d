#include "portfinder.h"

#include "cli.h"
#include "serialcommon.h"

#include <QEventLoop>
#include <QSerialPortInfo>
#include <QTimer>

#include <memory>
#include <vector>

namespace {
constexpr int ChooseTimeoutMsecs = 500;
}

QStringList PortFinder::find(QStringList ports, int timeoutMsecs)
{
    if (ports.isEmpty()) {
        const auto listed = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &info : listed)
            ports << info.portName();
    }
    QEventLoop loop;
    std::vector<std::unique_ptr<SerialCommon>> links;
    std::vector<bool> answered(size_t(ports.size()), false);
    int waiting = 0;
    for (int i = 0; i < ports.size(); ++i) {
        links.push_back(std::make_unique<SerialCommon>());
        SerialCommon *link = links.back().get();
        link->openPort(ports.at(i));
        if (!link->isPortOpen()) {
            Cli::message(ports.at(i) + QStringLiteral(" cannot be opened: ") + link->portError());
            continue;
        }
        ++waiting;
        QObject::connect(link, &SerialCommon::sendParsePack, &loop, [&, i](const QByteArray &pack) {
            if (answered[size_t(i)] || pack.size() < 2 || quint8(pack.at(1)) != 0x63)
                return;
            answered[size_t(i)] = true;
            // Once every open port has answered there is nothing left to wait for.
            if (--waiting == 0)
                loop.quit();
        });
    }
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

int PortFinder::choose(const QString &given, QString *port)
{
    if (!given.isEmpty()) {
        *port = given;
        return Cli::Done;
    }
    const QStringList found = find(QStringList(), ChooseTimeoutMsecs);
    if (found.isEmpty()) {
        Cli::message(QStringLiteral("no unit answered on any port; name one with --port"));
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
