#include "usagemeter.h"

#include "monotonic.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTimer>

namespace {

qint64 cpuNanos(const rusage &usage)
{
    return (qint64(usage.ru_utime.tv_sec) + qint64(usage.ru_stime.tv_sec)) * 1000000000
        + (qint64(usage.ru_utime.tv_usec) + qint64(usage.ru_stime.tv_usec)) * 1000;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

void UsageMeter::measureThenQuit(int settleMsecs, int measureMsecs)
{
    QTimer::singleShot(settleMsecs, [this, measureMsecs] {
        start();
        QTimer::singleShot(measureMsecs, Qt::PreciseTimer, [this] {
            stop();
            QCoreApplication::quit();
        });
    });
}

void UsageMeter::start()
{
    startThreads = threadSwitches();
    getrusage(RUSAGE_SELF, &startUsage);
    startNanos = monotonicNanos();
}

void UsageMeter::stop()
{
    stopNanos = monotonicNanos();
    getrusage(RUSAGE_SELF, &stopUsage);
    stopThreads = threadSwitches();
}

QMap<QString, StampLines::Thread> UsageMeter::threadSwitches()
{
    QMap<QString, StampLines::Thread> threads;
    const QStringList tids =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &tid : tids) {
        const QString dir = QStringLiteral("/proc/self/task/") + tid;
        StampLines::Thread &thread = threads[tid];
        thread.name = QString::fromUtf8(readAll(dir + QStringLiteral("/comm")).trimmed())
                          .replace(QLatin1Char(' '), QLatin1Char('_'));
        for (const QByteArray &line : readAll(dir + QStringLiteral("/status")).split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:")
                || line.startsWith("nonvoluntary_ctxt_switches:"))
                thread.switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
    }
    return threads;
}

void UsageMeter::print(std::FILE *out) const
{
    StampLines::print(out,
                      StampLines::Usage{startNanos, stopNanos,
                                        cpuNanos(stopUsage) - cpuNanos(startUsage),
                                        stopUsage.ru_nvcsw - startUsage.ru_nvcsw,
                                        stopUsage.ru_nivcsw - startUsage.ru_nivcsw});
    for (auto it = stopThreads.constBegin(); it != stopThreads.constEnd(); ++it)
        StampLines::print(
            out,
            StampLines::Thread{it->name, it->switches - startThreads.value(it.key()).switches});
}
