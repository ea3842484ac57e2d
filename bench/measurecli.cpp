// 6. corvane-cli: CPU time and context switches of `read` at 1 s beside the window's polling,
// its memory over a long log at the shortest interval, and the wall time of `find` over many
// ports of which one answers.

#include "benchrun.h"
#include "stamplines.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

int lineCount(const BenchRun &run, const QString &name)
{
    return int(run.output(name).count('\n'));
}

void measureRead(BenchRun &run)
{
    QProcess unit;
    const QString pty = run.startUnit(unit, QStringLiteral("cli-unit")).pty;
    QProcess cli;
    run.start(cli, CORVANE_CLI,
              {QStringLiteral("read"), QStringLiteral("--port"), pty, QStringLiteral("--format"),
               QStringLiteral("csv")},
              QProcessEnvironment::systemEnvironment(), QStringLiteral("cli-read"));
    cli.waitForStarted();
    QThread::msleep(ulong(run.settleMsecs));
    const ProcessUsage from = processUsage(cli.processId());
    QElapsedTimer clock;
    clock.start();
    QThread::msleep(ulong(run.pollMsecs));
    const ProcessUsage to = processUsage(cli.processId());
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    ::kill(pid_t(cli.processId()), SIGTERM);
    const bool ok = BenchRun::finished(cli, 5000) && !pty.isEmpty();
    BenchRun::stopUnit(unit);

    const double cpu = (to.cpuNanos - from.cpuNanos) / seconds / 1e7;
    const double switches = double(to.switches - from.switches) / seconds;
    const QString over = QStringLiteral(" over %1 s").arg(number(seconds, 0));
    const bool haveWindow = run.windowCpuPercent > 0;
    run.rows.append({"6 CPU, read at 1 s", "—", number(cpu, 3) + " %" + over,
                     haveWindow ? number(run.windowCpuPercent, 3) + " % (window)" : "—",
                     ratioText(cpu, run.windowCpuPercent), "≤ ½ the window's",
                     verdict(ok && haveWindow && cpu <= run.windowCpuPercent / 2)});
    run.rows.append({"6 context switches, read at 1 s", "—", number(switches, 2) + " /s", "—", "—",
                     "info", ok ? "info" : "run failed"});
}

void measureMemory(BenchRun &run, int early, int late)
{
    QProcess unit;
    const QString pty = run.startUnit(unit, QStringLiteral("cli-memory-unit")).pty;
    QProcess cli;
    const QString log = QStringLiteral("cli-memory.csv");
    run.start(cli, CORVANE_CLI,
              {QStringLiteral("read"), QStringLiteral("--port"), pty, QStringLiteral("--interval"),
               QStringLiteral("0.1"), QStringLiteral("--format"), QStringLiteral("csv"),
               QStringLiteral("--output"), run.workFile(log)},
              QProcessEnvironment::systemEnvironment(), QStringLiteral("cli-memory"));
    cli.waitForStarted();
    // The header is the first line; a sample takes 0.1 s, and three times that is allowed.
    const auto rssAfter = [&](int samples) {
        QElapsedTimer waited;
        waited.start();
        while (lineCount(run, log) <= samples && waited.elapsed() < samples * 300 + 10000)
            QThread::msleep(200);
        return lineCount(run, log) > samples ? residentKiB(cli.processId()) : 0;
    };
    const qint64 earlyKiB = rssAfter(early);
    const qint64 lateKiB = rssAfter(late);
    ::kill(pid_t(cli.processId()), SIGTERM);
    const bool ok = BenchRun::finished(cli, 5000) && earlyKiB > 0 && lateKiB > 0;
    BenchRun::stopUnit(unit);
    const double growth = earlyKiB > 0 ? 100.0 * double(lateKiB - earlyKiB) / double(earlyKiB) : 0;
    run.rows.append({QStringLiteral("6 RSS, read at 0.1 s, %1 → %2 samples").arg(early).arg(late),
                     "—", QStringLiteral("%1 → %2 KiB").arg(earlyKiB).arg(lateKiB), "—",
                     number(growth, 2) + " %", "< 1 %", verdict(ok && std::abs(growth) < 1)});
}

void measureFind(BenchRun &run)
{
    QProcess unit;
    const QString pty = run.startUnit(unit, QStringLiteral("cli-find-unit")).pty;
    // Silent ports: pseudo-terminals whose other end nobody answers.
    QStringList silent;
    QVector<int> masters;
    for (int i = 0; i < 15; ++i) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            break;
        masters.append(master);
        silent.append(QString::fromLocal8Bit(::ptsname(master)));
    }
    const int timeout = 500;
    for (const int ports : {1, 4, 16}) {
        const QStringList arguments =
            QStringList{QStringLiteral("find"), QStringLiteral("--timeout"),
                        QString::number(timeout), pty}
            + silent.mid(0, ports - 1);
        qint64 slowest = 0;
        bool ok = !pty.isEmpty() && silent.size() >= ports - 1;
        for (int round = 0; round < 5; ++round) {
            QProcess cli;
            QElapsedTimer clock;
            clock.start();
            run.start(cli, CORVANE_CLI, arguments, QProcessEnvironment::systemEnvironment(),
                      QStringLiteral("cli-find"));
            ok = BenchRun::finished(cli, 10000) && ok;
            slowest = std::max(slowest, clock.elapsed());
            ok = ok && run.output(QStringLiteral("cli-find.out")).trimmed() == pty.toLocal8Bit();
        }
        run.rows.append({QStringLiteral("6 find, %1 port(s), 1 answers").arg(ports), "—",
                         QStringLiteral("%1 ms (slowest of 5)").arg(slowest), "—", "—",
                         QStringLiteral("≤ %1 ms").arg(timeout + 200),
                         verdict(ok && slowest <= timeout + 200)});
    }
    for (const int master : qAsConst(masters))
        ::close(master);
    BenchRun::stopUnit(unit);
}

} // namespace

void measureCli(BenchRun &run)
{
    std::fprintf(stderr, "corvane-bench: corvane-cli read for %d s, a long log, find\n",
                 run.pollMsecs / 1000);
    measureRead(run);
    measureMemory(run, run.cliEarlySamples, run.cliLateSamples);
    measureFind(run);
}
