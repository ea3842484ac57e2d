#include "deliverywindow.h"

#include <mosquitto.h>

namespace {
// libmosquitto's own limit of messages in flight, so that it holds back none of ours.
constexpr int Size = 20;
} // namespace

bool DeliveryWindow::hasRoom() const
{
    return readings.size() < Size;
}

bool DeliveryWindow::taken(int rc, int messageQos) const
{
    // Without a connection a QoS 1 message still waits in the library for the next one.
    return rc == MOSQ_ERR_SUCCESS || (rc == MOSQ_ERR_NO_CONN && messageQos > 0);
}

void DeliveryWindow::readingSent(int mid, quint64 readingId)
{
    readings.insert(mid, readingId);
    next = readingId + 1;
}

void DeliveryWindow::retainedSent(int mid)
{
    retained.insert(mid);
}

bool DeliveryWindow::acknowledge(int mid, quint64 *readingId)
{
    const auto reading = readings.constFind(mid);
    if (reading == readings.constEnd()) {
        retained.remove(mid);
        return false;
    }
    *readingId = reading.value();
    readings.erase(reading);
    return true;
}

void DeliveryWindow::connectionEnded()
{
    // A QoS 0 message not yet written went with the connection.
    if (qos == 0) {
        readings.clear();
        next = 0;
    }
}
