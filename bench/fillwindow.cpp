// bench_fill_window <port> <pace pty> [trend]: Corvane's window, shown, takes a flood of answers
// from bench_unit (bench_unit flood <answers>) through its own link, as it would take days of
// polling, asks for each next thousand on the unit's second pseudo-terminal once it has shown the
// last (flood.h), and prints its peak RSS. With trend, the operator first shows the trend (视图 →
// 趋势图), chooses the 24 h span and hides it again while the answers pour in, then shows it over
// the full history once they are in; the memory is read after the plot has been redrawn. Also built
// against the window before the trend (scripts/bench.sh), which has no trend to show and no history
// to count.
//
// Shown, the trend would refresh its summaries over every reading in view with each answer, and
// a flood's answers all arrive within seconds, so all are in view: hidden, the history and the
// plot's curves take each answer as they do shown, without that refresh.

#include "flood.h"
#include "mainwindow.h"
#include "sensorprotocol.h"
#include "stamplines.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#if __has_include("trendpanel.h")
#include "trendpanel.h"
#include "windowmemory.h"

#include <qcustomplot.h>

namespace {

void chooseDaySpan(MainWindow &window)
{
    window.findChild<TrendPanel *>()->setSpan(24 * 3600);
}

// Shows the trend and calls back once the window has grown to show it and the plot has been
// redrawn over the history at its size. Offscreen the screen is 800×600 and the plot lies below
// it: it is drawn, but never painted on the screen.
void showTrendThen(MainWindow &window, QAction *trend, const std::function<void()> &then)
{
    auto *plot = window.findChild<QCustomPlot *>();
    auto replotted = std::make_shared<QSize>();
    QObject::connect(plot, &QCustomPlot::afterReplot, plot,
                     [plot, replotted] { *replotted = plot->size(); });
    const int hidden = window.height();
    trend->trigger();
    auto *settled = new QTimer(plot);
    QObject::connect(settled, &QTimer::timeout, plot, [=, &window] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        if (window.height() <= hidden || *replotted != plot->size())
            return;
        settled->stop();
        then();
    });
    settled->start(10);
}

int readings(MainWindow &window)
{
    return window.findChild<WindowMemory *>()->readings().size();
}

} // namespace
#else
namespace {

// The window before the trend has no trend to show and no history.
void chooseDaySpan(MainWindow &) { }
void showTrendThen(MainWindow &, QAction *, const std::function<void()> &) { }
int readings(MainWindow &)
{
    return 0;
}

} // namespace
#endif

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const bool wantTrend = argc == 4 && argv[3] == QByteArrayLiteral("trend");
    if (argc != 3 && !wantTrend) {
        std::fprintf(stderr, "usage: bench_fill_window <port> <pace pty> [trend]\n");
        return 2;
    }
    const QString port = QString::fromLocal8Bit(argv[1]);
    const int pace = ::open(argv[2], O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw = {};
    if (pace < 0 || ::tcgetattr(pace, &raw) != 0) {
        std::perror("bench_fill_window: the pace pty");
        return 1;
    }
    ::cfmakeraw(&raw);
    ::tcsetattr(pace, TCSANOW, &raw);

    MainWindow window;
    window.show();
    QAction *trend = nullptr;
    for (QAction *action : window.menuBar()->findChildren<QAction *>()) {
        if (wantTrend && action->text() == QStringLiteral("趋势图"))
            trend = action;
    }
    if (trend) {
        trend->trigger();
        chooseDaySpan(window);
        trend->trigger();
    }

    const auto report = [&] {
        rusage usage = {};
        ::getrusage(RUSAGE_SELF, &usage);
        StampLines::print(stdout, StampLines::Memory{usage.ru_maxrss, readings(window)});
        app.quit();
    };
    // The labels' texts as the window writes them.
    const auto oilText = [](int tenths) {
        return QString::number(tenths / 10.0, 'f', 2) + QStringLiteral("℃");
    };
    auto *oil = window.findChild<QLabel *>(QStringLiteral("label_OilMeasure"));
    auto *humidity = window.findChild<QLabel *>(QStringLiteral("label_HumMeasure"));
    QString writeTaken;
    const QByteArray next = SensorProtocol::pack(SensorProtocol::ConnectionCheck);
    QTimer filled;
    filled.setInterval(10);
    QObject::connect(&filled, &QTimer::timeout, [&] {
        if (oil->text() == oilText(Flood::WriteEndOilTenths) && humidity->text() != writeTaken) {
            writeTaken = humidity->text();
            if (::write(pace, next.constData(), size_t(next.size())) != next.size())
                std::perror("bench_fill_window: write");
            return;
        }
        if (oil->text() != oilText(Flood::LastOilTenths))
            return;
        filled.stop();
        if (trend)
            showTrendThen(window, trend, report);
        else
            report();
    });
    // The window fills its port list 300 ms after it is shown; the pseudo-terminal, which the
    // platform does not list, goes in after that, as in bench_poll_window.
    QTimer::singleShot(1000, [&] {
        auto *comboBox = window.findChild<QComboBox *>(QStringLiteral("comboBox"));
        comboBox->insertItem(0, port);
        comboBox->setCurrentIndex(0);
        window.findChild<QPushButton *>(QStringLiteral("pushButton_OpenCom"))->click();
        filled.start();
    });
    QTimer::singleShot(600000, [&] {
        std::fprintf(stderr, "bench_fill_window: the flood did not end on %s\n", qPrintable(port));
        app.exit(1);
    });
    return app.exec();
}
