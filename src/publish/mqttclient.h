#ifndef MQTTCLIENT_H
#define MQTTCLIENT_H

#include "mqttoptions.h"

#include <QByteArray>
#include <QObject>
#include <QString>

struct mosquitto;

// libmosquitto's client: set up from the options in one place, its callbacks handed on to the
// thread this object lives in, and the reason a connection attempt failed worded for a person.
// The network thread connects and runs its loop; this object's thread publishes.
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

    // libmosquitto's result; *mid is the message's id for published().
    int publish(const QString &topic, const QByteArray &payload, int qos, bool retain, int *mid);
    void disconnect();

signals:
    void connected();
    // The broker acknowledged the message (QoS 1), or it was written (QoS 0).
    void published(int mid, int reason);

private:
    mosquitto *mosq = nullptr;
    // The network thread's own: what the current attempt went through.
    int connackCode = 0;
    int lastErrno = 0;
    QString libraryError;
    bool reached = false;
};

#endif // MQTTCLIENT_H
