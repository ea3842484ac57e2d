#ifndef SIMULATEDUNIT_H
#define SIMULATEDUNIT_H

#include "packframer.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

class QSerialPort;
class QSocketNotifier;
class QTimer;

// A sensor unit in software. It serves the master side of a pseudo-terminal (or an existing
// serial device) and answers the host's packs as the real unit does, with faults on demand.
// The line itself is the platform's: file descriptors where there are pseudo-terminals
// (simulatedunit_unix.cpp), QSerialPort elsewhere (simulatedunit_serialport.cpp).
class SimulatedUnit : public QObject
{
    Q_OBJECT

public:
    enum Channel { AirTemperature, Humidity, Pressure, OilTemperature };

    struct Frame
    {
        qint64 msecs; // clockMsecs() at receipt
        QByteArray bytes;
    };

    explicit SimulatedUnit(QObject *parent = nullptr);
    ~SimulatedUnit() override;

    // False, with a warning, where the platform has no pseudo-terminals.
    bool openPty();
    bool openDevice(const QString &path);
    QString portName() const;
    bool isServing() const;
    // Closes the line as an unplugged adapter would.
    void hangUp();

    // Factory readings in tenths of their unit.
    static int factoryReading(Channel channel);
    int reading(Channel channel) const;
    void setReading(Channel channel, int tenths);
    void setDrift(bool on);

    void setSilent(bool on);
    void setAnswerDelay(int msecs);
    void setCorruptChecksum(bool on);
    void setCalibrationStatus(quint8 status);
    void setSplitAnswers(int pieceSize, int gapMsecs);
    void setCoalesceAnswers(bool on);
    // A line fault on the next answer to the command: removeCount bytes at position at (a
    // position past the end means after the answer) are replaced by insert.
    void spoilNextAnswer(quint8 command, int at, int removeCount, const QByteArray &insert);

    void sendRaw(const QByteArray &bytes);

    // The monotonic clock of the frames' times, shared by every process on the machine.
    static qint64 clockMsecs();

    QList<Frame> receivedFrames() const;
    QByteArray receivedBytes() const;
    void clearReceived();

signals:
    void frameReceived(const QByteArray &frame);
    void answerWritten(const QByteArray &bytes);

private:
    // One write() worth of answer bytes, not to go out before notBefore; gapAfter holds back
    // the next piece of a split answer.
    struct Outgoing
    {
        qint64 notBefore;
        QByteArray bytes;
        int gapAfter;
    };

    void onReadable();
    void receive(const QByteArray &chunk);
    void handleFrame(const QByteArray &frame, bool intact);
    void calibrate(quint8 command, Channel channel, const QByteArray &payload);
    void answer(const QByteArray &bytes);
    void schedule(const QByteArray &bytes);
    void pumpQueue();
    void writeNow(const QByteArray &bytes);
    void flushBacklog();
    void driftStep();
    void closeLine();
    void releaseLine();

#ifdef Q_OS_UNIX
    bool serve(int fd, const QString &path);
    void lose(const char *call, int error);

    int masterFd = -1;
    int slaveFd = -1;
    QSocketNotifier *notifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
#else
    void lose(const char *call);

    QSerialPort *port = nullptr;
#endif
    QString devicePath;
    QTimer *driftTimer = nullptr;
    QTimer *sendTimer = nullptr;
    QList<Outgoing> outQueue;
    // Bytes handed to writeNow() that the master has not taken yet, one entry per write.
    QList<QByteArray> writeBacklog;
    int writeOffset = 0;
    PackFramer inBuffer;
    QByteArray allReceived;
    QList<Frame> frames;
    QByteArray heldAnswer;
    int readings[4];
    bool silent = false;
    int answerDelay = 0;
    bool corruptChecksum = false;
    quint8 calibrationStatus = 0x01;
    int splitPieceSize = 0;
    int splitGap = 0;
    bool coalesce = false;
    struct Spoil
    {
        int command = -1;
        int at = 0;
        int removeCount = 0;
        QByteArray insert;
    } spoil;
};

#endif // SIMULATEDUNIT_H
