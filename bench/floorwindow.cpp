// bench_floor_timer <settle ms> <measure ms> and bench_floor_pty <settle ms> <measure ms> <pty>,
// one program under two names: the floors of the polling figures, a window with one label that
// measures, from settle ms on and for measure ms, its own CPU time and context switches.
// Without a pty, the floor for the CPU cost: a precise 1000 ms timer rewrites the label. With
// one, the floor for the answer-to-label latency, the bare path from a pseudo-terminal to the
// label: a socket notifier, read(), the last reading of each 0x60 answer written into the label,
// every paint of which is stamped.

#include "measuringapplication.h"
#include "packframer.h"

#include <QLabel>
#include <QMainWindow>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    MeasuringApplication app(argc, argv);
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s <settle ms> <measure ms> [pty]\n", argv[0]);
        return 2;
    }
    QMainWindow window;
    auto *label = new QLabel(QStringLiteral("0.00℃"));
    label->setObjectName(QStringLiteral("label"));
    window.setCentralWidget(label);
    window.resize(300, 100);
    window.show();
    const auto show = [label](int tenths) {
        label->setText(QString::number(double(tenths / 10.0f), 'f', 2) + QStringLiteral("℃"));
    };

    int tenths = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] { show(++tenths); });
    const int fd = argc == 4 ? ::open(argv[3], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
    PackFramer buffer;
    if (argc == 3) {
        tick.start(1000);
    } else if (fd < 0) {
        std::perror("bench_floor_pty: open");
        return 1;
    } else {
        termios tio;
        if (::tcgetattr(fd, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(fd, TCSANOW, &tio);
        }
        // Answers written before this program was listening are not part of the measurement.
        ::tcflush(fd, TCIFLUSH);
        app.watch(label);
        auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &window);
        QObject::connect(notifier, &QSocketNotifier::activated, [&] {
            char chunk[4096];
            ssize_t n;
            while ((n = ::read(fd, chunk, sizeof chunk)) > 0)
                buffer.append(QByteArray(chunk, int(n)));
            for (PackFramer::Cut cut = buffer.next(); cut.kind != PackFramer::Cut::Waiting;
                 cut = buffer.next()) {
                const QByteArray &pack = cut.bytes;
                if (cut.kind == PackFramer::Cut::Pack && pack.size() >= 12
                    && quint8(pack.at(1)) == 0x60)
                    show(qint16((quint8(pack.at(9)) << 8) | quint8(pack.at(10))));
            }
        });
    }

    app.measureThenQuit(std::atoi(argv[1]), std::atoi(argv[2]));
    const int status = app.exec();
    app.print(stdout);
    return status;
}
