#include "reader.h"

#include "cli.h"
#include "samplewriter.h"
#include "sensorprotocol.h"

#include <QCoreApplication>
#include <QDateTime>

namespace {
constexpr int GreetingTimeoutMsecs = 2000;
constexpr int ReconnectMsecs = 1000;
// A unit that leaves this many samples in a row unanswered is taken as gone.
constexpr int UnansweredLimit = 5;
} // namespace

Reader::Reader(const Options &options, SampleWriter *writer, QObject *parent)
    : QObject(parent)
    , options(options)
    , writer(writer)
{
    // Started once and never restarted, like the window's polling: the samples keep their
    // rhythm through answers, silences and reconnections.
    pollTimer.setTimerType(Qt::PreciseTimer);
    pollTimer.setInterval(options.intervalMsecs);
    greetingTimer.setSingleShot(true);
    greetingTimer.setInterval(GreetingTimeoutMsecs);
    reconnectTimer.setInterval(ReconnectMsecs);
    durationTimer.setSingleShot(true);
    connect(&link, &SerialCommon::sendParsePack, this, &Reader::onPack);
    connect(&link, &SerialCommon::serialPortLost, this,
            [this] { lose(this->options.port + QStringLiteral(" is lost")); });
    connect(&pollTimer, &QTimer::timeout, this, &Reader::onTick);
    connect(&greetingTimer, &QTimer::timeout, this, [this] {
        lose(QStringLiteral("no answer to the connection check on ") + this->options.port);
    });
    connect(&reconnectTimer, &QTimer::timeout, this, &Reader::onReconnectTick);
    connect(&durationTimer, &QTimer::timeout, this, [this] { finish(Cli::Done); });
}

void Reader::start()
{
    link.openPort(options.port);
    if (!link.isPortOpen()) {
        Cli::message(options.port + QStringLiteral(" cannot be opened: ") + link.portError());
        finish(Cli::CannotOpen);
        return;
    }
    greetingTimer.start();
    if (options.durationMsecs > 0)
        durationTimer.start(options.durationMsecs);
}

void Reader::stop()
{
    finish(Cli::Done);
}

void Reader::onPack(const QByteArray &pack)
{
    if (pack.size() < 2)
        return;
    const quint8 command = quint8(pack.at(1));
    if (command == SensorProtocol::ConnectionCheck && !connected) {
        connected = true;
        greetingTimer.stop();
        if (reconnectTimer.isActive()) {
            reconnectTimer.stop();
            Cli::message(options.port + QStringLiteral(" answers again"));
        }
        if (!pollTimer.isActive()) {
            pollTimer.start();
            onTick();
        }
        return;
    }
    if (command != SensorProtocol::ReadAll || !awaiting)
        return;
    awaiting = false;
    unansweredInARow = 0;
    const QByteArray payload = SensorProtocol::payload(pack);
    // Only what the unit sent is written: an answer that lacks a field gives no line.
    if (!SensorProtocol::hasField(payload, SensorProtocol::OilTemperature)) {
        Cli::message(QStringLiteral("an answer without all four readings, no line"));
        return;
    }
    if (!writer->write(QDateTime::currentDateTime(), payload)) {
        Cli::message(QStringLiteral("the output cannot be written: ") + writer->errorString());
        finish(Cli::CannotWrite);
        return;
    }
    if (options.count > 0 && ++lines >= options.count)
        finish(Cli::Done);
}

void Reader::onTick()
{
    if (!connected)
        return;
    if (awaiting) {
        Cli::message(QStringLiteral("no answer to the sample asked for at ")
                     + requestedAt.toString(QStringLiteral("HH:mm:ss.zzz")));
        if (++unansweredInARow >= UnansweredLimit) {
            lose(QStringLiteral("%1 samples in a row got no answer").arg(UnansweredLimit));
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
    link.openPort(options.port);
}

void Reader::lose(const QString &why)
{
    Cli::message(why);
    connected = false;
    awaiting = false;
    unansweredInARow = 0;
    if (!options.reconnect) {
        finish(Cli::NoUnit);
        return;
    }
    link.closePort();
    Cli::message(QStringLiteral("opening %1 again every second").arg(options.port));
    reconnectTimer.start();
}

void Reader::finish(int code)
{
    pollTimer.stop();
    greetingTimer.stop();
    reconnectTimer.stop();
    durationTimer.stop();
    link.closePort();
    QCoreApplication::exit(code);
}
