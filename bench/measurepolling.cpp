// 2. CPU time and context switches while the window polls the unit, which runs in a process of
// its own, beside the timer floor; the pty floor runs as well, for the latency.

#include "benchrun.h"
#include "stamplines.h"

#include <cstdio>
#include <list>

namespace {

using StampLines::Usage;

double switchesPerSecond(const Usage &usage)
{
    return perSecond(usage, usage.voluntary + usage.involuntary);
}

// Involuntary switches are preemptions, which come from the machine's load more than from the
// program; they are told apart.
QString switchesText(const Usage &usage)
{
    return number(switchesPerSecond(usage), 2) + " /s ("
        + number(perSecond(usage, usage.involuntary), 2) + " invol.)";
}

QString threadsText(const QByteArray &output, const Usage &usage)
{
    QStringList threads;
    for (const StampLines::Thread &thread : StampLines::read<StampLines::Thread>(output))
        threads.append(thread.name + ' ' + number(perSecond(usage, thread.switches), 2) + "/s");
    return threads.join(", ");
}

// Runs the unit, the window polling it and, with floors, the two floors beside it; every
// program's output goes to "<tag>-<program>.out" in the work folder.
bool runSession(const BenchRun &run, const Platform &platform, int measureMsecs, bool withFloors,
                PollingOutput *output)
{
    const auto name = [&](const char *program) { return platform.tag + '-' + program; };
    std::list<QProcess> children;
    const auto start = [&](const char *program, const char *as, const QStringList &arguments) {
        children.emplace_back();
        run.start(children.back(), program, arguments, platform.environment, name(as));
    };
    children.emplace_back();
    const StampLines::Unit ptys = run.startUnit(children.back(), name("unit"));
    if (!ptys.pty.isEmpty()) {
        const QString settle = QString::number(run.settleMsecs);
        const QString floorSettle = QString::number(run.settleMsecs + 1000);
        const QString measure = QString::number(measureMsecs);
        start("bench_poll_window", "window", {ptys.pty, settle, measure});
        if (withFloors) {
            start("bench_floor_timer", "floortimer", {floorSettle, measure});
            start("bench_floor_pty", "floorpty", {floorSettle, measure, ptys.stimulusPty});
        }
    }
    bool ok = !ptys.pty.isEmpty();
    for (auto child = std::next(children.begin()); child != children.end(); ++child)
        ok = BenchRun::finished(*child, measureMsecs + run.settleMsecs + 30000) && ok;
    ok = BenchRun::stopUnit(children.front()) && ok;
    const auto read = [&](const char *program) { return run.output(name(program) + ".out"); };
    *output = {read("unit"), read("window"), read("floortimer"), read("floorpty")};
    if (!ok)
        std::fprintf(stderr, "corvane-bench: the polling run %s failed; see %s\n",
                     qPrintable(platform.tag), qPrintable(run.workDir));
    return ok;
}

} // namespace

void measurePolling(BenchRun &run, const Platform &platform, int measureMsecs, bool withFloors)
{
    std::fprintf(stderr, "corvane-bench: polling for %d s, %s\n", measureMsecs / 1000,
                 qPrintable(platform.name));
    PollingOutput output;
    if (!runSession(run, platform, measureMsecs, withFloors, &output)) {
        run.rows.append({withFloors ? "2-4 polling" : "2 polling", platform.name, "run failed", "",
                         "", "", verdict(false)});
        return;
    }
    // Without the floors, an empty floor: no ratio, and the figure is for information.
    const Usage program = StampLines::read<Usage>(output.window).value(0);
    const Usage floor = StampLines::read<Usage>(output.timerFloor).value(0);
    const bool valid = program.to > program.from;
    if (withFloors && platform.tag == QLatin1String("offscreen"))
        run.windowCpuPercent = cpuPercent(program);
    const QString over =
        QStringLiteral(" over %1 s").arg(number(double(program.to - program.from) / 1e9, 0));
    run.rows.append({"2 CPU while polling", platform.name,
                     number(cpuPercent(program), 3) + " %" + over,
                     withFloors ? number(cpuPercent(floor), 3) + " %" : "—",
                     ratioText(cpuPercent(program), cpuPercent(floor)), "≤ 0.5 % of a core",
                     withFloors ? verdict(valid && cpuPercent(program) <= 0.5) : "info"});
    run.rows.append({"2 context switches while polling", platform.name, switchesText(program),
                     withFloors ? switchesText(floor) : "—",
                     ratioText(switchesPerSecond(program), switchesPerSecond(floor)), "≤ 10 /s",
                     withFloors ? verdict(valid && switchesPerSecond(program) <= 10) : "info"});
    QString note = QStringLiteral("context switches by thread, %1: program %2")
                       .arg(platform.name, threadsText(output.window, program));
    if (withFloors)
        note += QStringLiteral("; floor ") + threadsText(output.timerFloor, floor);
    run.notes.append(note);
    if (withFloors) {
        addLatencyRows(run, platform.name, output);
        addRhythmRows(run, platform.name, output);
    }
}
