#ifndef USAGEMETER_H
#define USAGEMETER_H

#include "stamplines.h"

#include <QMap>

#include <cstdio>
#include <sys/resource.h>

// The CPU time and context switches of this whole process (every thread) over a stretch of wall
// time on the monotonic clock, with the switches also told per thread.
class UsageMeter
{
public:
    void start();
    void stop();
    // After settleMsecs, measures for measureMsecs and then quits the application.
    void measureThenQuit(int settleMsecs, int measureMsecs);
    // The usage record and one thread record per thread.
    void print(std::FILE *out) const;

private:
    // Context switches so far by thread id.
    static QMap<QString, StampLines::Thread> threadSwitches();

    qint64 startNanos = 0;
    qint64 stopNanos = 0;
    rusage startUsage = {};
    rusage stopUsage = {};
    QMap<QString, StampLines::Thread> startThreads;
    QMap<QString, StampLines::Thread> stopThreads;
};

#endif // USAGEMETER_H
