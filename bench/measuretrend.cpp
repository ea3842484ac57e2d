// 8. The trend: its panel redrawing a day of readings, the window's CPU while polling with the
// trend shown beside the same window with it hidden, and, held against the window before the
// trend (--baseline), the start-up with the trend hidden and the peak RSS with a day of history.

#include "benchrun.h"
#include "stamplines.h"
#include "stats.h"

#include <QDir>
#include <QMap>

#include <cstdio>
#include <iterator>

namespace {

// A window that shows its trend stores that in its settings: each gets a folder of its own, so
// that no other window starts with the trend shown.
QProcessEnvironment ownSettings(const BenchRun &run, const Platform &platform, const QString &name)
{
    const QString folder = run.workFile(QStringLiteral("config-") + name);
    QDir().mkpath(folder);
    QProcessEnvironment environment = platform.environment;
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), folder);
    return environment;
}

QString msecsText(const QVector<double> &msecs)
{
    return QStringLiteral("%1 ms (n=%2, p90 %3)")
        .arg(number(median(msecs), 2))
        .arg(msecs.size())
        .arg(number(percentile(msecs, 90), 2));
}

void measureReplot(BenchRun &run, const Platform &platform)
{
    const QString name = QStringLiteral("trend-replot");
    QProcess replot;
    run.start(replot, "bench_trend_replot", {QString::number(run.runs)},
              ownSettings(run, platform, name), name);
    const bool ok = BenchRun::finished(replot, 300000);
    const QByteArray output = run.output(name + ".out");
    QMap<QString, QVector<double>> msecs;
    for (const StampLines::Replot &each : StampLines::read<StampLines::Replot>(output))
        msecs[each.view].append(double(each.nanos) / 1e6);
    const StampLines::Plot plot = StampLines::read<StampLines::Plot>(output).value(0);
    if (!ok || msecs.size() != 4) {
        run.rows.append(
            {"8 trend replot", platform.name, "run failed", "", "", "", verdict(false)});
        return;
    }
    const double day = median(msecs["day"]);
    const double empty = median(msecs["empty"]);
    const QString floor = number(empty, 2) + " ms (no readings)";
    run.rows.append({"8 trend replot, 24 h in view (86,400 × 4)", platform.name,
                     msecsText(msecs["day"]), floor, ratioText(day, empty), "≤ 10 ms",
                     verdict(day <= 10)});
    run.rows.append({"8 trend replot, 1 h in view", platform.name, msecsText(msecs["hour"]), floor,
                     ratioText(median(msecs["hour"]), empty), "—", "info"});
    run.rows.append({"8 trend, a new reading with 24 h in view", platform.name,
                     msecsText(msecs["newest"]), floor, ratioText(median(msecs["newest"]), empty),
                     "—", "info"});
    run.notes.append(QStringLiteral("trend replot, %1: the panel %2×%3 as in the window, its plot "
                                    "%4×%5, %6 points a curve")
                         .arg(platform.name)
                         .arg(plot.panelWidth)
                         .arg(plot.panelHeight)
                         .arg(plot.plotWidth)
                         .arg(plot.plotHeight)
                         .arg(plot.points));
}

// Two windows at once, each polling a unit of its own: one shows its trend, the other does not.
void measureShownAndHidden(BenchRun &run, const Platform &platform)
{
    const char *const trends[2] = {"shown", "hidden"};
    QProcess units[2];
    QProcess windows[2];
    bool ok = true;
    for (int k = 0; k < 2; ++k) {
        const QString name = platform.tag + QStringLiteral("-trend-") + trends[k];
        const QString pty = run.startUnit(units[k], name + QStringLiteral("-unit")).pty;
        QStringList arguments = {pty, QString::number(run.settleMsecs),
                                 QString::number(run.pollMsecs)};
        if (k == 0)
            arguments.append(QStringLiteral("trend"));
        run.start(windows[k], "bench_poll_window", arguments, ownSettings(run, platform, name),
                  name);
        ok = ok && !pty.isEmpty();
    }
    StampLines::Usage usage[2];
    for (int k = 0; k < 2; ++k) {
        ok = BenchRun::finished(windows[k], run.pollMsecs + run.settleMsecs + 30000) && ok;
        ok = BenchRun::stopUnit(units[k]) && ok;
        const QString name = platform.tag + QStringLiteral("-trend-") + trends[k];
        usage[k] = StampLines::read<StampLines::Usage>(run.output(name + ".out")).value(0);
        ok = ok && usage[k].to > usage[k].from;
    }
    const double shown = cpuPercent(usage[0]);
    const double hidden = cpuPercent(usage[1]);
    const QString over =
        QStringLiteral(" over %1 s").arg(number(double(usage[0].to - usage[0].from) / 1e9, 0));
    run.rows.append({"8 CPU while polling, trend shown", platform.name,
                     ok ? number(shown, 3) + " %" + over : "run failed",
                     number(hidden, 3) + " % (trend hidden)", ratioText(shown, hidden),
                     "≤ 1.5× trend hidden", verdict(ok && shown <= 1.5 * hidden)});
}

// The window before the trend's program of that name, empty without --baseline.
QString baselineProgram(const BenchRun &run, const char *name)
{
    return run.baselineDir.isEmpty() ? QString()
                                     : QDir(run.baselineDir).absoluteFilePath(QLatin1String(name));
}

void addNoBaselineRow(BenchRun &run, const char *figure, const Platform &platform)
{
    run.rows.append({figure, platform.name, "not run: no --baseline", "", "", "", "not run"});
}

