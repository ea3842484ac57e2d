// bench_floor_timer <settle ms> <measure ms>: the floor for the CPU cost of polling. A window
// whose one label a precise 1000 ms timer rewrites; after settle ms it measures for measure ms
// its own CPU time and context switches.

#include "usagemeter.h"

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_floor_timer <settle ms> <measure ms>\n");
        return 2;
    }
    const int settle = std::atoi(argv[1]);
    const int measure = std::atoi(argv[2]);

    QMainWindow window;
    auto *label = new QLabel(QStringLiteral("0.00℃"));
    window.setCentralWidget(label);
    window.resize(300, 100);
    window.show();

    int tenths = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        ++tenths;
        label->setText(QString::number(double(tenths / 10.0f), 'f', 2) + QStringLiteral("℃"));
    });
    tick.start(1000);

    UsageMeter meter;
    meter.measureThenQuit(settle, measure);
    const int status = app.exec();
    meter.print(stdout);
    return status;
}
