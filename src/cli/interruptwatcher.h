#ifndef INTERRUPTWATCHER_H
#define INTERRUPTWATCHER_H

#include <QObject>

// Turns Ctrl-C and SIGTERM (Ctrl-C and Ctrl-Break on a Windows console) into a signal on the
// event loop, so that a command stops between two of its lines, never inside one.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject *parent = nullptr);

signals:
    void interrupted();
};

#endif // INTERRUPTWATCHER_H
