#ifndef INTERRUPTWATCHER_H
#define INTERRUPTWATCHER_H

#include <QObject>

// Turns Ctrl-C, SIGTERM and SIGHUP (on Windows: Ctrl-C, Ctrl-Break, and as SIGTERM a closed
// console, a logoff or a shutdown) into a signal on the event loop, so that a command stops
// between two of its steps, never inside one. While one exists the program is not ended by them;
// the system's handling returns when it is destroyed. A signal ignored at the start (nohup) stays
// ignored.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject *parent = nullptr);
    ~InterruptWatcher() override;

signals:
    // The signal's number (SIGINT for a console's Ctrl-C or Ctrl-Break on Windows).
    void interrupted(int signalNumber);
};

#endif // INTERRUPTWATCHER_H
