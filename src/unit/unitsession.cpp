#include "unitsession.h"

#include "sensorprotocol.h"

#include <QEventLoop>
#include <QTimer>

UnitSession::UnitSession(QObject *parent)
    : QObject(parent)
{
    connect(&link, &SerialCommon::serialPortLost, this, [this] {
        lost = true;
        emit notice(QStringLiteral("the device is lost"));
    });
}

UnitFailure UnitSession::open(const QString &port, int timeoutMsecs)
{
    link.openPort(port);
    if (!link.isPortOpen()) {
        emit notice(port + QStringLiteral(" cannot be opened: ") + link.portError());
        return UnitFailure::CannotOpen;
    }
    if (waitFor(SensorProtocol::ConnectionCheck, timeoutMsecs).isEmpty()) {
        emit notice(QStringLiteral("no answer to the connection check on ") + port);
        return UnitFailure::NoUnit;
    }
    if (request(SensorProtocol::pack(SensorProtocol::ReadAll), SensorProtocol::ReadAll,
                timeoutMsecs)
            .isEmpty()) {
        emit notice(QStringLiteral("no answer with readings on %1: no unit there").arg(port));
        return UnitFailure::NoUnit;
    }
    return UnitFailure::None;
}

QByteArray UnitSession::request(const QByteArray &pack, quint8 answerCommand, int timeoutMsecs)
{
    link.onSendToSerialPort(pack);
    return waitFor(answerCommand, timeoutMsecs);
}

bool UnitSession::pause(int msecs)
{
    waitFor(0, msecs);
    return !lost && !interrupted;
}

void UnitSession::interrupt()
{
    interrupted = true;
    emit interruptedNow();
}

QByteArray UnitSession::waitFor(quint8 command, int timeoutMsecs)
{
    if (lost || interrupted)
        return QByteArray();
    QByteArray answer;
    QEventLoop loop;
    QTimer::singleShot(qMax(0, timeoutMsecs), &loop, &QEventLoop::quit);
    connect(&link, &SerialCommon::sendParsePack, &loop, [&](const QByteArray &pack) {
        if (command != 0 && SensorProtocol::isExactAnswer(pack, command)) {
            answer = pack;
            loop.quit();
        }
    });
    connect(&link, &SerialCommon::serialPortLost, &loop, &QEventLoop::quit);
    connect(this, &UnitSession::interruptedNow, &loop, &QEventLoop::quit);
    loop.exec();
    return answer;
}
