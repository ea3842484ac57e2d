#include "measuringapplication.h"

#include "monotonic.h"

#include <QDir>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QTimer>

namespace {

qint64 cpuNanos(const rusage &usage)
{
    return (qint64(usage.ru_utime.tv_sec) + qint64(usage.ru_stime.tv_sec)) * 1000000000
        + (qint64(usage.ru_utime.tv_usec) + qint64(usage.ru_stime.tv_usec)) * 1000;
}

} // namespace

MeasuringApplication::MeasuringApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
    // A long run paints a few times a second; no reallocation while measuring.
    stamps.reserve(4096);
}

void MeasuringApplication::watch(QLabel *label)
{
    watched.append(label);
}

void MeasuringApplication::measureThenQuit(int settleMsecs, int measureMsecs)
{
    QTimer::singleShot(settleMsecs, [this, measureMsecs] {
        startThreads = threadSwitches();
        getrusage(RUSAGE_SELF, &startUsage);
        usage.from = monotonicNanos();
        QTimer::singleShot(measureMsecs, Qt::PreciseTimer, [this] {
            usage.to = monotonicNanos();
            rusage stopUsage;
            getrusage(RUSAGE_SELF, &stopUsage);
            stopThreads = threadSwitches();
            usage.cpuNanos = cpuNanos(stopUsage) - cpuNanos(startUsage);
            usage.voluntary = stopUsage.ru_nvcsw - startUsage.ru_nvcsw;
            usage.involuntary = stopUsage.ru_nivcsw - startUsage.ru_nivcsw;
            quit();
        });
    });
}

void MeasuringApplication::print(std::FILE *out) const
{
    StampLines::print(out, usage);
    for (auto it = stopThreads.constBegin(); it != stopThreads.constEnd(); ++it)
        StampLines::print(
            out,
            StampLines::Thread{it->name, it->switches - startThreads.value(it.key()).switches});
    for (const StampLines::Paint &stamp : stamps)
        StampLines::print(out, stamp);
}

bool MeasuringApplication::notify(QObject *receiver, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::Paint && type != QEvent::UpdateRequest && type != QEvent::Expose)
        return QApplication::notify(receiver, event);

    if (type == QEvent::Paint) {
        for (QLabel *label : qAsConst(watched)) {
            if (receiver == label)
                pending.append({0, label->objectName(), label->text()});
        }
    }
    ++paintDepth;
    const bool handled = QApplication::notify(receiver, event);
    --paintDepth;
    if (paintDepth == 0 && !pending.isEmpty()) {
        const qint64 now = monotonicNanos();
        for (StampLines::Paint &stamp : pending) {
            stamp.nanos = now;
            stamps.append(stamp);
        }
        pending.clear();
    }
    return handled;
}

QMap<QString, StampLines::Thread> MeasuringApplication::threadSwitches()
{
    QMap<QString, StampLines::Thread> threads;
    const QString tasks = QStringLiteral("/proc/self/task/");
    for (const QString &tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks + tid + QStringLiteral("/status"));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        StampLines::Thread &thread = threads[tid];
        for (const QByteArray &line : status.readAll().split('\n')) {
            const QByteArray value = line.mid(line.indexOf(':') + 1).trimmed();
            if (line.startsWith("Name:"))
                thread.name = QString::fromUtf8(value).replace(QLatin1Char(' '), QLatin1Char('_'));
            else if (line.startsWith("voluntary_ctxt_switches:")
                     || line.startsWith("nonvoluntary_ctxt_switches:"))
                thread.switches += value.toLongLong();
        }
    }
    return threads;
}
