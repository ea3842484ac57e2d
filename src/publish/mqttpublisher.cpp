#include "mqttpublisher.h"

#include "topics.h"

#include <QRegularExpression>
#include <QUrl>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {
// stop() ends within 2 s; this leaves the owner room to end the process.
constexpr int StopMsecs = 1500;
// Without a rate set, a backlog goes out at twice the units' rate, and never slower than this.
constexpr double MinDrainRate = 20;
// What may go out at once after a pause: a few of the units' readings polled together.
constexpr double BurstSecs = 0.25;
// A connection that lasts this long ends a failure: its reason is reported again if it recurs.
constexpr int SteadyMsecs = 10000;
// Readings the broker refused are tried again after this, doubled while it keeps refusing.
constexpr int FirstRetryMsecs = 5000;
constexpr int LastRetryMsecs = 300000;
// The broker's reason codes from this one up are refusals.
constexpr int FirstRefusal = 0x80;

bool isLoopback(const QString &host)
{
    static const QRegularExpression ipv4(QStringLiteral(R"(^127(\.\d{1,3}){3}$)"));
    return host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0
        || host == QLatin1String("::1") || ipv4.match(host).hasMatch();
}
} // namespace

bool MqttPublisher::parseBrokerUrl(const QString &url, Options *options, QString *error)
{
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme();
    // Whatever precedes the last @ may be a password, which is never printed; a host has no @.
    const int at = url.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        const int authority = url.indexOf(QLatin1String("://")) + 3;
        const QString shown = (authority > 2 && authority <= at ? url.left(authority) : QString())
            + QStringLiteral("***") + url.mid(at);
        *error = QStringLiteral("bad broker URL %1: give the user with --username and the "
                                "password with --password-file")
                     .arg(shown);
        return false;
    }
    if (!parsed.isValid() || (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts"))
        || parsed.host().isEmpty()
        || !(parsed.path().isEmpty() || parsed.path() == QLatin1String("/")) || parsed.hasQuery()
        || parsed.hasFragment() || parsed.port() == 0) {
        *error = QStringLiteral("bad broker URL %1: give mqtt://HOST[:PORT] or mqtts://HOST[:PORT]")
                     .arg(url);
        return false;
    }
    options->tls = scheme == QLatin1String("mqtts");
    options->host = parsed.host();
    options->port = parsed.port(options->tls ? 8883 : 1883);
    return true;
}

MqttPublisher::MqttPublisher(const Options &options, QObject *parent)
    : QObject(parent)
    , options(options)
    , address((options.host.contains(QLatin1Char(':'))
                   ? QLatin1Char('[') + options.host + QLatin1Char(']')
                   : options.host)
              + QLatin1Char(':') + QString::number(options.port))
    , ownClient(std::make_unique<MqttClient>())
    , client(*ownClient)
    , network(client)
    , window(options.qos)
{
    clock.start();
    paceTimer.setSingleShot(true);
    paceTimer.setTimerType(Qt::PreciseTimer);
    connect(&paceTimer, &QTimer::timeout, this, &MqttPublisher::sendNext);
    stopTimer.setSingleShot(true);
    connect(&stopTimer, &QTimer::timeout, this, &MqttPublisher::finish);
    connect(&spool, &Spool::notice, this, &MqttPublisher::notice);
    steadyTimer.setSingleShot(true);
    steadyTimer.setInterval(SteadyMsecs);
    connect(&steadyTimer, &QTimer::timeout, this, [this] {
        if (!failure.isEmpty() && !recoveryNoted)
            emit notice(QStringLiteral("broker %1: connected again").arg(address));
        failure.clear();
    });
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &MqttPublisher::retryRefused);
    connect(&client, &MqttClient::connected, this, &MqttPublisher::onConnected);
    connect(&client, &MqttClient::published, this, &MqttPublisher::onPublished);
    connect(&client, &MqttClient::bridgeFound, this, &MqttPublisher::onBridgeFound);
    connect(&network, &NetworkThread::connectionEnded, this, &MqttPublisher::onConnectionEnded);
    connect(&network, &NetworkThread::ended, this, &MqttPublisher::finish);
}

MqttPublisher::~MqttPublisher()
{
    // The thread goes on with the client when its connect call returns; both go with the process.
    if (!network.end())
        static_cast<void>(ownClient.release());
}

bool MqttPublisher::start(QString *error)
{
    if (!spool.open(options.spoolDir, options.spoolLimitBytes, error))
        return false;
    if (!client.setUp(options, error)) {
        *error = QStringLiteral("cannot set up the connection to the broker %1: %2")
                     .arg(address, *error);
        return false;
    }
    if (!options.bridgeTopic.isEmpty())
        retained.append({options.bridgeTopic, Topics::Online});
    if (!options.tls && !options.username.isEmpty() && !isLoopback(options.host))
        emit notice(QStringLiteral("the user name and password go to %1 unencrypted; "
                                   "mqtts:// would protect them")
                        .arg(options.host));
    network.start(options.host, options.port);
    return true;
}

