#include "mqttpublisher.h"

#include "cli.h"

#include <QRegularExpression>
#include <QUrl>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {
// libmosquitto's own limit of messages in flight, so that it holds back none of ours.
constexpr int Window = 20;
constexpr int KeepAliveSecs = 30;
// How long the network thread waits for the socket before it looks whether to quit.
constexpr int LoopMsecs = 250;
constexpr int MaxDelaySecs = 60;
// stop() ends within 2 s; this leaves the owner room to end the process.
constexpr int StopMsecs = 1500;
const QByteArray Online = QByteArrayLiteral("online");
const QByteArray Offline = QByteArrayLiteral("offline");

bool isLoopback(const QString &host)
{
    static const QRegularExpression ipv4(QStringLiteral(R"(^127(\.\d{1,3}){3}$)"));
    return host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0
        || host == QLatin1String("::1") || ipv4.match(host).hasMatch();
}

// A reason as the library or the system words it, as the rest of a message line.
QString reasonText(QString text)
{
    text = text.trimmed();
    while (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    if (!text.isEmpty())
        text[0] = text.at(0).toLower();
    return text;
}
} // namespace

bool MqttPublisher::parseBrokerUrl(const QString &url, Options *options, QString *error)
{
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme();
    if (!parsed.isValid() || (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts"))
        || parsed.host().isEmpty() || !parsed.userInfo().isEmpty()
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
{
    mosquitto_lib_init();
    stopTimer.setSingleShot(true);
    connect(&stopTimer, &QTimer::timeout, this, &MqttPublisher::finish);
}

MqttPublisher::~MqttPublisher()
{
    requestQuit();
    if (network.joinable())
        network.join();
    // Closes the socket without a word to the broker, which then publishes the last will.
    if (mosq)
        mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
}

bool MqttPublisher::start(QString *error)
{
    if (!spool.open(options.spoolDir, options.spoolLimitBytes, error))
        return false;
    mosq = mosquitto_new(options.clientId.toUtf8().constData(), true, this);
    if (!mosq) {
        *error = QStringLiteral("cannot set up an MQTT client: %1").arg(strerror(errno));
        return false;
    }
    // The network thread runs the loop; publishing from here only queues and wakes it.
    mosquitto_threaded_set(mosq, true);
    // Every callback but the log comes from the network thread and is handed on to this one.
    mosquitto_connect_callback_set(mosq, [](mosquitto *, void *self, int rc) {
        auto *publisher = static_cast<MqttPublisher *>(self);
        publisher->connackCode = rc;
        if (rc == 0) {
            publisher->reached = true;
            QMetaObject::invokeMethod(publisher, &MqttPublisher::onConnected, Qt::QueuedConnection);
        }
    });
    mosquitto_disconnect_callback_set(mosq, [](mosquitto *, void *self, int) {
        static_cast<MqttPublisher *>(self)->lastErrno = errno;
    });
    mosquitto_publish_callback_set(mosq, [](mosquitto *, void *self, int mid) {
        auto *publisher = static_cast<MqttPublisher *>(self);
        QMetaObject::invokeMethod(
            publisher, [publisher, mid] { publisher->onPublished(mid); }, Qt::QueuedConnection);
    });
    // The library's lines never reach stderr; its first error in an attempt (a TLS failure)
    // becomes the reason of the one line reported. Errors come only from the network thread.
    mosquitto_log_callback_set(mosq, [](mosquitto *, void *self, int level, const char *text) {
        auto *publisher = static_cast<MqttPublisher *>(self);
        if (level == MOSQ_LOG_ERR && publisher->libraryError.isEmpty())
            publisher->libraryError = QString::fromUtf8(text).section(QLatin1Char(':'), -1);
    });

    int rc = MOSQ_ERR_SUCCESS;
    if (!options.username.isEmpty())
        rc = mosquitto_username_pw_set(
            mosq, options.username.toUtf8().constData(),
            options.password.isEmpty() ? nullptr : options.password.toUtf8().constData());
    if (rc == MOSQ_ERR_SUCCESS && !options.bridgeTopic.isEmpty()) {
        rc = mosquitto_will_set(mosq, options.bridgeTopic.toUtf8().constData(), Offline.size(),
                                Offline.constData(), 1, true);
        retained.append({options.bridgeTopic, Online});
    }
    if (rc == MOSQ_ERR_SUCCESS && options.tls) {
        // Without --cafile the system's store: OpenSSL's default paths and Debian's directory.
        const QByteArray caFile = options.caFile.toLocal8Bit();
        const QByteArray certFile = options.certFile.toLocal8Bit();
        const QByteArray keyFile = options.keyFile.toLocal8Bit();
        if (caFile.isEmpty())
            mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        // A key with a passphrase fails rather than prompting on a terminal nobody watches.
        rc = mosquitto_tls_set(mosq, caFile.isEmpty() ? nullptr : caFile.constData(),
                               caFile.isEmpty() ? "/etc/ssl/certs" : nullptr,
                               certFile.isEmpty() ? nullptr : certFile.constData(),
                               keyFile.isEmpty() ? nullptr : keyFile.constData(),
                               [](char *, int, int, void *) { return 0; });
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = QStringLiteral("cannot set up the connection to the broker %1: %2")
                     .arg(address, reasonText(QString::fromUtf8(mosquitto_strerror(rc))));
        return false;
    }
    if (!options.tls && !options.username.isEmpty() && !isLoopback(options.host))
        Cli::message(QStringLiteral("the user name and password go to %1 unencrypted; "
                                    "mqtts:// would protect them")
                         .arg(options.host));
    network = std::thread(&MqttPublisher::runNetwork, this);
    return true;
}

void MqttPublisher::runNetwork()
{
    const QByteArray host = options.host.toUtf8();
    int delaySecs = 1;
    while (!quit && !disconnecting) {
        connackCode = lastErrno = 0;
        libraryError.clear();
        reached = false;
        // The host name lookup, the TCP connection and the TLS handshake happen here.
        int rc = mosquitto_connect_async(mosq, host.constData(), options.port, KeepAliveSecs);
        if (rc == MOSQ_ERR_ERRNO)
            lastErrno = errno;
        while (rc == MOSQ_ERR_SUCCESS && !quit)
            rc = mosquitto_loop(mosq, LoopMsecs, 1);
        if (quit || disconnecting)
            break;
        const QString reason = failureReason(rc);
        QMetaObject::invokeMethod(
            this, [this, reason] { onConnectionEnded(reason); }, Qt::QueuedConnection);
        if (reached)
            delaySecs = 1;
        std::unique_lock<std::mutex> lock(mutex);
        wakeUp.wait_for(lock, std::chrono::seconds(delaySecs),
                        [this] { return quit || disconnecting; });
        delaySecs = std::min(2 * delaySecs, MaxDelaySecs);
    }
    QMetaObject::invokeMethod(this, &MqttPublisher::finish, Qt::QueuedConnection);
}

QString MqttPublisher::failureReason(int rc) const
{
    if (connackCode > 0)
        return QStringLiteral("the broker refused the connection: ")
            + reasonText(QString::fromUtf8(mosquitto_connack_string(connackCode)).section(':', 1));
    if (rc == MOSQ_ERR_EAI)
        return QStringLiteral("host name not found");
    if (!libraryError.isEmpty())
        return QStringLiteral("TLS: ") + reasonText(libraryError);
    if (rc == MOSQ_ERR_ERRNO && lastErrno != 0)
        return reasonText(QString::fromLocal8Bit(strerror(lastErrno)));
    if (reached)
        return QStringLiteral("connection lost");
    return reasonText(QString::fromUtf8(mosquitto_strerror(rc)));
}

void MqttPublisher::requestQuit()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        quit = true;
    }
    wakeUp.notify_all();
}

void MqttPublisher::onConnected()
{
    connected = true;
    if (!failure.isEmpty()) {
        Cli::message(QStringLiteral("broker %1: connected again").arg(address));
        failure.clear();
    }
    for (const auto &value : std::as_const(retained))
        sendRetained(value.first, value.second);
    sendNext();
}

void MqttPublisher::onConnectionEnded(const QString &reason)
{
    connected = false;
    // A QoS 0 message not yet written went with the connection; QoS 1 ones the library keeps
    // and sends again on the next one.
    if (options.qos == 0) {
        inflight.clear();
        nextId = 0;
    }
    if (stopping) {
        disconnectWhenDone();
        return;
    }
    if (reason != failure) {
        Cli::message(QStringLiteral("broker %1: %2; retrying").arg(address, reason));
        failure = reason;
    }
}

void MqttPublisher::onPublished(int mid)
{
    const auto reading = inflight.constFind(mid);
    if (reading != inflight.constEnd()) {
        spool.acknowledge(reading.value());
        inflight.erase(reading);
        sendNext();
    } else {
        retainedInflight.remove(mid);
    }
    if (stopping)
        disconnectWhenDone();
}

void MqttPublisher::publishState(const QString &topic, const QByteArray &payload)
{
    int dropped = 0;
    QString error;
    if (!spool.append(topic, payload, &dropped, &error)) {
        if (!spoolFailing)
            Cli::message(error + QStringLiteral("; readings are lost until it can be written"));
        spoolFailing = true;
        return;
    }
    if (spoolFailing) {
        Cli::message(QStringLiteral("the spool %1 is written again").arg(options.spoolDir));
        spoolFailing = false;
    }
    if (dropped > 0)
        Cli::message(QStringLiteral("spool over %1 MB: dropped %2 oldest readings")
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
    if (connected)
        sendRetained(topic, payload);
}

void MqttPublisher::sendRetained(const QString &topic, const QByteArray &payload)
{
    int mid = 0;
    const int rc = mosquitto_publish(mosq, &mid, topic.toUtf8().constData(), payload.size(),
                                     payload.constData(), 1, true);
    // Without a connection a QoS 1 message still waits in the library for the next one.
    if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN)
        retainedInflight.insert(mid);
}

void MqttPublisher::sendNext()
{
    Spool::Message reading;
    while (connected && !stopping && inflight.size() < Window && spool.next(nextId, &reading)) {
        int mid = 0;
        const int rc = mosquitto_publish(mosq, &mid, reading.topic.toUtf8().constData(),
                                         reading.payload.size(), reading.payload.constData(),
                                         options.qos, false);
        if (rc != MOSQ_ERR_SUCCESS && !(rc == MOSQ_ERR_NO_CONN && options.qos > 0))
            return;
        inflight.insert(mid, reading.id);
        nextId = reading.id + 1;
    }
}

void MqttPublisher::stop()
{
    if (stopping)
        return;
    stopping = true;
    if (!options.bridgeTopic.isEmpty())
        publishRetained(options.bridgeTopic, Offline);
    stopTimer.start(StopMsecs);
    disconnectWhenDone();
}

void MqttPublisher::disconnectWhenDone()
{
    if (!connected) {
        // Nothing can reach the broker: what is not acknowledged stays in the spool.
        requestQuit();
        QMetaObject::invokeMethod(this, &MqttPublisher::finish, Qt::QueuedConnection);
        return;
    }
    if (!retainedInflight.isEmpty() || disconnecting)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        disconnecting = true;
    }
    wakeUp.notify_all();
    // A clean disconnection: the broker drops the last will, the bridge topic says why.
    mosquitto_disconnect(mosq);
}

void MqttPublisher::finish()
{
    if (done)
        return;
    done = true;
    stopTimer.stop();
    requestQuit();
    spool.sync();
    emit finished();
}
