// 8. The trend: its panel redrawing a day of readings.

#include "benchrun.h"
#include "stamplines.h"
#include "stats.h"

#include <QDir>
#include <QMap>

#include <cstdio>

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

} // namespace

void measureTrend(BenchRun &run, const QVector<Platform> &platforms)
{
    std::fprintf(stderr, "corvane-bench: the trend's replot\n");
    measureReplot(run, platforms.first());
}
