#ifndef MQTTPUBLISHER_H
#define MQTTPUBLISHER_H

#include "spool.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

struct mosquitto;

// Gets messages to an MQTT broker with nothing lost. A reading goes to the spool first, then to
// the broker, oldest first and a bounded number at a time; only the broker's acknowledgement
// takes it out of the spool. Retained values (availability, discovery) are kept in memory and
// sent again on every connection. Connection failures are one line on stderr each time their
// reason changes; connecting is retried after 1 s, then 2, 4 … up to 60 s.
//
// libmosquitto runs in a network thread of its own, where a host name lookup or a TLS handshake
// may block without holding up the units; whatever it reports is handed to this object's thread,
// where all the rest happens.
class MqttPublisher : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString host;
        int port = 1883;
        bool tls = false;
        QString clientId;
        QString username; // empty: none
        QString password;
        QString caFile; // empty: the system's CA store
        QString certFile; // a client certificate, with keyFile
        QString keyFile;
        int qos = 1; // of readings; retained values always go with QoS 1
        QString spoolDir;
        qint64 spoolLimitBytes = qint64(100) << 20;
        // Empty, or a topic set to "online" (retained) on every connection, and to "offline" at
        // stop() and by the broker as the connection's last will.
        QString bridgeTopic;
    };

    // mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883, TLS); an IPv6 address in
    // brackets. Sets host, port and tls.
    static bool parseBrokerUrl(const QString &url, Options *options, QString *error);

    explicit MqttPublisher(const Options &options, QObject *parent = nullptr);
    // Without stop(), as if the process died: the broker publishes the last will, and what was
    // not acknowledged stays in the spool.
    ~MqttPublisher() override;

    // Opens the spool, whose unacknowledged readings of an earlier run go first, and starts
    // connecting; never waits for the network. False with a message for a spool that cannot be
    // used or a client that cannot be set up (e.g. unreadable certificate files).
    bool start(QString *error);
    // A reading: into the spool at once, to the broker in order; the payload is sent as given.
    void publishState(const QString &topic, const QByteArray &payload);
    // Retained with QoS 1; the latest payload per topic is sent again on every connection.
    void publishRetained(const QString &topic, const QByteArray &payload);
    // Sets the bridge topic "offline" and disconnects once the broker has acknowledged every
    // retained value; finished() follows within 2 s, also when the broker cannot be reached.
    // Readings not yet acknowledged stay in the spool for the next start().
    void stop();
    // Readings not yet acknowledged by the broker.
    qint64 pending() const { return spool.pending(); }

signals:
    void finished();

private:
    void runNetwork();
    QString failureReason(int rc) const;
    void requestQuit();
    void onConnected();
    void onConnectionEnded(const QString &reason);
    void onPublished(int mid);
    void sendNext();
    void sendRetained(const QString &topic, const QByteArray &payload);
    void disconnectWhenDone();
    void finish();

    const Options options;
    const QString address; // host:port, for messages
    Spool spool;
    mosquitto *mosq = nullptr;

    // Shared with the network thread.
    std::thread network;
    std::mutex mutex;
    std::condition_variable wakeUp;
    std::atomic<bool> quit{false};
    std::atomic<bool> disconnecting{false};

    // The network thread's own: what the current connection attempt went through.
    int connackCode = 0;
    int lastErrno = 0;
    QString libraryError;
    bool reached = false;

    bool connected = false;
    bool stopping = false;
    bool done = false;
    bool spoolFailing = false;
    QString failure; // the reason last reported, until connected again
    quint64 nextId = 0; // readings before it were handed to the library in this connection
    QHash<int, quint64> inflight; // message id → reading id
    QSet<int> retainedInflight;
    QVector<QPair<QString, QByteArray>> retained;
    QTimer stopTimer;
};

#endif // MQTTPUBLISHER_H
