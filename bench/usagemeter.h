#ifndef USAGEMETER_H
#define USAGEMETER_H

#include <QByteArray>
#include <QMap>
#include <QtGlobal>

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
    // Lines "window <start ns> <stop ns>", "cpu_ns <user+system>", "switches <vol> <invol>" and
    // one "thread <name> <switches>" per thread.
    void print(std::FILE *out) const;

private:
    // Context switches so far by thread, keyed "<tid> <name>".
    static QMap<QByteArray, long> threadSwitches();

    qint64 startNanos = 0;
    qint64 stopNanos = 0;
    rusage startUsage = {};
    rusage stopUsage = {};
    QMap<QByteArray, long> startThreads;
    QMap<QByteArray, long> stopThreads;
};

#endif // USAGEMETER_H