void MqttPublisher::onConnected()
{
    connected = true;
    steadyTimer.start();
    // A connection taken over is likely taken again soon: it is not news until it lasts.
    if (!failure.isEmpty() && !recoveryNoted
        && failure != MqttClient::clashReason(options.clientId)) {
        emit notice(QStringLiteral("broker %1: connected again").arg(address));
        recoveryNoted = true;
    }
    if (client.speaksOnlyOldProtocol() && !oldProtocolNoted) {
        emit notice(QStringLiteral("broker %1 speaks only MQTT 3.1.1: readings it refuses cannot "
                                   "be told from delivered ones")
                        .arg(address));
        oldProtocolNoted = true;
    }
    // The library sends again what it holds of the last connection; the rest goes now.
    for (const auto &value : std::as_const(retained))
        if (!window.retainedInFlight(value.first))
            sendRetained(value.first, value.second);
    window.retry();
    sendNext();
}

void MqttPublisher::onConnectionEnded(const QString &reason)
{
    connected = false;
    steadyTimer.stop();
    window.connectionEnded();
    if (stopping) {
        disconnectWhenDone();
        return;
    }
    // A broker that drops each connection at once gets one line, not one per reconnection.
    if (reason != failure) {
        emit notice(QStringLiteral("broker %1: %2; retrying").arg(address, reason));
        failure = reason;
        recoveryNoted = false;
    }
}

void MqttPublisher::onPublished(int mid, int reason)
{
    const DeliveryWindow::Acknowledged message = window.acknowledge(mid);
    const bool refused = reason >= FirstRefusal;
    if (message.isReading) {
        if (refused) {
            Spool::Message reading;
            refuse(message.readingId,
                   spool.next(message.readingId, &reading) && reading.id == message.readingId
                       ? reading.topic
                       : QString(),
                   reason);
        } else {
            spool.acknowledge(message.readingId);
            if (message.wasRetried) {
                // The broker's mind changed: a later refusal is news again.
                refusals.clear();
                retryMsecs = 0;
            }
        }
        sendNext();
    } else if (!message.retainedTopic.isEmpty()) {
        if (refused)
            noteRefusal(QStringLiteral("the retained value of ") + message.retainedTopic, reason);
        if (retainedDue.remove(message.retainedTopic) && connected) {
            const auto latest =
                std::find_if(retained.cbegin(), retained.cend(), [&message](const auto &value) {
                    return value.first == message.retainedTopic;
                });
            sendRetained(latest->first, latest->second);
        }
    }
    if (stopping)
        disconnectWhenDone();
}

// The reading stays in the spool and is tried again later, not at once.
void MqttPublisher::refuse(quint64 readingId, const QString &topic, int reason)
{
    window.refused(readingId);
    noteRefusal(topic, reason);
    if (!retryTimer.isActive()) {
        retryMsecs = std::min(retryMsecs ? 2 * retryMsecs : FirstRetryMsecs, LastRetryMsecs);
        retryTimer.start(retryMsecs);
    }
}

// Once, another process's value is what a restart finds, left by the run before; twice in a row,
// another process with our id takes the session from us in turn. Said once until ours is found.
void MqttPublisher::onBridgeFound(bool ours)
{
    const QString clash = MqttClient::clashReason(options.clientId);
    if (ours)
        othersInARow = 0;
    else if (++othersInARow == 2 && failure != clash)
        emit notice(QStringLiteral("broker %1: %2").arg(address, clash));
}

void MqttPublisher::noteRefusal(const QString &what, int reason)
{
    const auto known = refusals.constFind(what);
    if (known != refusals.constEnd() && known.value() == reason)
        return;
    refusals.insert(what, reason);
    emit notice(QStringLiteral("broker %1 refused %2: %3; kept to try again")
                    .arg(address, what, MqttClient::reasonText(reason)));
}

void MqttPublisher::retryRefused()
{
    window.retry();
    sendNext();
}

void MqttPublisher::publishState(const QString &topic, const QByteArray &payload)
{
    int dropped = 0;
    QString error;
    if (!spool.append(topic, payload, &dropped, &error)) {
        sendUnspooled(topic, payload, error);
        return;
    }
    if (spoolFailing) {
        emit notice(
            QStringLiteral("the spool %1 is written again").arg(options.spoolDir)
            + (lost > 0 ? QStringLiteral("; lost %1 readings meanwhile").arg(lost) : QString()));
        spoolFailing = false;
        lost = 0;
    }
    if (dropped > 0)
        emit notice(QStringLiteral("spool over %1 MB: dropped %2 oldest readings")
                        .arg(double(spool.limit()) / (1 << 20), 0, 'g', 3)
                        .arg(dropped));
    sendNext();
}

