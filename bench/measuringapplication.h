#ifndef MEASURINGAPPLICATION_H
#define MEASURINGAPPLICATION_H

#include "stamplines.h"

#include <QApplication>
#include <QMap>

#include <cstdio>
#include <sys/resource.h>

class QLabel;

// An application that measures itself over a stretch of time: its CPU time and context switches
// (every thread, and each thread's), and when watched labels were painted. A paint is stamped
// when the outermost paint delivery (the window's update request, or its expose) has returned,
// that is after the label was drawn and the backing store handed to the platform.
class MeasuringApplication : public QApplication
{
public:
    MeasuringApplication(int &argc, char **argv);

    void watch(QLabel *label);
    // After settleMsecs, measures for measureMsecs and then quits.
    void measureThenQuit(int settleMsecs, int measureMsecs);
    // The usage record, a thread record per thread and a paint record per paint.
    void print(std::FILE *out) const;

    bool notify(QObject *receiver, QEvent *event) override;

private:
    // Context switches so far by thread id.
    static QMap<QString, StampLines::Thread> threadSwitches();

    QVector<QLabel *> watched;
    QVector<StampLines::Paint> pending;
    QVector<StampLines::Paint> stamps;
    int paintDepth = 0;
    StampLines::Usage usage;
    rusage startUsage = {};
    QMap<QString, StampLines::Thread> startThreads;
    QMap<QString, StampLines::Thread> stopThreads;
};

#endif // MEASURINGAPPLICATION_H
