#ifndef MQTTCLIENT_H
#define MQTTCLIENT_H

#include "mqttoptions.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>

struct mosquitto;

// libmosquitto's client: set up from the options in one place, its callbacks handed on to the
// thread this object lives in, and the reason a connection attempt failed worded for a person.
// The network thread connects and runs its loop; this object's thread publishes. It speaks MQTT 5,
// whose acknowledgements say when the broker refused a message, and 3.1.1 to a broker that
// speaks nothing newer. Under MQTT 5 what it leaves on the bridge topic carries a mark of this
// process, and each connection reads what is there before it says "online": another client with
// the same id shows by its mark, where a broker that takes the session over says nothing of why.
class MqttClient : public QObject
{
    Q_OBJECT

public:
    explicit MqttClient(QObject *parent = nullptr);
    // Closes the socket without a word to the broker, which then publishes the last will.
    ~MqttClient() override;

    // The client id, the credentials, the last will on the bridge topic and TLS; false with the
    // reason (unreadable certificate files, say).
    bool setUp(const MqttOptions &options, QString *error);

    // On the network thread: one attempt, and its loop until the connection ends.
    int connectAsync(const QByteArray &host, int port);
    int loop();
    // Why the attempt ended, as the rest of a message line.
    QString failureReason(int rc) const;
    // The broker accepted this attempt's connection.
    bool wasReached() const { return reached; }
    // The broker speaks only MQTT 3.1.1, whose acknowledgements carry no refusal.
    bool speaksOnlyOldProtocol() const { return oldProtocol; }
    // The reason of a connection taken over by another client with the same id.
    static QString clashReason(const QString &clientId);
    // An MQTT 5 reason code of a refusal (0x80 and over), as the rest of a message line.
    static QString reasonText(int reason);

    // libmosquitto's result; *mid is the message's id for published().
    int publish(const QString &topic, const QByteArray &payload, int qos, bool retain, int *mid);
    void disconnect();

signals:
    void connected();
    // The broker acknowledged the message (QoS 1), or it was written (QoS 0); reason is 0, or
    // why the broker refused it (MQTT 5 only).
    void published(int mid, int reason);
    // The bridge topic held a value of this program as a connection began: ours when this
    // process left it (its "online", its "offline" or its last will), else another process's.
    void bridgeFound(bool ours);

private:
    mosquitto *mosq = nullptr;
    QString clientId;
    QByteArray bridgeTopic;
    QByteArray mark; // of this process, on what it leaves on the bridge topic
    // The network thread's own: what the current attempt went through.
    int connackCode = 0;
    int disconnectReason = 0; // sent by the broker (MQTT 5)
    int lastErrno = 0;
    QString libraryError;
    bool reached = false;
    bool answered = false;
    bool timedOut = false;
    std::chrono::steady_clock::time_point attemptStart;
    std::atomic<bool> oldProtocol{false};
};

#endif // MQTTCLIENT_H
