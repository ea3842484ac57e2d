#ifndef BROKER_H
#define BROKER_H

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <mutex>

struct mosquitto;

// Debian's mosquitto on free ports of 127.0.0.1, with its configuration, log, certificates and
// password file in a directory of its own. Stopped and started again on the same ports for an
// outage; it keeps its sessions and their queued messages over that, so that a subscriber misses
// nothing.
struct BrokerOptions
{
    bool tls = false; // a TLS listener too, its certificates signed by a CA made here
    bool clientCertificate = false; // which the TLS listener then requires
    QString user; // with a password file holding only this user
    QString password;
    // Of messages a client's session holds, queued or in flight: 0 for no limit, as the tests
    // mostly want; mosquitto's default is 1000.
    int maxQueued = 0;
};

class Broker
{
public:
    // With a parent folder, a benchmark's broker: its directory there, left behind for the
    // benchmark's record, and no packets in its log, which a load would fill. Without, a
    // temporary directory and every packet logged.
    explicit Broker(const BrokerOptions &options = {}, const QString &parent = QString());
    ~Broker();

    // Before start(): more lines of its configuration (an acl_file, a message_size_limit...).
    void configure(const QStringList &lines);
    // Empty on success, else what went wrong; returns once the broker accepts connections.
    QString start();
    // True when it ended by itself with 0 (or was not running).
    bool stop();
    QString url() const;
    QString tlsUrl() const;
    // In the broker's directory: ca.crt, client.crt and client.key, and other-ca.crt, a CA that
    // signed none of them.
    QString path(const QString &name) const { return dir.filePath(name); }
    QString log() const;
    // Connections the broker accepted on a port since the log had this many characters.
    int connections(int port, int since = 0) const;
    qint64 processId() const { return process.processId(); }

    int port = 0;
    int tlsPort = 0;

private:
    QTemporaryDir dir;
    QProcess process;
    QString setupError;
};

// mosquitto_sub on a topic filter with QoS 1 and a session the broker keeps; lines() are "topic
// payload", one per message received.
class Subscriber
{
public:
    Subscriber(const Broker &broker, const QString &filter, const QString &clientId);
    ~Subscriber();
    // Returns once the broker confirmed the subscription.
    bool subscribed();
    QStringList lines();

private:
    const Broker &broker;
    const QString clientId;
    QProcess process;
    QByteArray output;
};

// A consumer that takes its time over each message, as a database writer does: a session the
// broker keeps, with QoS 1, through libmosquitto; lines() as Subscriber's.
class SlowSubscriber
{
public:
    SlowSubscriber(const Broker &broker, const QString &filter, const QString &clientId,
                   int costMicros);
    ~SlowSubscriber();
    bool subscribed();
    QStringList lines();

private:
    const Broker &broker;
    const QString clientId;
    const QByteArray filter;
    const int costMicros;
    mosquitto *mosq = nullptr;
    std::mutex mutex;
    QStringList received;
};

#endif // BROKER_H