void MqttPublisher::publishRetained(const QString &topic, const QByteArray &payload)
{
    const auto known = std::find_if(retained.begin(), retained.end(),
                                    [&topic](const auto &value) { return value.first == topic; });
    if (known != retained.end())
        known->second = payload;
    else
        retained.append({topic, payload});
    // One message per topic in flight: the latest payload follows once it is acknowledged.
    if (window.retainedInFlight(topic))
        retainedDue.insert(topic);
    else if (connected)
        sendRetained(topic, payload);
}

void MqttPublisher::sendRetained(const QString &topic, const QByteArray &payload)
{
    int mid = 0;
    const int rc = client.publish(topic, payload, 1, true, &mid);
    if (window.taken(rc, 1))
        window.retainedSent(mid, topic);
    else if (rc == MOSQ_ERR_OVERSIZE_PACKET)
        noteRefusal(QStringLiteral("the retained value of ") + topic, MQTT_RC_PACKET_TOO_LARGE);
}

// The spool cannot take the reading: it goes to the broker as it is, once, and may overtake older
// readings still waiting in the spool; their times put them in order. Outside the pace, which
// cannot hold back what is kept nowhere: these come at the units' rate.
void MqttPublisher::sendUnspooled(const QString &topic, const QByteArray &payload,
                                  const QString &error)
{
    if (!spoolFailing)
        emit notice(error
                    + QStringLiteral("; readings go to the broker unspooled until it can "
                                     "be written"));
    spoolFailing = true;
    int mid = 0;
    if (connected && !stopping
        && window.taken(client.publish(topic, payload, options.qos, false, &mid), options.qos))
        return;
    if (lost++ == 0)
        emit notice(QStringLiteral("broker %1 cannot be reached either: readings are lost until "
                                   "the spool %2 can be written")
                        .arg(address, options.spoolDir));
}

// A token bucket: everything spooled goes out at the drain rate at most. The units' own rate is
// below it, so live readings follow a backlog closely and then go out as they come.
bool MqttPublisher::takeToken()
{
    const double rate =
        options.drainRate > 0 ? options.drainRate : std::max(MinDrainRate, 2 * liveRate);
    const qint64 now = clock.nsecsElapsed();
    tokens = std::min(std::max(1.0, rate * BurstSecs), tokens + (now - tokensAt) * rate / 1e9);
    tokensAt = now;
    if (tokens >= 1) {
        tokens -= 1;
        return true;
    }
    if (!paceTimer.isActive())
        paceTimer.start(int(std::ceil((1 - tokens) * 1000 / rate)));
    return false;
}

void MqttPublisher::sendNext()
{
    Spool::Message reading;
    while (connected && !stopping && window.hasRoom() && spool.next(window.nextReading(), &reading)
           && takeToken()) {
        int mid = 0;
        const int rc = client.publish(reading.topic, reading.payload, options.qos, false, &mid);
        // Larger than the broker said it takes: refused as if it had answered so, and the
        // readings behind it go on.
        if (rc == MOSQ_ERR_OVERSIZE_PACKET) {
            refuse(reading.id, reading.topic, MQTT_RC_PACKET_TOO_LARGE);
            continue;
        }
        if (!window.taken(rc, options.qos))
            return;
        window.readingSent(mid, reading.id);
    }
}

void MqttPublisher::stop()
{
    if (stopping)
        return;
    stopping = true;
    if (!options.bridgeTopic.isEmpty())
        publishRetained(options.bridgeTopic, Topics::Offline);
    stopTimer.start(StopMsecs);
    disconnectWhenDone();
}

void MqttPublisher::disconnectWhenDone()
{
    // An attempt under way may still reach the broker, which then hears the bridge go offline;
    // the stop timer bounds the wait.
    if (!connected && network.attempting())
        return;
    if (!connected) {
        // Nothing can reach the broker: what is not acknowledged stays in the spool.
        network.quit();
        QMetaObject::invokeMethod(this, &MqttPublisher::finish, Qt::QueuedConnection);
        return;
    }
    if (window.retainedPending() || closing)
        return;
    closing = true;
    network.disconnecting();
    // A clean disconnection: the broker drops the last will, the bridge topic says why.
    client.disconnect();
}

void MqttPublisher::finish()
{
    if (done)
        return;
    done = true;
    stopTimer.stop();
    network.quit();
    spool.sync();
    emit finished();
}
