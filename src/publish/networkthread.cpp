#include "networkthread.h"

#include "mqttclient.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {
constexpr int MaxDelaySecs = 60;
// A connection that lasted this long was a working one: the delays start again at 1 s.
constexpr std::chrono::seconds LastingConnection(10);
} // namespace

struct NetworkThread::Shared
{
    std::mutex mutex;
    std::condition_variable wakeUp;
    // Each read and written under the mutex.
    bool quitting = false;
    bool closing = false;
    bool attempting = false;
    bool inConnect = false;
    // Null once the thread is left behind: what it reports then goes nowhere.
    NetworkThread *owner = nullptr;

    template <typename Report>
    void report(Report report)
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Queued: dropped by Qt if the owner is destroyed before it is delivered.
        if (owner)
            QMetaObject::invokeMethod(
                owner, [owner = owner, report] { report(owner); }, Qt::QueuedConnection);
    }
};

NetworkThread::NetworkThread(MqttClient &client, QObject *parent)
    : QObject(parent)
    , client(client)
    , shared(std::make_shared<Shared>())
{
    shared->owner = this;
}

NetworkThread::~NetworkThread()
{
    end();
}

void NetworkThread::start(const QString &host, int port)
{
    // From now on, so that a stop in the next moment waits for the first attempt.
    shared->attempting = true;
    thread = std::thread(&NetworkThread::run, shared, &client, host.toUtf8(), port);
}

void NetworkThread::quit()
{
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->quitting = true;
    }
    shared->wakeUp.notify_all();
}

void NetworkThread::disconnecting()
{
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->closing = true;
    }
    shared->wakeUp.notify_all();
}

bool NetworkThread::attempting() const
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->attempting;
}

bool NetworkThread::end()
{
    if (!thread.joinable())
        return true;
    bool leave = false;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->quitting = true;
        shared->owner = nullptr;
        leave = shared->inConnect;
    }
    shared->wakeUp.notify_all();
    // Outside the connect call the thread looks at quitting at least every loop's timeout.
    if (leave)
        thread.detach();
    else
        thread.join();
    return !leave;
}

void NetworkThread::run(std::shared_ptr<Shared> shared, MqttClient *client, const QByteArray &host,
                        int port)
{
    using Clock = std::chrono::steady_clock;
    const auto quitting = [&shared] {
        std::lock_guard<std::mutex> lock(shared->mutex);
        return shared->quitting;
    };
    int delaySecs = 1;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            if (shared->quitting || shared->closing)
                break;
            shared->attempting = shared->inConnect = true;
        }
        const Clock::time_point began = Clock::now();
        int rc = client->connectAsync(host, port);
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->inConnect = false;
            // Maybe left behind: the client is all it may touch then, and no more of it.
            if (shared->quitting) {
                shared->attempting = false;
                break;
            }
        }
        while (rc == 0 && !quitting())
            rc = client->loop();
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->attempting = false;
            if (shared->quitting || shared->closing)
                break;
        }
        const QString reason = client->failureReason(rc);
        shared->report([reason](NetworkThread *owner) { emit owner->connectionEnded(reason); });
        if (client->wasReached() && Clock::now() - began >= LastingConnection)
            delaySecs = 1;
        std::unique_lock<std::mutex> lock(shared->mutex);
        shared->wakeUp.wait_for(lock, std::chrono::seconds(delaySecs),
                                [&shared] { return shared->quitting || shared->closing; });
        delaySecs = std::min(2 * delaySecs, MaxDelaySecs);
    }
    shared->report([](NetworkThread *owner) { emit owner->ended(); });
}
