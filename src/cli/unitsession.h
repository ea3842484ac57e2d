#ifndef UNITSESSION_H
#define UNITSESSION_H

#include "cli.h"
#include "serialcommon.h"

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

    // Opens the port and waits for the answer to the connection check; CannotOpen or NoUnit,
    // each said on stderr, when that fails.
    Cli::Exit open(const QString &port, int timeoutMsecs);
    // Sends the pack and waits for the unit's answer of the given command: empty when none came
    // within the time or the device was lost.
    QByteArray request(const QByteArray &pack, quint8 answerCommand, int timeoutMsecs);
    // Lets the event loop run for the time, receiving; false once the device is lost.
    bool pause(int msecs);
    bool isLost() const { return lost; }

private:
    // No pack has command 0: waitFor(0, …) lets the whole time pass.
    QByteArray waitFor(quint8 command, int timeoutMsecs);

    SerialCommon link;
    bool lost = false;
};

#endif // UNITSESSION_H
