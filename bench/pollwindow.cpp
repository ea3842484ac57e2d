// bench_poll_window <port> <settle ms> <measure ms> [trend]: Corvane's window, shown, opens the
// given port the way an operator does (the port goes into the list, then the open button), polls
// the unit and, from settle ms after the unit answered the connection check, measures for
// measure ms its own CPU time and context switches and stamps each paint of the measurement
// labels. With trend, the operator shows the trend (视图 → 趋势图) before opening the port.

#include "mainwindow.h"
#include "measuringapplication.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    MeasuringApplication app(argc, argv);
    const bool trend = argc == 5 && argv[4] == QByteArrayLiteral("trend");
    if (argc != 4 && !trend) {
        std::fprintf(stderr, "usage: bench_poll_window <port> <settle ms> <measure ms> [trend]\n");
        return 2;
    }
    const QString port = QString::fromLocal8Bit(argv[1]);
    const int settle = std::atoi(argv[2]);
    const int measure = std::atoi(argv[3]);

    MainWindow window;
    window.show();
    for (QAction *action : window.menuBar()->findChildren<QAction *>()) {
        if (trend && action->text() == QStringLiteral("趋势图"))
            action->trigger();
    }
    for (const char *name :
         {"label_TemMeasure", "label_HumMeasure", "label_AtmMeasure", "label_OilMeasure"})
        app.watch(window.findChild<QLabel *>(QLatin1String(name)));
    auto *comboBox = window.findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *openButton = window.findChild<QPushButton *>(QStringLiteral("pushButton_OpenCom"));

    QTimer connected;
    connected.setInterval(10);
    QObject::connect(&connected, &QTimer::timeout, [&] {
        // The open button goes grey when the unit has answered the connection check.
        if (openButton->isEnabled())
            return;
        connected.stop();
        app.measureThenQuit(settle, measure);
    });
    // The window fills its port list 300 ms after it is shown; the pseudo-terminal, which the
    // platform does not list, goes in after that.
    QTimer::singleShot(1000, [&] {
        comboBox->insertItem(0, port);
        comboBox->setCurrentIndex(0);
        openButton->click();
        connected.start();
    });
    QTimer::singleShot(settle + measure + 15000, [&] {
        std::fprintf(stderr, "bench_poll_window: the unit did not answer on %s\n",
                     qPrintable(port));
        app.exit(1);
    });

    const int status = app.exec();
    if (status == 0)
        app.print(stdout);
    return status;
}
