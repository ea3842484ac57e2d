#ifndef READER_H
#define READER_H

#include "serialcommon.h"

#include <QObject>
#include <QString>
#include <QTime>
#include <QTimer>

class SampleWriter;

// The read command: greets the unit, then asks for all four readings on a fixed rhythm and
// writes one line per intact answer. It ends the event loop with the command's exit code.
class Reader : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString port;
        int intervalMsecs = 1000;
        int count = 0; // 0: no limit
        int durationMsecs = 0; // 0: no limit
        bool reconnect = false;
    };

    Reader(const Options &options, SampleWriter *writer, QObject *parent = nullptr);

    void start();
    // Ctrl-C or SIGTERM: the lines written so far are whole, the run is done.
    void stop();

private:
    void onPack(const QByteArray &pack);
    void onTick();
    void onReconnectTick();
    void lose(const QString &why);
    void finish(int code);

    const Options options;
    SampleWriter *writer;
    SerialCommon link;
    QTimer pollTimer;
    QTimer greetingTimer;
    QTimer reconnectTimer;
    QTimer durationTimer;
    bool connected = false;
    bool awaiting = false;
    QTime requestedAt;
    int unansweredInARow = 0;
    int lines = 0;
};

#endif // READER_H
