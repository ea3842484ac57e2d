#include "deliverywindow.h"

#include <mosquitto.h>

#include <algorithm>

namespace {
// libmosquitto's own limit of messages in flight, so that it holds back none of ours.
constexpr int Size = 20;
} // namespace

bool DeliveryWindow::hasRoom() const
{
    return readings.size() < Size;
}

quint64 DeliveryWindow::nextReading() const
{
    return retrying ? *refusedReadings.begin() : next;
}

bool DeliveryWindow::taken(int rc, int messageQos) const
{
    // Without a connection a QoS 1 message still waits in the library for the next one.
    return rc == MOSQ_ERR_SUCCESS || (rc == MOSQ_ERR_NO_CONN && messageQos > 0);
}

void DeliveryWindow::readingSent(int mid, quint64 readingId)
{
    // Refused readings the spool skipped over were dropped from it to stay within its limit.
    if (retrying)
        refusedReadings.erase(refusedReadings.begin(), refusedReadings.lower_bound(readingId));
    const bool retried = refusedReadings.erase(readingId) > 0;
    readings.insert(mid, {readingId, retried});
    retrying = retrying && !refusedReadings.empty();
    next = std::max(next, readingId + 1);
}

void DeliveryWindow::retainedSent(int mid, const QString &topic)
{
    retained.insert(mid, topic);
}

bool DeliveryWindow::retainedInFlight(const QString &topic) const
{
    return std::find(retained.cbegin(), retained.cend(), topic) != retained.cend();
}

DeliveryWindow::Acknowledged DeliveryWindow::acknowledge(int mid)
{
    Acknowledged answer;
    const auto reading = readings.constFind(mid);
    if (reading != readings.constEnd()) {
        answer.isReading = true;
        answer.readingId = reading->id;
        answer.wasRetried = reading->retried;
        readings.erase(reading);
    } else {
        answer.retainedTopic = retained.take(mid);
    }
    return answer;
}

void DeliveryWindow::refused(quint64 readingId)
{
    refusedReadings.insert(readingId);
    retrying = false;
    // Refused before it was handed on: the next one goes.
    next = std::max(next, readingId + 1);
}

void DeliveryWindow::connectionEnded()
{
    // A QoS 0 message not yet written went with the connection.
    if (qos == 0) {
        readings.clear();
        next = 0;
    }
}
