// 5. Cutting: the link fed bursts of answers without a port, in the modes of bench_cutting,
// beside the bare cutter.

#include "benchrun.h"
#include "stamplines.h"

#include <QFile>
#include <QHash>

#include <cstdio>

namespace {

// Median nanoseconds per byte by burst size in whole KiB (0, 63 and 1023), and by mode.
QHash<QString, QHash<int, double>> runCutting(const BenchRun &run, const QString &name,
                                              const QStringList &modes,
                                              const QString &stderrPath = {},
                                              const QString &timeZone = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!timeZone.isEmpty())
        environment.insert(QStringLiteral("TZ"), timeZone);
    QProcess child;
    run.start(child, "bench_cutting", modes, environment, name, stderrPath);
    QHash<QString, QHash<int, double>> result;
    if (BenchRun::finished(child, 600000)) {
        for (const auto &cut : StampLines::read<StampLines::Cut>(run.output(name + ".out"))) {
            if (cut.nanosPerByte > 0)
                result[cut.mode][int(cut.burstBytes / 1024)] = cut.nanosPerByte;
        }
    }
    return result;
}

double megabytesPerSecond(double nanosPerByte)
{
    return nanosPerByte > 0 ? 1000.0 / nanosPerByte : 0;
}

} // namespace

void measureCutting(BenchRun &run)
{
    std::fprintf(stderr, "corvane-bench: cutting\n");
    const auto cut = runCutting(run, "cutting", {"off", "null", "bare"});
    const auto link = cut.value("off");
    const auto bare = cut.value("bare");
    // The trace's clock reading asks the C library for the local time zone; with TZ unset
    // glibc looks at /etc/localtime again on every call, with TZ set it does not.
    const auto zoned = runCutting(run, "cutting-tz", {"null"}, {}, ":/etc/localtime");
    const auto devNull = runCutting(run, "cutting-devnull", {"stderr"}, "/dev/null");
    const auto inFile = runCutting(run, "cutting-file", {"stderr"}, run.workFile("trace.log"));
    QFile::remove(run.workFile("trace.log"));

    // For throughput the ratio is the floor's MB/s over the measured MB/s.
    const auto add = [&](const QString &figure, double nanosPerByte, double floorNanosPerByte,
                         const QString &floorNote, const QString &target, const QString &result) {
        const double rate = megabytesPerSecond(nanosPerByte);
        const double floorRate = megabytesPerSecond(floorNanosPerByte);
        run.rows.append({figure, "— (no window)", number(rate, 1) + " MB/s",
                         number(floorRate, 1) + " MB/s" + floorNote, ratioText(floorRate, rate),
                         target, result});
    };
    add("5 cutting 1 MiB bursts, trace off", link.value(1023), bare.value(1023), " (bare cutter)",
        "≥ 100 MB/s", verdict(megabytesPerSecond(link.value(1023)) >= 100));
    const double growth = link.value(0) > 0 ? link.value(1023) / link.value(0) : 0;
    const double bareGrowth = bare.value(0) > 0 ? bare.value(1023) / bare.value(0) : 0;
    run.rows.append({"5 cost per byte, 1 MiB ÷ 1 KiB bursts, trace off", "— (no window)",
                     number(growth, 2) + "×", number(bareGrowth, 2) + "×",
                     ratioText(growth, bareGrowth), "≤ 1.5×",
                     verdict(growth > 0 && growth <= 1.5)});
    add("5 cutting 64 KiB bursts, trace off", link.value(63), bare.value(63), "", "—", "info");
    add("5 cutting 1 KiB bursts, trace off", link.value(0), bare.value(0), "", "—", "info");
    add("5 cutting 1 MiB, trace on, dropping handler", cut.value("null").value(1023),
        bare.value(1023), "", "—", "info");
    add("5 cutting 1 MiB, trace on, dropping handler, TZ set", zoned.value("null").value(1023),
        bare.value(1023), "", "—", "info");
    add("5 cutting 1 MiB, trace on, stderr on /dev/null", devNull.value("stderr").value(1023),
        bare.value(1023), "", "—", "info");
    add("5 cutting 1 MiB, trace on, stderr in a file", inFile.value("stderr").value(1023),
        bare.value(1023), "", "—", "info");
}
