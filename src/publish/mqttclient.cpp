#include "mqttclient.h"

#include "topics.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <QRandomGenerator>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
constexpr int KeepAliveSecs = 30;
// How long the network thread waits for the socket before it looks whether to quit.
constexpr int LoopMsecs = 250;
// A listener that takes the connection and never answers would otherwise hold it for good.
constexpr int AnswerSecs = 10;
// The user property that marks what a process leaves on the bridge topic.
constexpr char MarkName[] = "corvane-process";

mosquitto_property *marked(const QByteArray &mark)
{
    mosquitto_property *properties = nullptr;
    mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, MarkName,
                                       mark.constData());
    return properties;
}

// A reason as the library or the system words it, as the rest of a message line.
QString wording(QString text)
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

QString MqttClient::clashReason(const QString &clientId)
{
    return QStringLiteral("another client uses the id %1; give each gateway its own --client-id")
        .arg(clientId);
}

QString MqttClient::reasonText(int reason)
{
    switch (reason) {
    case MQTT_RC_NOT_AUTHORIZED:
        return QStringLiteral("not authorised");
    case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
        return QStringLiteral("bad user name or password");
    case MQTT_RC_TOPIC_NAME_INVALID:
        return QStringLiteral("topic name invalid");
    case MQTT_RC_PACKET_TOO_LARGE:
        return QStringLiteral("packet too large");
    case MQTT_RC_QUOTA_EXCEEDED:
        return QStringLiteral("quota exceeded");
    case MQTT_RC_PAYLOAD_FORMAT_INVALID:
        return QStringLiteral("payload format invalid");
    case MQTT_RC_RETAIN_NOT_SUPPORTED:
        return QStringLiteral("retained messages not supported");
    case MQTT_RC_QOS_NOT_SUPPORTED:
        return QStringLiteral("QoS not supported");
    default:
        return wording(QString::fromUtf8(mosquitto_reason_string(reason)));
    }
}

