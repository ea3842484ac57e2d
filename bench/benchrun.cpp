#include "benchrun.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <cstdio>

QString BenchRun::binary(const QString &name) const
{
    return QDir::isAbsolutePath(name) ? name : binDir + QLatin1Char('/') + name;
}

QString BenchRun::workFile(const QString &name) const
{
    return workDir + QLatin1Char('/') + name;
}

QByteArray BenchRun::output(const QString &name) const
{
    QFile file(workFile(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void BenchRun::start(QProcess &child, const QString &program, const QStringList &arguments,
                     const QProcessEnvironment &environment, const QString &name,
                     const QString &stderrPath) const
{
    child.setProcessEnvironment(environment);
    child.setStandardOutputFile(workFile(name + QStringLiteral(".out")));
    child.setStandardErrorFile(stderrPath.isEmpty() ? workFile(name + QStringLiteral(".err"))
                                                    : stderrPath);
    child.start(binary(program), arguments);
}

bool BenchRun::finished(QProcess &child, int timeoutMsecs)
{
    return ended(child, timeoutMsecs).isEmpty();
}

QString BenchRun::ended(QProcess &child, int timeoutMsecs)
{
    if (child.state() == QProcess::NotRunning && child.error() == QProcess::FailedToStart)
        return QStringLiteral("did not start: ") + child.errorString();
    // An ended program is only noticed by a wait, which then returns false.
    if (child.state() != QProcess::NotRunning && !child.waitForFinished(timeoutMsecs)) {
        std::fprintf(stderr, "corvane-bench: %s: %s\n", qPrintable(child.program()),
                     qPrintable(child.errorString()));
        child.kill();
        child.waitForFinished();
        return QStringLiteral("did not end within %1 s").arg(timeoutMsecs / 1000);
    }
    if (child.exitStatus() != QProcess::NormalExit)
        return QStringLiteral("ended by a signal");
    return child.exitCode() == 0 ? QString()
                                 : QStringLiteral("exited with %1").arg(child.exitCode());
}

StampLines::Unit BenchRun::startUnit(QProcess &unit, const QString &name,
                                     const QStringList &arguments) const
{
    start(unit, "bench_unit", arguments, QProcessEnvironment::systemEnvironment(), name);
    for (int waited = 0; waited < 5000; waited += 10) {
        QThread::msleep(10);
        const auto ptys = StampLines::read<StampLines::Unit>(output(name + ".out"));
        if (!ptys.isEmpty())
            return ptys.first();
    }
    return {};
}

bool BenchRun::stopUnit(QProcess &unit)
{
    unit.closeWriteChannel();
    return finished(unit, 10000);
}

void BenchRun::printTable() const
{
    QVector<QStringList> lines = {
        {"figure", "platform", "measured", "floor / reference", "ratio", "target", "result"}};
    lines += rows;
    QVector<int> widths(lines.first().size(), 0);
    for (const QStringList &line : qAsConst(lines)) {
        for (int i = 0; i < line.size(); ++i)
            widths[i] = qMax(widths[i], line.at(i).size());
    }
    QStringList rule;
    for (const int width : qAsConst(widths))
        rule.append(QString(width, QLatin1Char('-')));
    lines.insert(1, rule);
    for (const QStringList &line : qAsConst(lines)) {
        QString text = QStringLiteral("|");
        for (int i = 0; i < line.size(); ++i)
            text += QLatin1Char(' ') + line.at(i).leftJustified(widths[i]) + QStringLiteral(" |");
        std::printf("%s\n", text.toUtf8().constData());
    }
}

ProcessUsage processUsage(qint64 pid)
{
    ProcessUsage usage;
    const QString tasks = QStringLiteral("/proc/%1/task/").arg(pid);
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile sched(tasks + task + QStringLiteral("/sched"));
        if (!sched.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : sched.readAll().split('\n')) {
            const QByteArray value = line.mid(line.indexOf(':') + 1).trimmed();
            if (line.startsWith("se.sum_exec_runtime"))
                usage.cpuNanos += value.toDouble() * 1e6;
            else if (line.startsWith("nr_switches"))
                usage.switches += value.toLongLong();
        }
    }
    return usage;
}

qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return 0;
}

double perSecond(const StampLines::Usage &usage, qint64 count)
{
    return usage.to > usage.from ? double(count) * 1e9 / double(usage.to - usage.from) : 0;
}

double cpuPercent(const StampLines::Usage &usage)
{
    return perSecond(usage, usage.cpuNanos) / 1e7;
}

QString number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

QString ratioText(double measured, double floor)
{
    return floor > 0 ? number(measured / floor, 2) + QStringLiteral("×") : QStringLiteral("—");
}

QString verdict(bool met)
{
    return met ? QStringLiteral("pass") : QStringLiteral("MISS");
}