void measureStartupAgainstBaseline(BenchRun &run, const Platform &platform)
{
    const QString before = baselineProgram(run, "bench_startup_corvane");
    if (before.isEmpty()) {
        addNoBaselineRow(run, "8 start-up to first paint, trend hidden", platform);
        return;
    }
    const StartupPair pair =
        startupPair(run, platform, {QStringLiteral("bench_startup_corvane"), before});
    const QString failed =
        pair.failures ? QStringLiteral(" (%1 runs failed)").arg(pair.failures) : QString();
    run.rows.append({"8 start-up to first paint, trend hidden, wall", platform.name,
                     number(pair.wallMsecs[0], 1) + " ms" + failed,
                     number(pair.wallMsecs[1], 1) + " ms (" + run.baselineName + ")",
                     ratioText(pair.wallMsecs[0], pair.wallMsecs[1]), "≤ 1.05× " + run.baselineName,
                     verdict(!pair.failures && pair.wallMsecs[0] <= 1.05 * pair.wallMsecs[1])});
    run.rows.append({"8 start-up to first paint, trend hidden, peak RSS", platform.name,
                     number(pair.peakMiB[0], 1) + " MiB",
                     number(pair.peakMiB[1], 1) + " MiB (" + run.baselineName + ")",
                     ratioText(pair.peakMiB[0], pair.peakMiB[1]), "—", "info"});
}

// Windows filled by bench_unit's flood through their own links, in rounds whose order turns: the
// window before the trend, and today's with the trend never shown, with a day's answers (its
// history just full) and with three days' (the oldest readings leaving for two days).
void measureMemoryAgainstBaseline(BenchRun &run, const Platform &platform)
{
    const QString before = baselineProgram(run, "bench_fill_window");
    if (before.isEmpty()) {
        addNoBaselineRow(run, "8 peak RSS, a day of history", platform);
        return;
    }
    const int day = 86400;
    const struct
    {
        QString program;
        int answers;
        bool trend;
    } fills[] = {{before, 3 * day, false},
                 {QStringLiteral("bench_fill_window"), 3 * day, false},
                 {QStringLiteral("bench_fill_window"), day, true},
                 {QStringLiteral("bench_fill_window"), 3 * day, true}};
    const int kinds = int(std::size(fills));
    QVector<double> peakMiB[kinds];
    bool ok = true;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < kinds; ++i) {
            const int k = (i + round) % kinds;
            const QString name = QStringLiteral("trend-fill-%1-%2").arg(k).arg(round);
            QProcess unit;
            const StampLines::Unit ptys =
                run.startUnit(unit, name + QStringLiteral("-unit"),
                              {QStringLiteral("flood"), QString::number(fills[k].answers)});
            QStringList arguments = {ptys.pty, ptys.stimulusPty};
            if (fills[k].trend)
                arguments.append(QStringLiteral("trend"));
            QProcess window;
            // The link's trace, a line per answer, is not kept.
            run.start(window, fills[k].program, arguments, ownSettings(run, platform, name), name,
                      QStringLiteral("/dev/null"));
            ok = BenchRun::finished(window, 600000) && BenchRun::stopUnit(unit) && ok;
            const StampLines::Memory memory =
                StampLines::read<StampLines::Memory>(run.output(name + ".out")).value(0);
            ok = ok && memory.readings == (k == 0 ? 0 : day);
            peakMiB[k].append(double(memory.peakKiB) / 1024);
        }
    }
    const double reference = median(peakMiB[0]);
    const QString referenceText =
        number(reference, 1) + " MiB (" + run.baselineName + ", 3 days' answers)";
    const auto grown = [&](int k) { return (median(peakMiB[k]) - reference) * 1024 * 1024; };
    const auto growthText = [&](int k) {
        return (grown(k) < 0 ? "" : "+") + number(grown(k) / 1e6, 1) + " MB";
    };
    const char *figures[] = {nullptr, "8 peak RSS, 3 days' answers, trend never shown",
                             "8 peak RSS, 1 day's answers (history just full), trend shown",
                             "8 peak RSS, 3 days' answers (history full), trend shown"};
    for (int k = 1; k < kinds; ++k) {
        const bool target = k == kinds - 1;
        run.rows.append({figures[k], platform.name,
                         ok ? number(median(peakMiB[k]), 1) + " MiB" : "run failed", referenceText,
                         growthText(k), target ? "≤ " + run.baselineName + " + 12 MB" : "—",
                         target ? verdict(ok && grown(k) <= 12e6) : "info"});
    }
}

} // namespace

void measureTrend(BenchRun &run, const QVector<Platform> &platforms)
{
    std::fprintf(stderr, "corvane-bench: the trend's replot\n");
    measureReplot(run, platforms.first());
    for (const Platform &platform : platforms) {
        std::fprintf(stderr,
                     "corvane-bench: polling for %d s with the trend shown and hidden, %s\n",
                     run.pollMsecs / 1000, qPrintable(platform.name));
        measureShownAndHidden(run, platform);
    }
    for (const Platform &platform : platforms) {
        std::fprintf(stderr, "corvane-bench: start-up with the trend hidden against %s, %s\n",
                     qPrintable(run.baselineName), qPrintable(platform.name));
        measureStartupAgainstBaseline(run, platform);
    }
    std::fprintf(stderr, "corvane-bench: a day of history against %s\n",
                 qPrintable(run.baselineName));
    measureMemoryAgainstBaseline(run, platforms.first());
}
