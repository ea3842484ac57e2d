// bench_units N: N simulated units on N pseudo-terminals in one process, for a gateway that
// serves them all and for as many pipelines. It prints each unit's pty first, then, for every
// measurement answer, the unit, the serial number of the reading it carries and the monotonic
// time its last byte was written. Unit k's air temperature is k tenths and its humidity the
// reading's serial in tenths, so that a published reading names its answer. Its output is
// flushed once a second, so that the driver can follow it live; it quits when its standard
// input closes.
//
// Real-time scheduling, as bench_unit's: otherwise the consumer the write wakes may preempt the
// unit before its time stamp.

#include "monotonic.h"
#include "simulatedunit.h"
#include "stamplines.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <sched.h>
#include <unistd.h>
#include <vector>

namespace {

bool isMeasurement(const QByteArray &bytes)
{
    return bytes.size() > 1 && (quint8(bytes.at(1)) == 0x50 || quint8(bytes.at(1)) == 0x60);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 0;
    if (count < 1) {
        std::fprintf(stderr, "usage: bench_units N\n");
        return 2;
    }
    sched_param priority = {};
    priority.sched_priority = 10;
    const bool realtime = ::sched_setscheduler(0, SCHED_FIFO, &priority) == 0;

    std::vector<std::unique_ptr<SimulatedUnit>> units;
    std::vector<qint64> serials(size_t(count), 0);
    for (int k = 0; k < count; ++k) {
        units.push_back(std::make_unique<SimulatedUnit>());
        SimulatedUnit *unit = units.back().get();
        if (!unit->openPty())
            return 1;
        unit->setDrift(false);
        unit->setReading(SimulatedUnit::AirTemperature, k);
        StampLines::print(
            stdout,
            StampLines::Served{k, unit->portName(), QLatin1String(realtime ? "fifo" : "normal")});
        // frameReceived comes before the unit builds its answer: the serial goes into it.
        QObject::connect(
            unit, &SimulatedUnit::frameReceived, [unit, &serials, k](const QByteArray &frame) {
                if (isMeasurement(frame))
                    unit->setReading(SimulatedUnit::Humidity, int(++serials[size_t(k)]));
            });
        QObject::connect(
            unit, &SimulatedUnit::answerWritten, [&serials, k](const QByteArray &bytes) {
                const qint64 now = monotonicNanos();
                if (isMeasurement(bytes))
                    StampLines::print(stdout, StampLines::Reading{k, serials[size_t(k)], now});
            });
    }
    std::fflush(stdout);

    QTimer flush;
    QObject::connect(&flush, &QTimer::timeout, [] { std::fflush(stdout); });
    flush.start(1000);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char drain[256];
        if (::read(STDIN_FILENO, drain, sizeof drain) > 0)
            return;
        input.setEnabled(false);
        std::fflush(stdout);
        app.quit();
    });
    return app.exec();
}
