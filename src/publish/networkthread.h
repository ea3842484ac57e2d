#ifndef NETWORKTHREAD_H
#define NETWORKTHREAD_H

#include <QObject>
#include <QString>

#include <memory>
#include <thread>

class MqttClient;

// The thread where the client connects and runs its loop, so that a host name lookup or a TLS
// handshake may block without holding up the units. A connection that ends is tried again after
// 1 s, then 2, 4 … up to 60 s; only one that lasted 10 s starts the delays at 1 s again, so that
// a broker that drops each connection at once is not hammered. What it reports is handed to this
// object's thread.
class NetworkThread : public QObject
{
    Q_OBJECT

public:
    explicit NetworkThread(MqttClient &client, QObject *parent = nullptr);
    // end(): the client must outlive this object when that left the thread behind.
    ~NetworkThread() override;

    void start(const QString &host, int port);
    // Ends the thread at its next look: the connection as it is, and no more attempts.
    void quit();
    // The connection is about to be closed cleanly: no attempt follows.
    void disconnecting();
    // An attempt is under way and has not ended: the broker may still accept it.
    bool attempting() const;
    // Quits and waits for the thread, unless it is inside the library's connect call, where a
    // host name lookup or a TCP connect blocks for as long as the system lets it: the thread is
    // then left to end by itself once the call returns, touching nothing of this object, and
    // false returned. It still uses the client then, which must be left to it.
    bool end();

signals:
    void connectionEnded(const QString &reason);
    // The thread stopped trying.
    void ended();

private:
    struct Shared;
    static void run(std::shared_ptr<Shared> shared, MqttClient *client, const QByteArray &host,
                    int port);

    MqttClient &client;
    std::thread thread;
    // What the thread shares with this object; the thread keeps it when left behind.
    std::shared_ptr<Shared> shared;
};

#endif // NETWORKTHREAD_H
