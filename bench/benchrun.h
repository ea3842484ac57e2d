#ifndef BENCHRUN_H
#define BENCHRUN_H

#include "stamplines.h"

#include <QProcess>
#include <QStringList>
#include <QVector>

// What the driver's measurements share: how long they run, where the benchmark programs are and
// their output goes, and the table and notes each measurement adds to.
class BenchRun
{
public:
    int runs = 30;
    int warmups = 3;
    int pollMsecs = 102000;
    int shmlessMsecs = 30000;
    int settleMsecs = 2000;
    // corvane-cli's log at the shortest interval: its memory after this many samples and after
    // that many.
    int cliEarlySamples = 1000;
    int cliLateSamples = 5000;
    // corvane-cli publish: the measured stretch, under publish and under the pipelines, and the
    // broker's outage.
    int publishMsecs = 30000;
    int outageMsecs = 60000;
    // The window's CPU while polling offscreen, which corvane-cli's is held against.
    double windowCpuPercent = 0;
    QString binDir;
    QString workDir;
    // Where the window before the trend has its bench programs built, and what it is called.
    QString baselineDir;
    QString baselineName;
    // Figure, platform, measured, floor or reference, ratio, target and result.
    QVector<QStringList> rows;
    QStringList notes;

    // A benchmark program beside the driver, or the program at an absolute path.
    QString binary(const QString &name) const;
    QString workFile(const QString &name) const;
    // What a program printed into that file of the work folder.
    QByteArray output(const QString &name) const;
    // Starts a benchmark program, its output going to "<name>.out" and "<name>.err" in the work
    // folder unless stderrPath says otherwise.
    void start(QProcess &child, const QString &program, const QStringList &arguments,
               const QProcessEnvironment &environment, const QString &name,
               const QString &stderrPath = {}) const;
    // Waits for a started program, killing it after timeoutMsecs; true when it exited with 0.
    static bool finished(QProcess &child, int timeoutMsecs);
    // The same wait, saying how it went wrong ("exited with 1"); empty when it exited with 0.
    static QString ended(QProcess &child, int timeoutMsecs);
    // Starts bench_unit, the simulated unit of the polling runs, in a process of its own, and
    // waits for its pseudo-terminals; an empty record when it printed none.
    StampLines::Unit startUnit(QProcess &unit, const QString &name,
                               const QStringList &arguments = {}) const;
    // The unit prints its stamps and quits when its standard input closes.
    static bool stopUnit(QProcess &unit);
    void printTable() const;
};

// CPU time (nanoseconds, from the scheduler's own account) and context switches of a process,
// summed over its threads, read from outside.
struct ProcessUsage
{
    double cpuNanos = 0;
    qint64 switches = 0;
};
ProcessUsage processUsage(qint64 pid);
qint64 residentKiB(qint64 pid);

// A count over a measured stretch, per second; the stretch's CPU time in % of a core.
double perSecond(const StampLines::Usage &usage, qint64 count);
double cpuPercent(const StampLines::Usage &usage);

QString number(double value, int decimals);
// The measured cost over the floor's, "—" without a floor.
QString ratioText(double measured, double floor);
QString verdict(bool met);

// The driver's measurements, one file each; every one adds its rows to the run's table.

// Where the windows are shown: the name in the table, the tag of the output files and the
// children's environment.
struct Platform
{
    QString name;
    QString tag;
    QProcessEnvironment environment;
};

// What the programs of one polling session printed.
struct PollingOutput
{
    QByteArray unit;
    QByteArray window;
    QByteArray timerFloor;
    QByteArray ptyFloor;
};

// measurestartup.cpp
void measureStartup(BenchRun &run, const Platform &platform);
// Two programs started alternately, run.runs times each after the warm-ups: the medians of their
// wall times to the first paint and of their peak RSS, and how many starts failed.
struct StartupPair
{
    double wallMsecs[2] = {0, 0};
    double peakMiB[2] = {0, 0};
    int failures = 0;
};
StartupPair startupPair(const BenchRun &run, const Platform &platform,
                        const QString (&programs)[2]);
// measurepolling.cpp: CPU time and context switches, and with the floors also the rows below.
void measurePolling(BenchRun &run, const Platform &platform, int measureMsecs, bool withFloors);
// measurelatency.cpp
void addLatencyRows(BenchRun &run, const QString &platform, const PollingOutput &output);
void addRhythmRows(BenchRun &run, const QString &platform, const PollingOutput &output);
// measurecutting.cpp
void measureCutting(BenchRun &run);
// measurecli.cpp
void measureCli(BenchRun &run);
// measurepublish.cpp: publish beside the pipelines and its recovery, then the drain to a slow
// consumer on a broker with mosquitto's default queue.
void measurePublish(BenchRun &run);
void measureDrain(BenchRun &run);
// measuretrend.cpp: the replot offscreen, the rest on every platform.
void measureTrend(BenchRun &run, const QVector<Platform> &platforms);

#endif // BENCHRUN_H
