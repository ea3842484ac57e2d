#ifndef READER_H
#define READER_H

#include "sensorprotocol.h"
#include "serialcommon.h"
#include "unitfailure.h"

#include <QObject>
#include <QString>
#include <QTime>
#include <QTimer>

// One unit on one port: greets it, then asks for all four readings on a fixed rhythm and hands on
// every exact answer as a reading. Missed samples are told when they start and when the unit
// answers steadily again, not one by one. A unit that stops answering, or whose device is lost, is
// reported; with reconnect the port is opened again every second until the unit answers again.
// It serves one unit for read, and each of many for publish; the prober greets with it.
class Reader : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString port;
        int intervalMsecs = 1000;
        int greetingTimeoutMsecs = 2000;
        bool reconnect = false;
        // With reconnect: a port that cannot be opened at the start is tried every second too,
        // as for an adapter plugged in later.
        bool retryOpen = false;
    };

    explicit Reader(const Options &options, QObject *parent = nullptr);

    const Options &options() const { return settings; }
    void start();
    // Closes the port; nothing is reported after it.
    void stop();

signals:
    // The unit answered the connection check (again, after a loss).
    void online();
    void reading(const SensorProtocol::Reading &reading);
    // The unit is gone, and why; with reconnect the port is tried again every second.
    void offline(const QString &why);
    // Without reconnect: the port cannot be opened, or the unit is gone.
    void failed(UnitFailure failure);
    // What happened on the line, for a person: a silence, a loss, a return.
    void notice(const QString &text);

private:
    void onPack(const QByteArray &pack);
    void onTick();
    void onReconnectTick();
    void lose(const QString &why);

    const Options settings;
    SerialCommon link;
    QTimer pollTimer;
    QTimer greetingTimer;
    QTimer reconnectTimer;
    bool connected = false;
    bool awaiting = false;
    QTime requestedAt;
    int unansweredInARow = 0;
    // Samples missed since the first unanswered one, until the unit answers steadily again.
    int missed = 0;
    int answeredInARow = 0;
    QTime firstMissedAt;
};

Q_DECLARE_METATYPE(SensorProtocol::Reading)

#endif // READER_H
