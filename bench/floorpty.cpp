// bench_floor_pty <pty> <settle ms> <measure ms>: the floor for the answer-to-label latency. The
// bare path from a pseudo-terminal to a label: a socket notifier, read(), the last reading of
// each 0x60 answer written into the one label. From settle ms on it stamps every paint of the
// label for measure ms.

#include "stampingapplication.h"
#include "usagemeter.h"

#include <QByteArray>
#include <QLabel>
#include <QMainWindow>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    StampingApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_floor_pty <pty> <settle ms> <measure ms>\n");
        return 2;
    }
    const int settle = std::atoi(argv[2]);
    const int measure = std::atoi(argv[3]);

    const int fd = ::open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::perror("bench_floor_pty: open");
        return 1;
    }
    termios tio;
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    // Answers written before this program was listening are not part of the measurement.
    ::tcflush(fd, TCIFLUSH);

    QMainWindow window;
    auto *label = new QLabel(QStringLiteral("0.00℃"));
    label->setObjectName(QStringLiteral("label"));
    window.setCentralWidget(label);
    window.resize(300, 100);
    window.show();
    app.watch(label);

    QByteArray buffer;
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0)
            buffer.append(chunk, int(n));
        while (buffer.size() >= 4 && buffer.size() > quint8(buffer.at(2))) {
            const int length = quint8(buffer.at(2)) + 1;
            if (length >= 12 && quint8(buffer.at(1)) == 0x60) {
                const int tenths = qint16((quint8(buffer.at(9)) << 8) | quint8(buffer.at(10)));
                label->setText(QString::number(double(tenths / 10.0f), 'f', 2)
                               + QStringLiteral("℃"));
            }
            buffer.remove(0, length);
        }
    });

    UsageMeter meter;
    meter.measureThenQuit(settle, measure);
    const int status = app.exec();
    meter.print(stdout);
    app.printStamps(stdout);
    ::close(fd);
    return status;
}
