#ifndef DELIVERYWINDOW_H
#define DELIVERYWINDOW_H

#include <QHash>
#include <QSet>
#include <QtGlobal>

// What was handed to the client library and not yet acknowledged by the broker: a bounded number
// of readings, oldest first, and the retained values. QoS 1 messages the library keeps over a
// lost connection and sends again; QoS 0 ones go with it.
class DeliveryWindow
{
public:
    explicit DeliveryWindow(int qos)
        : qos(qos)
    { }

    // Another reading may be handed on.
    bool hasRoom() const;
    // The id of the next reading to hand on: those before it went in this connection.
    quint64 nextReading() const { return next; }
    // The library took the message when publishing returned rc: at once, or (QoS 1) to send on
    // the next connection. A reading it did not take waits in the spool.
    bool taken(int rc, int messageQos) const;
    void readingSent(int mid, quint64 readingId);
    void retainedSent(int mid);
    // The broker acknowledged message mid: true with the reading's id when it was a reading.
    bool acknowledge(int mid, quint64 *readingId);
    bool retainedPending() const { return !retained.isEmpty(); }
    void connectionEnded();

private:
    const int qos;
    quint64 next = 0;
    QHash<int, quint64> readings; // message id → reading id
    QSet<int> retained;
};

#endif // DELIVERYWINDOW_H
