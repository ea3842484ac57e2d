#include "mqttclient.h"

#include "topics.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>

namespace {
constexpr int KeepAliveSecs = 30;
// How long the network thread waits for the socket before it looks whether to quit.
constexpr int LoopMsecs = 250;

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

MqttClient::MqttClient(QObject *parent)
    : QObject(parent)
{
    mosquitto_lib_init();
}

MqttClient::~MqttClient()
{
    if (mosq)
        mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
}

bool MqttClient::setUp(const MqttOptions &options, QString *error)
{
    mosq = mosquitto_new(options.clientId.toUtf8().constData(), true, this);
    if (!mosq) {
        *error = QStringLiteral("cannot set up an MQTT client: %1").arg(strerror(errno));
        return false;
    }
    // The network thread runs the loop; publishing from here only queues and wakes it.
    mosquitto_threaded_set(mosq, true);
    // Every callback but the log comes from the network thread and is handed on to this one.
    mosquitto_connect_callback_set(mosq, [](mosquitto *, void *self, int rc) {
        auto *client = static_cast<MqttClient *>(self);
        client->connackCode = rc;
        if (rc == 0) {
            client->reached = true;
            QMetaObject::invokeMethod(client, &MqttClient::connected, Qt::QueuedConnection);
        }
    });
    mosquitto_disconnect_callback_set(mosq, [](mosquitto *, void *self, int) {
        static_cast<MqttClient *>(self)->lastErrno = errno;
    });
    mosquitto_publish_callback_set(mosq, [](mosquitto *, void *self, int mid) {
        auto *client = static_cast<MqttClient *>(self);
        QMetaObject::invokeMethod(
            client, [client, mid] { emit client->published(mid, 0); }, Qt::QueuedConnection);
    });
    // The library's lines never reach stderr; its first error in an attempt (a TLS failure)
    // becomes the reason of the one line reported. Errors come only from the network thread.
    mosquitto_log_callback_set(mosq, [](mosquitto *, void *self, int level, const char *text) {
        auto *client = static_cast<MqttClient *>(self);
        if (level == MOSQ_LOG_ERR && client->libraryError.isEmpty())
            client->libraryError = QString::fromUtf8(text).section(QLatin1Char(':'), -1);
    });

    int rc = MOSQ_ERR_SUCCESS;
    if (!options.username.isEmpty())
        rc = mosquitto_username_pw_set(
            mosq, options.username.toUtf8().constData(),
            options.password.isEmpty() ? nullptr : options.password.toUtf8().constData());
    if (rc == MOSQ_ERR_SUCCESS && !options.bridgeTopic.isEmpty())
        rc = mosquitto_will_set(mosq, options.bridgeTopic.toUtf8().constData(),
                                Topics::Offline.size(), Topics::Offline.constData(), 1, true);
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
        *error = reasonText(QString::fromUtf8(mosquitto_strerror(rc)));
        return false;
    }
    return true;
}

int MqttClient::connectAsync(const QByteArray &host, int port)
{
    connackCode = lastErrno = 0;
    libraryError.clear();
    reached = false;
    // The host name lookup, the TCP connection and the TLS handshake happen here.
    const int rc = mosquitto_connect_async(mosq, host.constData(), port, KeepAliveSecs);
    if (rc == MOSQ_ERR_ERRNO)
        lastErrno = errno;
    return rc;
}

int MqttClient::loop()
{
    return mosquitto_loop(mosq, LoopMsecs, 1);
}

QString MqttClient::failureReason(int rc) const
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

int MqttClient::publish(const QString &topic, const QByteArray &payload, int qos, bool retain,
                        int *mid)
{
    return mosquitto_publish(mosq, mid, topic.toUtf8().constData(), payload.size(),
                             payload.constData(), qos, retain);
}

void MqttClient::disconnect()
{
    mosquitto_disconnect(mosq);
}
