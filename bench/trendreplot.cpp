// bench_trend_replot <replots>: how long the trend panel takes to redraw a day of readings. The
// panel is the window's own TrendPanel at the size the window gives it, over a TrendHistory of
// 86,400 readings a second apart, ending now, whose values drift. Its plot is redrawn and painted
// at once (rpImmediateRefresh), replots times after three warm-ups, for each of:
//   day      the 24 h span, every reading in view
//   hour     the 1 h span, the newest 3,600 in view
//   empty    the same panel over no readings at the 24 h span (the floor: axes, legend, grid)
//   newest   a day in view, a new reading taken (TrendPanel::takeNewest(), the oldest leaving the
//            full history) and the replot it asks for: one second's work of a day-long session
// Prints a replot record (stamplines.h) per timed replot, and a plot record.

#include "mainwindow.h"
#include "monotonic.h"
#include "stamplines.h"
#include "trendhistory.h"
#include "trendpanel.h"

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QMenuBar>
#include <QRandomGenerator>
#include <QTimer>
#include <QWindow>
#include <qcustomplot.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

// Runs the event loop until the condition holds, at most 10 s; whether it holds.
bool waitFor(const std::function<bool()> &condition)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    check.start(10);
    QTimer::singleShot(10000, &loop, [&loop] { loop.exit(1); });
    return condition() || loop.exec() == 0;
}

// The size of the trend panel in the window, shown as an operator shows it (视图 → 趋势图).
QSize panelSizeInWindow()
{
    MainWindow window;
    window.show();
    const int formHeight = window.height();
    for (QAction *action : window.menuBar()->findChildren<QAction *>()) {
        if (action->text() == QStringLiteral("趋势图"))
            action->trigger();
    }
    auto *panel = window.findChild<TrendPanel *>();
    if (!panel || !waitFor([&] { return window.height() > formHeight; }))
        return {};
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    return panel->size();
}

// Readings a second apart from a random walk: air and oil temperature, humidity and pressure
// wander about their usual values, a tenth at a time, as a unit's readings do.
class DriftingUnit
{
public:
    SensorProtocol::Reading next()
    {
        SensorProtocol::Reading reading;
        msecs += 1000;
        reading.time = QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
        for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel) {
            tenths[channel] += random.bounded(3) - 1;
            reading.tenths[channel] = tenths[channel];
        }
        return reading;
    }

    qint64 msecs = QDateTime::currentMSecsSinceEpoch() - qint64(TrendHistory::DayOfReadings) * 1000;

private:
    QRandomGenerator random{20261210};
    int tenths[SensorProtocol::ChannelCount] = {215, 480, 1013, 620};
};

bool showAt(TrendPanel &panel, const QSize &size)
{
    panel.resize(size);
    panel.show();
    return waitFor([&panel] { return panel.windowHandle() && panel.windowHandle()->isExposed(); });
}

// Each replot is timed alone; what it leaves queued runs between them, untimed.
void timeReplots(const char *view, QCustomPlot *plot, int replots,
                 const std::function<void()> &before = {})
{
    for (int i = -3; i < replots; ++i) {
        QCoreApplication::processEvents();
        const qint64 start = monotonicNanos();
        if (before)
            before();
        plot->replot(QCustomPlot::rpImmediateRefresh);
        const qint64 end = monotonicNanos();
        if (i >= 0)
            StampLines::print(stdout, StampLines::Replot{QLatin1String(view), end - start});
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int replots = argc == 2 ? std::atoi(argv[1]) : 0;
    if (replots <= 0) {
        std::fprintf(stderr, "usage: bench_trend_replot <replots>\n");
        return 2;
    }
    const QSize size = panelSizeInWindow();
    if (size.isEmpty()) {
        std::fprintf(stderr, "bench_trend_replot: the window showed no trend\n");
        return 1;
    }

    DriftingUnit unit;
    TrendHistory day;
    while (!day.isFull())
        day.append(unit.next());
    TrendPanel panel(day);
    if (!showAt(panel, size))
        return 1;
    auto *plot = panel.findChild<QCustomPlot *>();
    panel.setSpan(24 * 3600);
    timeReplots("day", plot, replots);
    panel.setSpan(3600);
    timeReplots("hour", plot, replots);
    panel.setSpan(24 * 3600);
    timeReplots("newest", plot, replots, [&] {
        day.append(unit.next());
        panel.takeNewest();
    });
    panel.hide();

    const TrendHistory none;
    TrendPanel empty(none);
    if (!showAt(empty, size))
        return 1;
    empty.setSpan(24 * 3600);
    timeReplots("empty", empty.findChild<QCustomPlot *>(), replots);
    StampLines::print(stdout,
                      StampLines::Plot{size.width(), size.height(), plot->width(), plot->height(),
                                       plot->graph(0)->data()->size()});
    return 0;
}
