#ifndef MQTTPUBLISHER_H
#define MQTTPUBLISHER_H

#include "deliverywindow.h"
#include "mqttclient.h"
#include "mqttoptions.h"
#include "networkthread.h"
#include "spool.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QVector>

#include <memory>

// Gets messages to an MQTT broker with nothing lost. A reading goes to the spool first, then to
// the broker, oldest first, a bounded number at a time and at a bounded rate, so that a backlog
// does not overflow the consumers' queues at the broker; only the broker's acknowledgement takes
// it out of the spool. While the spool cannot be written, readings go to the broker directly.
// Retained values (availability, discovery) are kept in memory and sent again on every connection.
// Connection failures are one notice each time their reason changes.
class MqttPublisher : public QObject
{
    Q_OBJECT

public:
    using Options = MqttOptions;

    // mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883, TLS); an IPv6 address in
    // brackets. Sets host, port and tls.
    static bool parseBrokerUrl(const QString &url, Options *options, QString *error);

    explicit MqttPublisher(const Options &options, QObject *parent = nullptr);
    // Without stop(), as if the process died: the broker publishes the last will, and what was
    // not acknowledged stays in the spool. Never waits for a host name lookup or a TCP connect.
    ~MqttPublisher() override;

    // Opens the spool, whose unacknowledged readings of an earlier run go first, and starts
    // connecting; never waits for the network. False with a message for a spool that cannot be
    // used or a client that cannot be set up (e.g. unreadable certificate files).
    bool start(QString *error);
    // A reading: into the spool at once, to the broker in order; the payload is sent as given.
    void publishState(const QString &topic, const QByteArray &payload);
    // Retained with QoS 1; the latest payload per topic is sent again on every connection.
    void publishRetained(const QString &topic, const QByteArray &payload);
    // How many readings a second the units give; a backlog goes out at twice that (at least 20
    // a second) unless the options set the rate.
    void setLiveRate(double readingsPerSecond) { liveRate = readingsPerSecond; }
    // Sets the bridge topic "offline" and disconnects once the broker has acknowledged every
    // retained value; finished() follows within 2 s, also when the broker cannot be reached.
    // Readings not yet acknowledged stay in the spool for the next start().
    void stop();
    // Readings not yet acknowledged by the broker.
    qint64 pending() const { return spool.pending(); }

signals:
    void finished();
    // A failure, a recovery or a loss, for a person.
    void notice(const QString &text);

private:
    void onConnected();
    void onConnectionEnded(const QString &reason);
    void onPublished(int mid, int reason);
    void refuse(quint64 readingId, const QString &topic, int reason);
    void onBridgeFound(bool ours);
    void noteRefusal(const QString &what, int reason);
    void retryRefused();
    void sendNext();
    void sendUnspooled(const QString &topic, const QByteArray &payload, const QString &error);
    bool takeToken();
    void sendRetained(const QString &topic, const QByteArray &payload);
    void disconnectWhenDone();
    void finish();

    const Options options;
    const QString address; // host:port, for messages
    Spool spool;
    // Left to the network thread, not destroyed, when that is left in a host name lookup.
    std::unique_ptr<MqttClient> ownClient;
    MqttClient &client;
    NetworkThread network; // after the client: ends before it
    DeliveryWindow window;

    bool connected = false;
    bool stopping = false;
    bool closing = false;
    bool done = false;
    bool spoolFailing = false;
    qint64 lost = 0; // readings neither the spool nor the broker could take
    double liveRate = 0;
    // The token bucket that paces what is sent.
    double tokens = 0;
    qint64 tokensAt = 0; // nanoseconds on the clock
    QElapsedTimer clock;
    QTimer paceTimer;
    QString failure; // the reason last reported, until a connection lasts
    bool recoveryNoted = false;
    QTimer steadyTimer;
    bool oldProtocolNoted = false;
    int othersInARow = 0; // connections that found another process's value on the bridge topic
    QHash<QString, int> refusals; // the reason last reported per refused topic
    QTimer retryTimer; // of refused readings
    int retryMsecs = 0;
    QVector<QPair<QString, QByteArray>> retained;
    QSet<QString> retainedDue; // topics whose latest payload waits for the one in flight
    QTimer stopTimer;
};

#endif // MQTTPUBLISHER_H
