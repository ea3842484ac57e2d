#ifndef DELIVERYWINDOW_H
#define DELIVERYWINDOW_H

#include <QHash>
#include <QString>
#include <QtGlobal>

#include <set>

// What was handed to the client library and not yet acknowledged by the broker: a bounded number
// of readings, oldest first, and at most one message per retained topic. QoS 1 messages the
// library keeps over a lost connection and sends again; QoS 0 ones go with it. Readings the broker
// refused wait here until they are tried again.
class DeliveryWindow
{
public:
    struct Acknowledged
    {
        bool isReading = false;
        quint64 readingId = 0;
        bool wasRetried = false; // a reading the broker had refused before
        QString retainedTopic; // empty unless it was a retained value
    };

    explicit DeliveryWindow(int qos)
        : qos(qos)
    { }

    // Another reading may be handed on.
    bool hasRoom() const;
    // The id of the next reading to hand on: those before it went in this connection, but for
    // refused ones while they are tried again.
    quint64 nextReading() const;
    // The library took the message when publishing returned rc: at once, or (QoS 1) to send on
    // the next connection. A reading it did not take waits in the spool.
    bool taken(int rc, int messageQos) const;
    void readingSent(int mid, quint64 readingId);
    void retainedSent(int mid, const QString &topic);
    // The library holds a value of this topic still to be acknowledged.
    bool retainedInFlight(const QString &topic) const;
    // The broker answered message mid, which is no longer in flight.
    Acknowledged acknowledge(int mid);
    // The broker refused the reading: kept for retry(), and a retry in progress stops.
    void refused(quint64 readingId);
    // Refused readings go again, oldest first, before the next new one.
    void retry() { retrying = !refusedReadings.empty(); }
    bool retainedPending() const { return !retained.isEmpty(); }
    void connectionEnded();

private:
    struct Reading
    {
        quint64 id = 0;
        bool retried = false;
    };

    const int qos;
    quint64 next = 0;
    QHash<int, Reading> readings; // by message id
    std::set<quint64> refusedReadings;
    bool retrying = false;
    QHash<int, QString> retained; // message id → topic
};

#endif // DELIVERYWINDOW_H
