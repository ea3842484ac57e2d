#ifndef NETWORKTHREAD_H
#define NETWORKTHREAD_H

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

class MqttClient;

// The thread where the client connects and runs its loop, so that a host name lookup or a TLS
// handshake may block without holding up the units. A connection that ends is tried again after
// 1 s, then 2, 4 … up to 60 s, or at once after one the broker had accepted. What it reports is
// handed to this object's thread.
class NetworkThread : public QObject
{
    Q_OBJECT

public:
    explicit NetworkThread(MqttClient &client, QObject *parent = nullptr);
    // Quits and waits for the thread.
    ~NetworkThread() override;

    void start(const QString &host, int port);
    // Ends the thread at its next look: the connection as it is, and no more attempts.
    void quit();
    // The connection is about to be closed cleanly: no attempt follows.
    void disconnecting();

signals:
    void connectionEnded(const QString &reason);
    // The thread stopped trying.
    void ended();

private:
    void run(const QByteArray &host, int port);
    void set(std::atomic<bool> &flag);

    MqttClient &client;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wakeUp;
    std::atomic<bool> quitting{false};
    std::atomic<bool> closing{false};
};

#endif // NETWORKTHREAD_H
