// 1. Start-up: the program and its floor each from just before its spawn to the return of
// wait4(), after the first paint of its window; peak RSS from wait4()'s rusage.

#include "benchrun.h"
#include "monotonic.h"
#include "stats.h"

#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

namespace {

// Everything but the spawn is prepared before the clock starts.
bool startOnce(const QString &program, const QProcessEnvironment &environment, double *wallMsecs,
               double *peakMiB)
{
    QByteArrayList storage = {program.toLocal8Bit()};
    for (const QString &variable : environment.toStringList())
        storage.append(variable.toLocal8Bit());
    std::vector<char *> pointers;
    for (QByteArray &text : storage)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    char *argv[] = {pointers.front(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const int fd : {0, 1, 2})
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd ? O_WRONLY : O_RDONLY, 0);
    pid_t pid = -1;
    int status = 0;
    rusage usage = {};
    const qint64 start = monotonicNanos();
    const bool ok = posix_spawn(&pid, argv[0], &actions, nullptr, argv, pointers.data() + 1) == 0
        && ::wait4(pid, &status, 0, &usage) == pid;
    const qint64 end = monotonicNanos();
    posix_spawn_file_actions_destroy(&actions);
    *wallMsecs = double(end - start) / 1e6;
    *peakMiB = double(usage.ru_maxrss) / 1024.0;
    return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

StartupPair startupPair(const BenchRun &run, const Platform &platform, const QString (&programs)[2])
{
    QVector<double> wall[2];
    QVector<double> rss[2];
    StartupPair pair;
    for (int i = -run.warmups; i < run.runs; ++i) {
        // Interleaved, and the order swapped every run, so that neither gains from the other.
        for (int k = 0; k < 2; ++k) {
            const int which = (i & 1) ? 1 - k : k;
            double wallMsecs = 0;
            double peakMiB = 0;
            const bool ok =
                startOnce(run.binary(programs[which]), platform.environment, &wallMsecs, &peakMiB);
            pair.failures += ok ? 0 : 1;
            if (i >= 0 && ok) {
                wall[which].append(wallMsecs);
                rss[which].append(peakMiB);
            }
        }
    }
    for (int k = 0; k < 2; ++k) {
        pair.wallMsecs[k] = median(wall[k]);
        pair.peakMiB[k] = median(rss[k]);
    }
    return pair;
}

void measureStartup(BenchRun &run, const Platform &platform)
{
    std::fprintf(stderr, "corvane-bench: start-up, %s\n", qPrintable(platform.name));
    const StartupPair pair =
        startupPair(run, platform, {"bench_startup_corvane", "bench_startup_floor"});
    const QString failed =
        pair.failures ? QStringLiteral(" (%1 runs failed)").arg(pair.failures) : QString();
    const struct
    {
        const char *figure;
        const char *unit;
        const double *values;
    } figures[] = {{"1 start-up to first paint, wall", " ms", pair.wallMsecs},
                   {"1 start-up to first paint, peak RSS", " MiB", pair.peakMiB}};
    for (const auto &figure : figures) {
        const double program = figure.values[0];
        const double floor = figure.values[1];
        run.rows.append({figure.figure, platform.name, number(program, 1) + figure.unit + failed,
                         number(floor, 1) + figure.unit, ratioText(program, floor), "≤ 1.10× floor",
                         verdict(!pair.failures && program <= 1.10 * floor)});
    }
}
