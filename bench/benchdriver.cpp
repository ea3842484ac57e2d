// corvane-bench: runs every benchmark side by side with its floor and prints one table.
//   corvane-bench [--quick] [--runs N] [--poll-seconds N] [--only PARTS] [--keep]
//                 [--baseline DIR [--baseline-name NAME]]
// --only runs some of the parts (startup, polling, cutting, cli, publish, drain, trend),
// comma-separated.
// --keep leaves the children's output (every stamp and request) in the work folder it names.
// The Xvfb rows need a display (DISPLAY set, as under xvfb-run); offscreen rows need none.

#include "benchrun.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

QString cpuModel()
{
    QFile file(QStringLiteral("/proc/cpuinfo"));
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QStringLiteral("unknown");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions(
        {{"quick",
          "A short rehearsal: fewer runs, 20 s of polling, 10 s a side of publish "
          "and a 20 s outage."},
         {"runs", "Start-up runs of each program.", "N"},
         {"poll-seconds", "Seconds of polling per platform.", "N"},
         {"only", "Only these parts: startup, polling, cutting, cli, publish, drain, trend.",
          "PARTS"},
         {"keep", "Keep the children's output."},
         {"baseline",
          "The window before the trend: the folder of its bench programs (scripts/bench.sh "
          "builds them).",
          "DIR"},
         {"baseline-name", "What the table calls that window.", "NAME", "baseline"}});
    parser.process(app);
    const QStringList parts = {"startup", "polling", "cutting", "cli", "publish", "drain", "trend"};
    const QStringList only = parser.value("only").split(',', Qt::SkipEmptyParts);
    for (const QString &part : only) {
        if (!parts.contains(part)) {
            std::fprintf(stderr, "corvane-bench: no part %s; the parts: %s\n", qPrintable(part),
                         qPrintable(parts.join(", ")));
            return 2;
        }
    }
    const auto wanted = [&only](const char *part) {
        return only.isEmpty() || only.contains(QLatin1String(part));
    };
    BenchRun run;
    if (parser.isSet("quick")) {
        run.runs = 8;
        run.pollMsecs = 20000;
        run.shmlessMsecs = 10000;
        run.cliEarlySamples = 200;
        run.cliLateSamples = 1000;
        run.publishMsecs = 10000;
        run.outageMsecs = 20000;
    }
    if (parser.isSet("runs"))
        run.runs = parser.value("runs").toInt();
    if (parser.isSet("poll-seconds"))
        run.pollMsecs = parser.value("poll-seconds").toInt() * 1000;
    run.binDir = app.applicationDirPath();
    if (parser.isSet("baseline"))
        run.baselineDir = QDir(parser.value("baseline")).absolutePath();
    run.baselineName = parser.value("baseline-name");
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/corvane-bench.XXXXXX"));
    if (!work.isValid()) {
        std::fprintf(stderr, "corvane-bench: %s\n", qPrintable(work.errorString()));
        return 1;
    }
    run.workDir = work.path();

    // The window keeps whether its trend is shown, and more, in its settings: the children read
    // an empty folder of their own instead of the user's, so that every run starts the same.
    const QString settings = run.workFile(QStringLiteral("config"));
    QDir().mkpath(settings);
    const auto environment = [&settings](const char *platform, bool mitShm = true) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), settings);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QLatin1String(platform));
        if (!mitShm)
            environment.insert(QStringLiteral("QT_XCB_NO_MITSHM"), QStringLiteral("1"));
        return environment;
    };
    QVector<Platform> platforms = {{"offscreen", "offscreen", environment("offscreen")}};
    if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        platforms.append({"Xvfb", "xcb", environment("xcb")});
    utsname system = {};
    ::uname(&system);
    std::printf("Corvane benchmarks: %ld cores, %s, Linux %s, Qt %s\n",
                sysconf(_SC_NPROCESSORS_ONLN), qPrintable(cpuModel()), system.release, qVersion());
    double load[3] = {0, 0, 0};
    ::getloadavg(load, 3);
    std::printf("load average %.2f %.2f %.2f; TZ %s\n", load[0], load[1], load[2],
                qEnvironmentVariableIsSet("TZ") ? qPrintable(qEnvironmentVariable("TZ")) : "unset");
    std::printf("start-up: %d interleaved runs of each after %d warm-ups; polling: %d s per "
                "platform; platforms: %s; publish: %d s a side, a %d s outage; parts: %s\n\n",
                run.runs, run.warmups, run.pollMsecs / 1000,
                platforms.size() > 1 ? "offscreen, Xvfb" : "offscreen (no DISPLAY: no Xvfb rows)",
                run.publishMsecs / 1000, run.outageMsecs / 1000,
                qPrintable((only.isEmpty() ? parts : only).join(", ")));
    std::fflush(stdout);

    if (wanted("startup")) {
        for (const Platform &platform : platforms)
            measureStartup(run, platform);
    }
    if (wanted("polling")) {
        for (const Platform &platform : platforms)
            measurePolling(run, platform, run.pollMsecs, true);
        // The same polling under X without MIT-SHM, whose per-paint round trip to the server
        // costs the switches beyond the offscreen figure.
        if (platforms.size() > 1)
            measurePolling(run,
                           {"Xvfb, QT_XCB_NO_MITSHM=1", "xcb-noshm", environment("xcb", false)},
                           run.shmlessMsecs, false);
    }
    if (wanted("cutting"))
        measureCutting(run);
    if (wanted("cli"))
        measureCli(run);
    if (wanted("publish"))
        measurePublish(run);
    if (wanted("drain"))
        measureDrain(run);
    if (wanted("trend"))
        measureTrend(run, platforms);

    const double loadBefore = load[0];
    ::getloadavg(load, 3);
    std::printf("load average at the end %.2f %.2f %.2f\n\n", load[0], load[1], load[2]);
    if (loadBefore >= 0.5 || load[0] >= 0.5)
        run.notes.append(QStringLiteral(
            "other processes were using the CPU: wake-ups wait for them, which shows in the "
            "latency tails and the involuntary switches"));
    run.printTable();
    std::printf("\nratio: the measured cost over the floor's (for throughput, the floor's MB/s "
                "over the measured MB/s); MB = 10^6 bytes.\n");
    for (const QString &note : qAsConst(run.notes))
        std::printf("%s\n", note.toUtf8().constData());

    const bool allRan =
        std::none_of(run.rows.cbegin(), run.rows.cend(), [](const QStringList &row) {
            return row.at(2).contains(QLatin1String("failed"));
        });
    work.setAutoRemove(allRan && !parser.isSet("keep"));
    if (!work.autoRemove())
        std::printf("The children's output is kept in %s\n", qPrintable(run.workDir));
    return allRan ? 0 : 1;
}
