#include "unitsession.h"

#include <QEventLoop>
#include <QTimer>

UnitSession::UnitSession(QObject *parent)
    : QObject(parent)
{
    connect(&link, &SerialCommon::serialPortLost, this, [this] {
        lost = true;
        Cli::message(QStringLiteral("the device is lost"));
    });
}

Cli::Exit UnitSession::open(const QString &port, int timeoutMsecs)
{
    link.openPort(port);
    if (!link.isPortOpen()) {
        Cli::message(port + QStringLiteral(" cannot be opened: ") + link.portError());
        return Cli::CannotOpen;
    }
    if (waitFor(0x63, timeoutMsecs).isEmpty()) {
        Cli::message(QStringLiteral("no answer to the connection check on ") + port);
        return Cli::NoUnit;
    }
    return Cli::Done;
}

QByteArray UnitSession::request(const QByteArray &pack, quint8 answerCommand, int timeoutMsecs)
{
    link.onSendToSerialPort(pack);
    return waitFor(answerCommand, timeoutMsecs);
}

bool UnitSession::pause(int msecs)
{
    waitFor(0, msecs);
    return !lost;
}

QByteArray UnitSession::waitFor(quint8 command, int timeoutMsecs)
{
    if (lost)
        return QByteArray();
    QByteArray answer;
    QEventLoop loop;
    QTimer::singleShot(qMax(0, timeoutMsecs), &loop, &QEventLoop::quit);
    connect(&link, &SerialCommon::sendParsePack, &loop, [&](const QByteArray &pack) {
        if (command != 0 && pack.size() > 1 && quint8(pack.at(1)) == command) {
            answer = pack;
            loop.quit();
        }
    });
    connect(&link, &SerialCommon::serialPortLost, &loop, &QEventLoop::quit);
    loop.exec();
    return answer;
}
