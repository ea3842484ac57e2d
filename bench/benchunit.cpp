// bench_unit: the simulated unit for the polling runs, in a process of its own so that its CPU
// time is not the window's. It serves two pseudo-terminals and prints their paths first: the
// first is the unit the window polls, the second carries the floor's stimuli, one 0x60 answer
// 400 ms after each measurement answer, when the window is idle. Every answer carries readings
// not sent before, so each one changes the labels. When its standard input closes it prints
// every answer and stimulus with the monotonic time its last byte was written, every request the
// unit received, and quits.
//
// It asks for real-time scheduling: a write to the pseudo-terminal wakes the window, which would
// otherwise often preempt the unit between its write() and its time stamp, so that the stamp came
// after the window had already shown the answer.
//
// bench_unit flood <answers>: once it has answered the connection check, the unit falls silent
// and writes that many 0x60 answers, a thousand at a time, each thousand once the window has
// taken the one before and says so on the second pseudo-terminal (flood.h tells how), so that the
// window's history fills without waiting for it and no answers pile up in its buffers; it keeps
// no stamps.

#include "flood.h"
#include "monotonic.h"
#include "sensorprotocol.h"
#include "simulatedunit.h"
#include "stamplines.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <unistd.h>

namespace {

QByteArray words(int value, int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i) {
        bytes.append(char((value >> 8) & 0xFF));
        bytes.append(char(value & 0xFF));
    }
    return bytes;
}

bool isMeasurement(const QByteArray &bytes)
{
    return bytes.size() > 1 && (quint8(bytes.at(1)) == 0x50 || quint8(bytes.at(1)) == 0x60);
}

// The flood's answers, a thousand to a write; the readings wander over a few degrees and percent,
// and the last answer of each write is marked as flood.h says.
QByteArrayList floodOf(int answers)
{
    QByteArrayList writes;
    for (int k = 0; k < answers; ++k) {
        if (k % Flood::AnswersPerWrite == 0)
            writes.append(QByteArray());
        int humidity = 400 + k % 300;
        int oil = 500 + k % 250;
        if (k == answers - 1) {
            oil = Flood::LastOilTenths;
        } else if (k % Flood::AnswersPerWrite == Flood::AnswersPerWrite - 1) {
            oil = Flood::WriteEndOilTenths;
            humidity = int(writes.size());
        }
        QByteArray payload;
        for (const int tenths : {150 + k % 200, humidity, 1000 + k % 30, oil})
            payload += words(tenths, 1);
        writes.last() += SensorProtocol::pack(0x60, payload);
    }
    return writes;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    sched_param priority = {};
    priority.sched_priority = 10;
    const bool realtime = ::sched_setscheduler(0, SCHED_FIFO, &priority) == 0;

    const int floodAnswers =
        argc == 3 && argv[1] == QByteArrayLiteral("flood") ? std::atoi(argv[2]) : 0;
    if (argc != 1 && floodAnswers <= 0) {
        std::fprintf(stderr, "usage: bench_unit [flood <answers>]\n");
        return 2;
    }
    SimulatedUnit unit;
    SimulatedUnit stimulus;
    if (!unit.openPty() || !stimulus.openPty())
        return 1;
    unit.setDrift(false);
    StampLines::print(stdout,
                      StampLines::Unit{unit.portName(), stimulus.portName(),
                                       QLatin1String(realtime ? "fifo" : "normal")});
    std::fflush(stdout);

    // Answers and stimuli, printed at the end so that nothing is written while measuring.
    QVector<StampLines::Bytes> written;
    written.reserve(8192);
    int serial = 0;
    int stimulusSerial = 0;

    // frameReceived comes before the unit builds its answer: the new readings go into it.
    QObject::connect(&unit, &SimulatedUnit::frameReceived, [&](const QByteArray &frame) {
        if (!isMeasurement(frame))
            return;
        ++serial;
        for (const auto channel : {SimulatedUnit::AirTemperature, SimulatedUnit::Humidity,
                                   SimulatedUnit::Pressure, SimulatedUnit::OilTemperature})
            unit.setReading(channel, 100 + serial);
    });
    // The flood goes out a write at a time: the first once the window's connection check has been
    // answered, each next one when the window asks for it on the second pseudo-terminal.
    QByteArrayList flood = floodOf(floodAnswers);
    const auto floodOn = [&] {
        if (!flood.isEmpty())
            unit.sendRaw(flood.takeFirst());
    };
    stimulus.setSilent(floodAnswers > 0);
    if (floodAnswers > 0)
        QObject::connect(&stimulus, &SimulatedUnit::frameReceived, &unit, floodOn);
    QObject::connect(&unit, &SimulatedUnit::answerWritten, [&](const QByteArray &bytes) {
        if (floodAnswers > 0) {
            // Once the unit has finished with the answer it is writing.
            if (bytes.size() > 1 && quint8(bytes.at(1)) == SensorProtocol::ConnectionCheck)
                QTimer::singleShot(0, &unit, [&] {
                    unit.setSilent(true);
                    floodOn();
                });
            return;
        }
        const qint64 now = monotonicNanos();
        written.append({QStringLiteral("answer"), now, bytes});
        if (!isMeasurement(bytes))
            return;
        QTimer::singleShot(400, Qt::PreciseTimer, &stimulus, [&] {
            ++stimulusSerial;
            stimulus.sendRaw(SensorProtocol::pack(0x60, words(5000 + stimulusSerial, 4)));
        });
    });
    QObject::connect(&stimulus, &SimulatedUnit::answerWritten, [&](const QByteArray &bytes) {
        const qint64 now = monotonicNanos();
        written.append({QStringLiteral("stimulus"), now, bytes});
    });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char drain[256];
        if (::read(STDIN_FILENO, drain, sizeof drain) > 0)
            return;
        input.setEnabled(false);
        for (const StampLines::Bytes &bytes : qAsConst(written))
            StampLines::print(stdout, bytes);
        const QList<SimulatedUnit::Frame> frames = unit.receivedFrames();
        for (const SimulatedUnit::Frame &frame : frames)
            StampLines::print(
                stdout,
                StampLines::Bytes{QStringLiteral("request"), frame.msecs * 1000000, frame.bytes});
        std::fflush(stdout);
        app.quit();
    });
    return app.exec();
}
