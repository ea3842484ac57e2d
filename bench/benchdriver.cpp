// corvane-bench: runs every benchmark side by side with its floor and prints one table.
//   corvane-bench [--quick] [--runs N] [--poll-seconds N] [--keep]
// --keep leaves the children's output (every stamp and request) in the work folder it names.
// The Xvfb rows need a display (DISPLAY set, as under xvfb-run); offscreen rows need none.

#include "childprocess.h"
#include "monotonic.h"
#include "stats.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

struct Options
{
    int runs = 30;
    int warmups = 3;
    int pollMsecs = 102000;
    int shmlessMsecs = 30000;
    int settleMsecs = 2000;
};

struct Row
{
    QString figure;
    QString platform;
    QString measured;
    QString floor;
    QString ratio;
    QString target;
    QString result;
};

struct Platform
{
    QString name;
    QByteArray qpa;
};

struct Written
{
    qint64 nanos;
    QByteArray bytes;
};

struct PaintStamp
{
    qint64 nanos;
    QString label;
    int tenths;
};

struct Usage
{
    qint64 from = 0;
    qint64 to = 0;
    qint64 cpuNanos = 0;
    long switches = 0;
    long involuntary = 0;
    // "name rate" per thread, for the notes under the table.
    QStringList threads;
    bool valid = false;
};

QString binDir;
QString workDir;
QVector<Row> rows;
QStringList notes;

QString number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

double perSecond(const Usage &usage, double count)
{
    return usage.to > usage.from ? count * 1e9 / double(usage.to - usage.from) : 0;
}

double cpuPercent(const Usage &usage)
{
    return perSecond(usage, double(usage.cpuNanos)) / 1e9 * 100.0;
}

double switchesPerSecond(const Usage &usage)
{
    return perSecond(usage, double(usage.switches));
}

// Involuntary switches are preemptions, which come from the machine's load more than from the
// program; they are told apart.
QString switchesText(const Usage &usage)
{
    return number(switchesPerSecond(usage), 2)
        + QStringLiteral(" /s (%1 invol.)")
              .arg(number(perSecond(usage, double(usage.involuntary)), 2));
}

QString ratioText(double measured, double floor)
{
    return floor > 0 ? number(measured / floor, 2) + QStringLiteral("×") : QStringLiteral("—");
}

QString verdict(bool met)
{
    return met ? QStringLiteral("pass") : QStringLiteral("MISS");
}

QByteArray binary(const char *name)
{
    return (binDir + QLatin1Char('/') + QLatin1String(name)).toLocal8Bit();
}

QByteArray workFile(const QString &name)
{
    return (workDir + QLatin1Char('/') + name).toLocal8Bit();
}

