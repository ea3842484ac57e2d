#ifndef UNITSESSION_H
#define UNITSESSION_H

#include "serialcommon.h"
#include "unitfailure.h"

#include <QByteArray>
#include <QObject>
#include <QString>

// The unit on one port, for commands that go step by step: each request waits for its answer in
// a local event loop, so the link goes on receiving while the command reads as a sequence.
class UnitSession : public QObject
{
    Q_OBJECT

public:
    explicit UnitSession(QObject *parent = nullptr);

    // Opens the port and waits for the exact answers to the connection check and to a request
    // for the readings, so that a port that only echoes is no unit; why not, also told as a
    // notice, when that fails.
    UnitFailure open(const QString &port, int timeoutMsecs);
    // Sends the pack and waits for the unit's exact answer of the given command: empty when none
    // came within the time, the device was lost or the wait was interrupted.
    QByteArray request(const QByteArray &pack, quint8 answerCommand, int timeoutMsecs);
    // Lets the event loop run for the time, receiving; false once the device is lost or the
    // session is interrupted.
    bool pause(int msecs);
    bool isLost() const { return lost; }
    // Ends the wait under way, and every later one at once.
    void interrupt();
    bool isInterrupted() const { return interrupted; }

signals:
    void interruptedNow();
    // What went wrong, for a person.
    void notice(const QString &text);

private:
    // No pack has command 0: waitFor(0, …) lets the whole time pass.
    QByteArray waitFor(quint8 command, int timeoutMsecs);

    SerialCommon link;
    bool lost = false;
    bool interrupted = false;
};

#endif // UNITSESSION_H
