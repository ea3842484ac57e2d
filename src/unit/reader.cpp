#include "reader.h"

#include <QDateTime>
#include <QLocale>

namespace {
constexpr int ReconnectMsecs = 1000;
// A unit that leaves this many samples in a row without an exact answer is taken as gone.
constexpr int UnansweredLimit = 5;
} // namespace

Reader::Reader(const Options &options, QObject *parent)
    : QObject(parent)
    , settings(options)
{
    // Started once and never restarted, like the window's polling: the samples keep their
    // rhythm through answers, silences and reconnections.
    pollTimer.setTimerType(Qt::PreciseTimer);
    pollTimer.setInterval(options.intervalMsecs);
    greetingTimer.setSingleShot(true);
    greetingTimer.setInterval(options.greetingTimeoutMsecs);
    reconnectTimer.setInterval(ReconnectMsecs);
    connect(&link, &SerialCommon::sendParsePack, this, &Reader::onPack);
    connect(&link, &SerialCommon::serialPortLost, this,
            [this] { lose(settings.port + QStringLiteral(" is lost")); });
    connect(&pollTimer, &QTimer::timeout, this, &Reader::onTick);
    connect(&greetingTimer, &QTimer::timeout, this, [this] {
        lose(QStringLiteral("no answer to the connection check on ") + settings.port);
    });
    connect(&reconnectTimer, &QTimer::timeout, this, &Reader::onReconnectTick);
}

void Reader::start()
{
    link.openPort(settings.port);
    if (link.isPortOpen()) {
        greetingTimer.start();
        return;
    }
    const QString why = settings.port + QStringLiteral(" cannot be opened: ") + link.portError();
    if (settings.reconnect && settings.retryOpen) {
        lose(why);
        return;
    }
    emit notice(why);
    emit failed(UnitFailure::CannotOpen);
}

void Reader::stop()
{
    pollTimer.stop();
    greetingTimer.stop();
    reconnectTimer.stop();
    link.closePort();
}

void Reader::onPack(const QByteArray &pack)
{
    if (!connected && SensorProtocol::isExactAnswer(pack, SensorProtocol::ConnectionCheck)) {
        connected = true;
        greetingTimer.stop();
        if (reconnectTimer.isActive()) {
            reconnectTimer.stop();
            // The rhythm runs from the first answer on: a port missing at the start answers,
            // one that was lost answers again.
            emit notice(settings.port
                        + (pollTimer.isActive() ? QStringLiteral(" answers again")
                                                : QStringLiteral(" answers")));
        }
        emit online();
        if (!pollTimer.isActive()) {
            pollTimer.start();
            onTick();
        }
        return;
    }
    SensorProtocol::Reading answer;
    // An answer of another length is not the unit's reading: the sample stays unanswered.
    if (!awaiting || !SensorProtocol::readingOf(pack, QDateTime::currentDateTime(), &answer))
        return;
    awaiting = false;
    unansweredInARow = 0;
    // Back once it answers as many samples in a row as would have made it gone: a unit that
    // answers every other time stays missing, said once.
    if (missed > 0 && ++answeredInARow >= UnansweredLimit) {
        emit notice(QStringLiteral("%1 answers again, %2 samples missed since %3")
                        .arg(settings.port)
                        .arg(missed)
                        .arg(QLocale::c().toString(firstMissedAt, QStringLiteral("HH:mm:ss.zzz"))));
        missed = 0;
    }
    emit reading(answer);
}

void Reader::onTick()
{
    if (!connected)
        return;
    if (awaiting) {
        answeredInARow = 0;
        if (missed++ == 0) {
            firstMissedAt = requestedAt;
            emit notice(QStringLiteral("no answer to the sample asked for at %1 on %2; further "
                                       "misses are counted")
                            .arg(QLocale::c().toString(requestedAt, QStringLiteral("HH:mm:ss.zzz")),
                                 settings.port));
        }
        if (++unansweredInARow >= UnansweredLimit) {
            lose(QStringLiteral("%1 samples in a row got no answer on %2")
                     .arg(UnansweredLimit)
                     .arg(settings.port));
            return;
        }
    }
    awaiting = true;
    requestedAt = QTime::currentTime();
    link.onSendToSerialPort(SensorProtocol::pack(SensorProtocol::ReadAll));
}

void Reader::onReconnectTick()
{
    // A port that opened but whose greeting got no answer within the second is tried afresh.
    link.closePort();
    link.openPort(settings.port);
}

void Reader::lose(const QString &why)
{
    // While the port is tried every second, each failed try is the same loss, told once.
    const bool newLoss = connected || !reconnectTimer.isActive();
    connected = false;
    awaiting = false;
    unansweredInARow = 0;
    // The loss is said; the misses before it are part of it.
    missed = 0;
    if (!settings.reconnect) {
        emit notice(why);
        stop();
        emit failed(UnitFailure::NoUnit);
        return;
    }
    link.closePort();
    if (!newLoss)
        return;
    emit notice(why);
    emit notice(QStringLiteral("opening %1 again every second").arg(settings.port));
    reconnectTimer.start();
    emit offline(why);
}
