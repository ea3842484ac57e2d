// bench_subscriber PORT TOPIC CLIENT_ID [MSECS]: a subscriber on the broker at 127.0.0.1:PORT with
// a persistent session (the client id, clean session off, QoS 1), as a consumer that must not miss
// a reading subscribes. It prints the acknowledged subscription and every message with the
// monotonic time it arrived, and connects again within a quarter of a second while the broker is
// away. With MSECS it takes that long over each message, as a consumer that stores them does.
// SIGTERM ends it.
//
// Real-time scheduling, as the units': its stamps measure the path to it, not how long a loaded
// machine lets it sleep.

#include "monotonic.h"
#include "stamplines.h"

#include <mosquitto.h>

#include <csignal>
#include <cstdio>
#include <sched.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stopping = 0;
QByteArray topic;
useconds_t handlingMicros = 0;
bool printed = false;

void onConnect(mosquitto *mosq, void *, int rc)
{
    if (rc == 0)
        mosquitto_subscribe(mosq, nullptr, topic.constData(), 1);
}

void onSubscribe(mosquitto *, void *, int, int, const int *)
{
    StampLines::print(stdout, StampLines::Subscribed{monotonicNanos()});
    printed = true;
}

void onMessage(mosquitto *, void *, const mosquitto_message *message)
{
    const qint64 now = monotonicNanos();
    StampLines::print(stdout,
                      StampLines::Message{now, QString::fromUtf8(message->topic),
                                          QByteArray(static_cast<const char *>(message->payload),
                                                     message->payloadlen)});
    printed = true;
    if (handlingMicros > 0)
        ::usleep(handlingMicros);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: bench_subscriber PORT TOPIC CLIENT_ID [MSECS]\n");
        return 2;
    }
    const int port = QByteArray(argv[1]).toInt();
    topic = argv[2];
    handlingMicros = argc == 5 ? useconds_t(QByteArray(argv[4]).toUInt() * 1000) : 0;
    sched_param priority = {};
    priority.sched_priority = 10;
    ::sched_setscheduler(0, SCHED_FIFO, &priority);
    // Without SA_RESTART, so that the wait for the socket ends at once.
    struct sigaction action = {};
    action.sa_handler = [](int) { stopping = 1; };
    ::sigaction(SIGTERM, &action, nullptr);

    mosquitto_lib_init();
    mosquitto *mosq = mosquitto_new(argv[3], false, nullptr);
    if (!mosq)
        return 1;
    mosquitto_connect_callback_set(mosq, onConnect);
    mosquitto_subscribe_callback_set(mosq, onSubscribe);
    mosquitto_message_callback_set(mosq, onMessage);
    int rc = mosquitto_connect(mosq, "127.0.0.1", port, 30);
    while (!stopping) {
        if (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_loop(mosq, 100, 1);
        if (printed) {
            std::fflush(stdout);
            printed = false;
        }
        if (rc != MOSQ_ERR_SUCCESS && !stopping) {
            ::usleep(250000);
            rc = mosquitto_reconnect(mosq);
        }
    }
    mosquitto_disconnect(mosq);
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
    std::fflush(stdout);
    return 0;
}