QStringList readLines(const QByteArray &path)
{
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// ---- 1. Start-up ------------------------------------------------------------------------------

struct StartupRun
{
    double wallMsecs;
    double peakMiB;
    bool ok;
};

StartupRun startOnce(const char *program, const Platform &platform)
{
    ChildProcess child({binary(program)}, {"QT_QPA_PLATFORM=" + platform.qpa}, "/dev/null",
                       "/dev/null");
    rusage usage = {};
    const qint64 start = monotonicNanos();
    const bool started = child.start();
    const bool ok = started && child.wait(&usage);
    const qint64 end = monotonicNanos();
    return {double(end - start) / 1e6, double(usage.ru_maxrss) / 1024.0, ok};
}

void measureStartup(const Platform &platform, const Options &options)
{
    QVector<double> wall[2];
    QVector<double> rss[2];
    int failures = 0;
    const char *programs[2] = {"bench_startup_corvane", "bench_startup_floor"};
    for (int run = -options.warmups; run < options.runs; ++run) {
        // Interleaved, and the order swapped every run, so that neither gains from the other.
        for (int k = 0; k < 2; ++k) {
            const int which = (run & 1) ? 1 - k : k;
            const StartupRun result = startOnce(programs[which], platform);
            if (!result.ok)
                ++failures;
            if (run >= 0 && result.ok) {
                wall[which].append(result.wallMsecs);
                rss[which].append(result.peakMiB);
            }
        }
    }
    const double wallProgram = median(wall[0]);
    const double wallFloor = median(wall[1]);
    const double rssProgram = median(rss[0]);
    const double rssFloor = median(rss[1]);
    const QString failed = failures ? QStringLiteral(" (%1 runs failed)").arg(failures) : QString();
    rows.append({QStringLiteral("1 start-up to first paint, wall"), platform.name,
                 number(wallProgram, 1) + QStringLiteral(" ms") + failed,
                 number(wallFloor, 1) + QStringLiteral(" ms"), ratioText(wallProgram, wallFloor),
                 QStringLiteral("≤ 1.10× floor"),
                 verdict(!failures && wallProgram <= 1.10 * wallFloor)});
    rows.append({QStringLiteral("1 start-up to first paint, peak RSS"), platform.name,
                 number(rssProgram, 1) + QStringLiteral(" MiB"),
                 number(rssFloor, 1) + QStringLiteral(" MiB"), ratioText(rssProgram, rssFloor),
                 QStringLiteral("≤ 1.10× floor"),
                 verdict(!failures && rssProgram <= 1.10 * rssFloor)});
}

// ---- 2.-4. Polling ----------------------------------------------------------------------------

Usage parseUsage(const QStringList &lines)
{
    Usage usage;
    int found = 0;
    for (const QString &line : lines) {
        const QStringList f = line.split(QLatin1Char(' '));
        if (f.at(0) == QLatin1String("window") && f.size() == 3) {
            usage.from = f.at(1).toLongLong();
            usage.to = f.at(2).toLongLong();
            ++found;
        } else if (f.at(0) == QLatin1String("cpu_ns") && f.size() == 2) {
            usage.cpuNanos = f.at(1).toLongLong();
            ++found;
        } else if (f.at(0) == QLatin1String("switches") && f.size() == 3) {
            usage.switches = f.at(1).toLong() + f.at(2).toLong();
            usage.involuntary = f.at(2).toLong();
            ++found;
        }
    }
    usage.valid = found == 3 && usage.to > usage.from;
    for (const QString &line : lines) {
        const QStringList f = line.split(QLatin1Char(' '));
        if (f.at(0) == QLatin1String("thread") && f.size() == 4 && usage.valid)
            usage.threads.append(f.at(2) + QLatin1Char(' ')
                                 + number(perSecond(usage, f.at(3).toDouble()), 2)
                                 + QStringLiteral("/s"));
    }
    return usage;
}

// A label's text is a reading with two decimals followed by its unit.
int tenthsOf(const QString &text)
{
    int end = 0;
    while (end < text.size()
           && (text.at(end).isDigit() || text.at(end) == QLatin1Char('.')
               || text.at(end) == QLatin1Char('-')))
        ++end;
    return int(std::lround(text.left(end).toDouble() * 10));
}

QVector<PaintStamp> parsePaints(const QStringList &lines)
{
    QVector<PaintStamp> paints;
    for (const QString &line : lines) {
        const QStringList f = line.split(QLatin1Char(' '));
        if (f.at(0) == QLatin1String("paint") && f.size() == 4)
            paints.append({f.at(1).toLongLong(), f.at(2), tenthsOf(f.at(3))});
    }
    return paints;
}

QVector<Written> parseWritten(const QStringList &lines, const QString &kind)
{
    QVector<Written> all;
    for (const QString &line : lines) {
        const QStringList f = line.split(QLatin1Char(' '));
        if (f.at(0) == kind && f.size() == 3)
            all.append({f.at(1).toLongLong(), QByteArray::fromHex(f.at(2).toLatin1())});
    }
    return all;
}

int wordAt(const QByteArray &bytes, int at)
{
    return qint16((quint8(bytes.at(at)) << 8) | quint8(bytes.at(at + 1)));
}

// From the moment the last byte of each answer was written to the end of the paint that shows
// its value: for 0x50 the pressure label (its last field), for 0x60 the oil label.
QVector<double> latencies(const QVector<Written> &answers, const QVector<PaintStamp> &paints,
                          const Usage &window, bool program, int *unmatched)
{
    QVector<double> result;
    *unmatched = 0;
    // An answer needs its paint inside the window too.
    const qint64 lastAnswer = window.to - 200 * 1000 * 1000;
    for (const Written &answer : answers) {
        if (answer.nanos < window.from || answer.nanos > lastAnswer || answer.bytes.size() < 4)
            continue;
        const quint8 command = quint8(answer.bytes.at(1));
        QString label;
        int tenths;
        if (!program) {
            label = QStringLiteral("label");
            tenths = wordAt(answer.bytes, 9);
        } else if (command == 0x50 && answer.bytes.size() == 10) {
            label = QStringLiteral("label_AtmMeasure");
            tenths = wordAt(answer.bytes, 7);
        } else if (command == 0x60 && answer.bytes.size() == 12) {
            label = QStringLiteral("label_OilMeasure");
            tenths = wordAt(answer.bytes, 9);
        } else {
            continue;
        }
        bool found = false;
        for (const PaintStamp &paint : paints) {
            if (paint.nanos >= answer.nanos && paint.label == label && paint.tenths == tenths) {
                result.append(double(paint.nanos - answer.nanos) / 1e6);
                found = true;
                break;
            }
        }
        if (!found)
            ++*unmatched;
    }
    return result;
}

// Runs the unit, the window polling it and, with floors, the two floors beside it; every
// child's output goes to "<tag>-<child>.out" in the work folder.
bool runPollingSession(const QString &tag, const QList<QByteArray> &environment, int settleMsecs,
                       int measureMsecs, bool withFloors)
{
    const QByteArray settle = QByteArray::number(settleMsecs);
    const QByteArray floorSettle = QByteArray::number(settleMsecs + 1000);
    const QByteArray measure = QByteArray::number(measureMsecs);
    auto out = [&tag](const char *child) {
        return workFile(tag + QLatin1Char('-') + QLatin1String(child) + QStringLiteral(".out"));
    };
    auto err = [&tag](const char *child) {
        return workFile(tag + QLatin1Char('-') + QLatin1String(child) + QStringLiteral(".err"));
    };

    ChildProcess unit({binary("bench_unit")}, {}, out("unit"), err("unit"), true);
    bool ok = unit.start();
    QStringList ports;
    for (int waited = 0; ok && ports.size() < 2 && waited < 5000; waited += 10) {
        QThread::msleep(10);
        ports = readLines(out("unit"));
    }
    ok = ok && ports.size() >= 2;
    if (ok) {
        ChildProcess window(
            {binary("bench_poll_window"), ports.at(0).toLocal8Bit(), settle, measure}, environment,
            out("window"), err("window"));
        ChildProcess timerFloor({binary("bench_floor_timer"), floorSettle, measure}, environment,
                                out("floortimer"), err("floortimer"));
        ChildProcess ptyFloor(
            {binary("bench_floor_pty"), ports.at(1).toLocal8Bit(), floorSettle, measure},
            environment, out("floorpty"), err("floorpty"));
        ok = window.start() && (!withFloors || (timerFloor.start() && ptyFloor.start()));
        const int limit = measureMsecs + settleMsecs + 30000;
        const bool windowOk = window.waitFor(limit);
        const bool timerOk = !withFloors || timerFloor.waitFor(limit);
        const bool ptyOk = !withFloors || ptyFloor.waitFor(limit);
        ok = ok && windowOk && timerOk && ptyOk;
    }
    unit.closeStdin();
    ok = unit.waitFor(10000) && ok;
    if (!ok)
        std::fprintf(stderr, "corvane-bench: the polling run %s failed; see %s\n", qPrintable(tag),
                     qPrintable(workDir));
    return ok;
}

void measurePolling(const Platform &platform, const Options &options)
{
    const QString tag = platform.qpa;
    if (!runPollingSession(tag, {"QT_QPA_PLATFORM=" + platform.qpa}, options.settleMsecs,
                           options.pollMsecs, true)) {
        rows.append({QStringLiteral("2-4 polling"),
                     platform.name,
                     QStringLiteral("run failed"),
                     {},
                     {},
                     {},
                     verdict(false)});
        return;
    }

    const QStringList unitLines = readLines(workFile(tag + QStringLiteral("-unit.out")));
    const QStringList windowLines = readLines(workFile(tag + QStringLiteral("-window.out")));
    const QStringList ptyLines = readLines(workFile(tag + QStringLiteral("-floorpty.out")));
    const Usage program = parseUsage(windowLines);
    const Usage timerFloor =
        parseUsage(readLines(workFile(tag + QStringLiteral("-floortimer.out"))));
    const Usage ptyFloor = parseUsage(ptyLines);
    const double seconds = double(program.to - program.from) / 1e9;

    // 2. CPU time and context switches.
    const QString over = QStringLiteral(" over %1 s").arg(number(seconds, 0));
    rows.append({QStringLiteral("2 CPU while polling"), platform.name,
                 number(cpuPercent(program), 3) + QStringLiteral(" %") + over,
                 number(cpuPercent(timerFloor), 3) + QStringLiteral(" %"),
                 ratioText(cpuPercent(program), cpuPercent(timerFloor)),
                 QStringLiteral("≤ 0.5 % of a core"),
                 verdict(program.valid && cpuPercent(program) <= 0.5)});
    rows.append({QStringLiteral("2 context switches while polling"), platform.name,
                 switchesText(program), switchesText(timerFloor),
                 ratioText(switchesPerSecond(program), switchesPerSecond(timerFloor)),
                 QStringLiteral("≤ 10 /s"),
                 verdict(program.valid && switchesPerSecond(program) <= 10)});

    notes.append(QStringLiteral("context switches by thread, %1: program %2; floor %3")
                     .arg(platform.name, program.threads.join(QStringLiteral(", ")),
                          timerFloor.threads.join(QStringLiteral(", "))));

    if (!unitLines.contains(QStringLiteral("scheduling fifo")))
        notes.append(QStringLiteral("%1: the unit ran without real-time scheduling; its stamps "
                                    "after write() may lag and answers may go unmatched")
                         .arg(platform.name));

    // 3. Answer to label.
    int programMissing = 0;
    int floorMissing = 0;
    const QVector<double> programLatency =
        latencies(parseWritten(unitLines, QStringLiteral("answer")), parsePaints(windowLines),
                  program, true, &programMissing);
    const QVector<double> floorLatency =
        latencies(parseWritten(unitLines, QStringLiteral("stimulus")), parsePaints(ptyLines),
                  ptyFloor, false, &floorMissing);
    const QString missing =
        programMissing ? QStringLiteral(", %1 never shown").arg(programMissing) : QString();
    const double medianLatency = median(programLatency);
    const double p99Latency = percentile(programLatency, 99);
    const bool enough = programLatency.size() >= 200 && !programMissing;
    rows.append(
        {QStringLiteral("3 answer → label, median"), platform.name,
         number(medianLatency, 3)
             + QStringLiteral(" ms (n=%1%2)").arg(programLatency.size()).arg(missing),
         number(median(floorLatency), 3) + QStringLiteral(" ms (n=%1)").arg(floorLatency.size()),
         ratioText(medianLatency, median(floorLatency)), QStringLiteral("≤ 1 ms"),
         verdict(enough && medianLatency <= 1.0)});
    rows.append(
        {QStringLiteral("3 answer → label, p99"), platform.name,
         number(p99Latency, 3)
             + QStringLiteral(" ms (max %1)").arg(number(percentile(programLatency, 100), 3)),
         number(percentile(floorLatency, 99), 3)
             + QStringLiteral(" ms (max %1)").arg(number(percentile(floorLatency, 100), 3)),
         ratioText(p99Latency, percentile(floorLatency, 99)), QStringLiteral("≤ 3 ms"),
         verdict(enough && p99Latency <= 3.0)});

    // 4. Rhythm, from the times the unit received the requests.
    QVector<QPair<qint64, quint8>> frames;
    for (const QString &line : unitLines) {
        const QStringList f = line.split(QLatin1Char(' '));
        if (f.at(0) == QLatin1String("frame") && f.size() == 3) {
            const QByteArray bytes = QByteArray::fromHex(f.at(2).toLatin1());
            frames.append({f.at(1).toLongLong(), quint8(bytes.size() > 1 ? bytes.at(1) : 0)});
        }
    }
    QVector<double> periods;
    QVector<double> gaps;
    qint64 previous = -1;
    for (int i = 0; i < frames.size(); ++i) {
        const qint64 msecs = frames.at(i).first;
        if (frames.at(i).second != 0x50 || msecs * 1000000 < program.from
            || msecs * 1000000 > program.to)
            continue;
        if (previous >= 0)
            periods.append(double(msecs - previous));
        previous = msecs;
        for (int j = i + 1; j < frames.size(); ++j) {
            if (frames.at(j).second == 0x60) {
                gaps.append(double(frames.at(j).first - msecs));
                break;
            }
        }
    }
    const double period = median(periods);
    const double gap = median(gaps);
    rows.append(
        {QStringLiteral("4 0x50 period, median"), platform.name,
         number(period, 1)
             + QStringLiteral(" ms (n=%1, %2–%3)")
                   .arg(periods.size())
                   .arg(number(percentile(periods, 0), 0), number(percentile(periods, 100), 0)),
         QStringLiteral("1000 ms set"), ratioText(period, 1000), QStringLiteral("1000 ms ± 1 %"),
         verdict(periods.size() >= 60 && std::fabs(period - 1000) <= 10)});
    rows.append({QStringLiteral("4 0x50 → 0x60 gap, median"), platform.name,
                 number(gap, 1)
                     + QStringLiteral(" ms (n=%1, %2–%3)")
                           .arg(gaps.size())
                           .arg(number(percentile(gaps, 0), 0), number(percentile(gaps, 100), 0)),
                 QStringLiteral("50 ms set"), ratioText(gap, 50), QStringLiteral("50 ± 10 ms"),
                 verdict(gaps.size() >= 60 && std::fabs(gap - 50) <= 10)});
}

// The same polling under X without MIT-SHM, whose per-paint round trip to the server costs the
// switches beyond the offscreen figure.
void measureWithoutShm(const Options &options)
{
    const QString tag = QStringLiteral("xcb-noshm");
    if (!runPollingSession(tag, {"QT_QPA_PLATFORM=xcb", "QT_XCB_NO_MITSHM=1"}, options.settleMsecs,
                           options.shmlessMsecs, false)) {
        rows.append({QStringLiteral("2 polling without MIT-SHM"),
                     QStringLiteral("Xvfb"),
                     QStringLiteral("run failed"),
                     {},
                     {},
                     {},
                     verdict(false)});
        return;
    }
    const Usage program = parseUsage(readLines(workFile(tag + QStringLiteral("-window.out"))));
    const QString platform = QStringLiteral("Xvfb, QT_XCB_NO_MITSHM=1");
    const QString over =
        QStringLiteral(" over %1 s").arg(number(double(program.to - program.from) / 1e9, 0));
    rows.append({QStringLiteral("2 CPU while polling"), platform,
                 number(cpuPercent(program), 3) + QStringLiteral(" %") + over, QStringLiteral("—"),
                 QStringLiteral("—"), QStringLiteral("≤ 0.5 % of a core"), QStringLiteral("info")});
    rows.append({QStringLiteral("2 context switches while polling"), platform,
                 switchesText(program), QStringLiteral("—"), QStringLiteral("—"),
                 QStringLiteral("≤ 10 /s"), QStringLiteral("info")});
    notes.append(QStringLiteral("context switches by thread, %1: program %2")
                     .arg(platform, program.threads.join(QStringLiteral(", "))));
}

// ---- 5. Cutting -------------------------------------------------------------------------------

// Median nanoseconds per byte, by mode and burst size.
QHash<QString, QHash<int, double>> runCutting(const char *program, const QList<QByteArray> &modes,
                                              const QString &tag,
                                              const QList<QByteArray> &environment = {})
{
    QList<QByteArray> command = {binary(program)};
    command.append(modes);
    ChildProcess child(command, environment, workFile(tag + QStringLiteral(".out")),
                       workFile(tag + QStringLiteral(".err")));
    QHash<QString, QHash<int, double>> result;
    if (!child.start() || !child.waitFor(600000))
        return result;
    for (const QString &line : readLines(workFile(tag + QStringLiteral(".out")))) {
        const QStringList f = line.split(QLatin1Char(' '));
        if (f.at(0) == QLatin1String("cut") && f.size() == 6 && f.at(4).toDouble() > 0)
            result[f.at(1)][f.at(2).toInt() / 1024] = f.at(4).toDouble();
    }
    return result;
}

double megabytesPerSecond(double nanosPerByte)
{
    return nanosPerByte > 0 ? 1000.0 / nanosPerByte : 0;
}

void measureCutting()
{
    const QByteArray traceFile = workFile(QStringLiteral("trace.log"));
    const auto cut =
        runCutting("bench_cutting", {"off", "null", "bare", "devnull", "file:" + traceFile},
                   QStringLiteral("cutting"));
    QFile::remove(QString::fromLocal8Bit(traceFile));
    // The trace's clock reading asks the C library for the local time zone; with TZ unset
    // glibc looks at /etc/localtime again on every call, with TZ set it does not.
    const auto zoned =
        runCutting("bench_cutting", {"null"}, QStringLiteral("cutting-tz"), {"TZ=:/etc/localtime"});
    const QString none = QStringLiteral("— (no window)");
    const auto link = cut.value(QStringLiteral("off"));
    const auto bare = cut.value(QStringLiteral("bare"));
    const double big = megabytesPerSecond(link.value(1023));
    const double bigBare = megabytesPerSecond(bare.value(1023));
    rows.append({QStringLiteral("5 cutting 1 MiB bursts, trace off"), none,
                 number(big, 1) + QStringLiteral(" MB/s"),
                 number(bigBare, 1) + QStringLiteral(" MB/s (bare cutter)"),
                 ratioText(bigBare, big), QStringLiteral("≥ 100 MB/s"), verdict(big >= 100)});
    const double growth = link.value(0) > 0 ? link.value(1023) / link.value(0) : 0;
    const double bareGrowth = bare.value(0) > 0 ? bare.value(1023) / bare.value(0) : 0;
    rows.append({QStringLiteral("5 cost per byte, 1 MiB ÷ 1 KiB bursts, trace off"), none,
                 number(growth, 2) + QStringLiteral("×"),
                 number(bareGrowth, 2) + QStringLiteral("×"), ratioText(growth, bareGrowth),
                 QStringLiteral("≤ 1.5×"), verdict(growth > 0 && growth <= 1.5)});
    for (const int kib : {63, 0}) {
        rows.append({QStringLiteral("5 cutting %1 bursts, trace off")
                         .arg(kib ? QStringLiteral("64 KiB") : QStringLiteral("1 KiB")),
                     none, number(megabytesPerSecond(link.value(kib)), 1) + QStringLiteral(" MB/s"),
                     number(megabytesPerSecond(bare.value(kib)), 1) + QStringLiteral(" MB/s"),
                     ratioText(bare.value(kib) > 0 ? link.value(kib) : 0, bare.value(kib)),
                     QStringLiteral("—"), QStringLiteral("info")});
    }
    const struct
    {
        QString what;
        double nanosPerByte;
    } others[] = {
        {QStringLiteral("5 cutting 1 MiB, trace on, dropping handler"),
         cut.value(QStringLiteral("null")).value(1023)},
        {QStringLiteral("5 cutting 1 MiB, trace on, dropping handler, TZ set"),
         zoned.value(QStringLiteral("null")).value(1023)},
        {QStringLiteral("5 cutting 1 MiB, trace on, stderr on /dev/null"),
         cut.value(QStringLiteral("devnull")).value(1023)},
        {QStringLiteral("5 cutting 1 MiB, trace on, stderr in a file"),
         cut.value(QStringLiteral("file:") + QString::fromLocal8Bit(traceFile)).value(1023)},
    };
    for (const auto &other : others) {
        const double rate = megabytesPerSecond(other.nanosPerByte);
        rows.append({other.what, none, number(rate, 1) + QStringLiteral(" MB/s"),
                     number(bigBare, 1) + QStringLiteral(" MB/s"),
                     ratioText(rate > 0 ? bigBare : 0, rate), QStringLiteral("—"),
                     QStringLiteral("info")});
    }
}

// ---- Report -----------------------------------------------------------------------------------

QString cpuModel()
{
    for (const QString &line : readLines("/proc/cpuinfo")) {
        if (line.startsWith(QLatin1String("model name")))
            return line.mid(line.indexOf(QLatin1Char(':')) + 1).trimmed();
    }
    return QStringLiteral("unknown");
}

void printTable()
{
    const QStringList header = {QStringLiteral("figure"),   QStringLiteral("platform"),
                                QStringLiteral("measured"), QStringLiteral("floor / reference"),
                                QStringLiteral("ratio"),    QStringLiteral("target"),
                                QStringLiteral("result")};
    QVector<QStringList> lines = {header};
    for (const Row &row : qAsConst(rows))
        lines.append(
            {row.figure, row.platform, row.measured, row.floor, row.ratio, row.target, row.result});
    QVector<int> widths(header.size(), 0);
    for (const QStringList &line : lines) {
        for (int i = 0; i < line.size(); ++i)
            widths[i] = qMax(widths[i], line.at(i).size());
    }
    auto print = [&](const QStringList &line) {
        QString text = QStringLiteral("|");
        for (int i = 0; i < line.size(); ++i)
            text += QLatin1Char(' ') + line.at(i).leftJustified(widths[i]) + QStringLiteral(" |");
        std::printf("%s\n", text.toUtf8().constData());
    };
    print(lines.first());
    QStringList rule;
    for (const int width : widths)
        rule.append(QString(width, QLatin1Char('-')));
    print(rule);
    for (int i = 1; i < lines.size(); ++i)
        print(lines.at(i));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Options options;
    bool keep = false;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--quick")) {
            options.runs = 8;
            options.pollMsecs = 20000;
            options.shmlessMsecs = 10000;
        } else if (args.at(i) == QLatin1String("--keep")) {
            keep = true;
        } else if (args.at(i) == QLatin1String("--runs") && i + 1 < args.size()) {
            options.runs = args.at(++i).toInt();
        } else if (args.at(i) == QLatin1String("--poll-seconds") && i + 1 < args.size()) {
            options.pollMsecs = args.at(++i).toInt() * 1000;
        } else {
            std::fprintf(stderr,
                         "usage: corvane-bench [--quick] [--runs N] [--poll-seconds N] [--keep]\n");
            return 2;
        }
    }
    binDir = app.applicationDirPath();
    QByteArray temp = QDir::tempPath().toLocal8Bit() + "/corvane-bench.XXXXXX";
    if (!::mkdtemp(temp.data())) {
        std::perror("corvane-bench: mkdtemp");
        return 1;
    }
    workDir = QString::fromLocal8Bit(temp);

    QVector<Platform> platforms = {{QStringLiteral("offscreen"), "offscreen"}};
    if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        platforms.append({QStringLiteral("Xvfb"), "xcb"});

    utsname system = {};
    ::uname(&system);
    std::printf("Corvane benchmarks: %ld cores, %s, Linux %s, Qt %s\n",
                sysconf(_SC_NPROCESSORS_ONLN), qPrintable(cpuModel()), system.release, qVersion());
    double load[3] = {0, 0, 0};
    ::getloadavg(load, 3);
    std::printf("load average %.2f %.2f %.2f; TZ %s\n", load[0], load[1], load[2],
                qEnvironmentVariableIsSet("TZ") ? qPrintable(qEnvironmentVariable("TZ")) : "unset");
    std::printf("start-up: %d interleaved runs of each after %d warm-ups; polling: %d s per "
                "platform; platforms: %s\n\n",
                options.runs, options.warmups, options.pollMsecs / 1000,
                platforms.size() > 1 ? "offscreen, Xvfb" : "offscreen (no DISPLAY: no Xvfb rows)");
    std::fflush(stdout);

    for (const Platform &platform : platforms) {
        std::fprintf(stderr, "corvane-bench: start-up, %s\n", qPrintable(platform.name));
        measureStartup(platform, options);
    }
    for (const Platform &platform : platforms) {
        std::fprintf(stderr, "corvane-bench: polling for %d s, %s\n", options.pollMsecs / 1000,
                     qPrintable(platform.name));
        measurePolling(platform, options);
    }
    if (platforms.size() > 1) {
        std::fprintf(stderr, "corvane-bench: polling for %d s, Xvfb without MIT-SHM\n",
                     options.shmlessMsecs / 1000);
        measureWithoutShm(options);
    }
    std::fprintf(stderr, "corvane-bench: cutting\n");
    measureCutting();

    const double loadBefore = load[0];
    ::getloadavg(load, 3);
    std::printf("load average at the end %.2f %.2f %.2f\n\n", load[0], load[1], load[2]);
    if (loadBefore >= 0.5 || load[0] >= 0.5)
        notes.append(QStringLiteral(
            "other processes were using the CPU: wake-ups wait for them, which shows in the "
            "latency tails and the involuntary switches"));
    printTable();
    std::printf("\nratio: the measured cost over the floor's (for throughput, the floor's MB/s "
                "over the measured MB/s); MB = 10^6 bytes.\n");
    for (const QString &note : qAsConst(notes))
        std::printf("%s\n", note.toUtf8().constData());

    bool allRan = true;
    for (const Row &row : qAsConst(rows))
        allRan = allRan && !row.measured.contains(QLatin1String("failed"));
    if (allRan && !keep)
        QDir(workDir).removeRecursively();
    if (!allRan || keep)
        std::printf("The children's output is kept in %s\n", qPrintable(workDir));
    return allRan ? 0 : 1;
}