bool MqttClient::setUp(const MqttOptions &options, QString *error)
{
    clientId = options.clientId;
    bridgeTopic = options.bridgeTopic.toUtf8();
    mark = QByteArray::number(QRandomGenerator::global()->generate64(), 16);
    mosq = mosquitto_new(options.clientId.toUtf8().constData(), true, this);
    if (!mosq) {
        *error = QStringLiteral("cannot set up an MQTT client: %1").arg(strerror(errno));
        return false;
    }
    // The network thread runs the loop; publishing from here only queues and wakes it.
    mosquitto_threaded_set(mosq, true);
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Every callback but the log comes from the network thread and is handed on to this one.
    mosquitto_connect_v5_callback_set(
        mosq, [](mosquitto *, void *self, int rc, int, const mosquitto_property *) {
            auto *client = static_cast<MqttClient *>(self);
            client->connackCode = rc;
            client->answered = true;
            if (rc == 0) {
                client->reached = true;
                // Before anything is published: the broker sends what the topic holds first.
                if (!client->bridgeTopic.isEmpty() && !client->oldProtocol)
                    mosquitto_subscribe(client->mosq, nullptr, client->bridgeTopic.constData(), 1);
                QMetaObject::invokeMethod(client, &MqttClient::connected, Qt::QueuedConnection);
            }
        });
    mosquitto_disconnect_v5_callback_set(
        mosq, [](mosquitto *, void *self, int rc, const mosquitto_property *) {
            auto *client = static_cast<MqttClient *>(self);
            client->lastErrno = errno;
            // The library's own results are small numbers; the broker's reasons start at 0x80.
            if (rc >= MQTT_RC_UNSPECIFIED)
                client->disconnectReason = rc;
        });
    mosquitto_publish_v5_callback_set(
        mosq, [](mosquitto *, void *self, int mid, int reason, const mosquitto_property *) {
            auto *client = static_cast<MqttClient *>(self);
            QMetaObject::invokeMethod(
                client, [client, mid, reason] { emit client->published(mid, reason); },
                Qt::QueuedConnection);
        });
    // Only a retained value is what the topic held: our own "online" comes back live too.
    mosquitto_message_v5_callback_set(
        mosq,
        [](mosquitto *, void *self, const mosquitto_message *message,
           const mosquitto_property *properties) {
            auto *client = static_cast<MqttClient *>(self);
            if (!message->retain || client->bridgeTopic != message->topic)
                return;
            // A value without a mark is someone's by hand, or from MQTT 3.1.1: it tells nothing.
            QByteArray found;
            char *name = nullptr;
            char *value = nullptr;
            bool skip = false;
            for (const mosquitto_property *property = properties;
                 (property = mosquitto_property_read_string_pair(property, MQTT_PROP_USER_PROPERTY,
                                                                 &name, &value, skip));
                 skip = true) {
                if (qstrcmp(name, MarkName) == 0)
                    found = value;
                free(name);
                free(value);
            }
            if (found.isEmpty())
                return;
            const bool ours = found == client->mark;
            QMetaObject::invokeMethod(
                client, [client, ours] { emit client->bridgeFound(ours); }, Qt::QueuedConnection);
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
    if (rc == MOSQ_ERR_SUCCESS && !options.bridgeTopic.isEmpty()) {
        mosquitto_property *properties = marked(mark);
        rc = mosquitto_will_set_v5(mosq, bridgeTopic.constData(), Topics::Offline.size(),
                                   Topics::Offline.constData(), 1, true, properties);
        if (rc != MOSQ_ERR_SUCCESS)
            mosquitto_property_free_all(&properties);
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
        *error = wording(QString::fromUtf8(mosquitto_strerror(rc)));
        return false;
    }
    return true;
}

int MqttClient::connectAsync(const QByteArray &host, int port)
{
    connackCode = disconnectReason = lastErrno = 0;
    libraryError.clear();
    reached = answered = timedOut = false;
    attemptStart = std::chrono::steady_clock::now();
    // The host name lookup, the TCP connection and the TLS handshake happen here.
    const int rc = mosquitto_connect_async(mosq, host.constData(), port, KeepAliveSecs);
    if (rc == MOSQ_ERR_ERRNO)
        lastErrno = errno;
    return rc;
}

int MqttClient::loop()
{
    const int rc = mosquitto_loop(mosq, LoopMsecs, 1);
    // An older broker answers MQTT 5 with a 3.1.1 refusal of the protocol: ask again in its own.
    if (rc != MOSQ_ERR_SUCCESS && connackCode == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION
        && !oldProtocol) {
        oldProtocol = true;
        mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        connackCode = 0;
        attemptStart = std::chrono::steady_clock::now();
        return mosquitto_reconnect_async(mosq);
    }
    if (rc == MOSQ_ERR_SUCCESS && !answered
        && std::chrono::steady_clock::now() - attemptStart > std::chrono::seconds(AnswerSecs)) {
        timedOut = true;
        return MOSQ_ERR_TIMEOUT;
    }
    return rc;
}

QString MqttClient::failureReason(int rc) const
{
    if (connackCode > 0)
        return QStringLiteral("the broker refused the connection: ")
            + (oldProtocol ? wording(
                   QString::fromUtf8(mosquitto_connack_string(connackCode)).section(':', 1))
                           : reasonText(connackCode));
    if (disconnectReason == MQTT_RC_SESSION_TAKEN_OVER)
        return clashReason(clientId);
    if (disconnectReason != 0)
        return QStringLiteral("the broker closed the connection: ") + reasonText(disconnectReason);
    if (timedOut)
        return QStringLiteral("no answer from the broker within %1 s").arg(AnswerSecs);
    if (rc == MOSQ_ERR_EAI)
        return QStringLiteral("host name not found");
    if (!libraryError.isEmpty())
        return QStringLiteral("TLS: ") + wording(libraryError);
    if (rc == MOSQ_ERR_ERRNO && lastErrno != 0)
        return wording(QString::fromLocal8Bit(strerror(lastErrno)));
    if (reached)
        return QStringLiteral("connection lost");
    return wording(QString::fromUtf8(mosquitto_strerror(rc)));
}

int MqttClient::publish(const QString &topic, const QByteArray &payload, int qos, bool retain,
                        int *mid)
{
    const QByteArray name = topic.toUtf8();
    mosquitto_property *properties =
        retain && name == bridgeTopic && !oldProtocol ? marked(mark) : nullptr;
    const int rc = mosquitto_publish_v5(mosq, mid, name.constData(), payload.size(),
                                        payload.constData(), qos, retain, properties);
    mosquitto_property_free_all(&properties);
    return rc;
}

void MqttClient::disconnect()
{
    mosquitto_disconnect(mosq);
}
