#include "networkthread.h"

#include "mqttclient.h"

#include <algorithm>
#include <chrono>

namespace {
constexpr int MaxDelaySecs = 60;
}

NetworkThread::NetworkThread(MqttClient &client, QObject *parent)
    : QObject(parent)
    , client(client)
{ }

NetworkThread::~NetworkThread()
{
    quit();
    if (thread.joinable())
        thread.join();
}

void NetworkThread::start(const QString &host, int port)
{
    thread = std::thread(&NetworkThread::run, this, host.toUtf8(), port);
}

void NetworkThread::set(std::atomic<bool> &flag)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        flag = true;
    }
    wakeUp.notify_all();
}

void NetworkThread::quit()
{
    set(quitting);
}

void NetworkThread::disconnecting()
{
    set(closing);
}

void NetworkThread::run(const QByteArray &host, int port)
{
    int delaySecs = 1;
    while (!quitting && !closing) {
        int rc = client.connectAsync(host, port);
        while (rc == 0 && !quitting)
            rc = client.loop();
        if (quitting || closing)
            break;
        const QString reason = client.failureReason(rc);
        QMetaObject::invokeMethod(
            this, [this, reason] { emit connectionEnded(reason); }, Qt::QueuedConnection);
        if (client.wasReached())
            delaySecs = 1;
        std::unique_lock<std::mutex> lock(mutex);
        wakeUp.wait_for(lock, std::chrono::seconds(delaySecs),
                        [this] { return quitting || closing; });
        delaySecs = std::min(2 * delaySecs, MaxDelaySecs);
    }
    QMetaObject::invokeMethod(this, &NetworkThread::ended, Qt::QueuedConnection);
}
