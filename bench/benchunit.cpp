// bench_unit: the simulated unit for the polling runs, in a process of its own so that its CPU
// time is not the window's. It serves two pseudo-terminals and prints their paths on the first
// two lines: the first is the unit the window polls, the second carries the floor's stimuli,
// one 0x60 answer 400 ms after each measurement answer, when the window is idle. Every answer
// carries readings not sent before, so each one changes the labels. When its standard input
// closes it prints every answer with the monotonic time its last byte was written, every
// request the unit received, and quits.
//
// It asks for real-time scheduling: a write to the pseudo-terminal wakes the window, which would
// otherwise often preempt the unit between its write() and its time stamp, so that the stamp came
// after the window had already shown the answer.

#include "monotonic.h"
#include "sensorprotocol.h"
#include "simulatedunit.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QVector>

#include <cstdio>
#include <sched.h>
#include <unistd.h>

namespace {

struct Written
{
    qint64 nanos;
    QByteArray bytes;
};

QByteArray words(int value, int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i) {
        bytes.append(char((value >> 8) & 0xFF));
        bytes.append(char(value & 0xFF));
    }
    return bytes;
}

void printWritten(const char *kind, const QVector<Written> &all)
{
    for (const Written &written : all)
        std::printf("%s %lld %s\n", kind, static_cast<long long>(written.nanos),
                    written.bytes.toHex().constData());
}

bool isMeasurement(const QByteArray &bytes)
{
    return bytes.size() > 1 && (quint8(bytes.at(1)) == 0x50 || quint8(bytes.at(1)) == 0x60);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    sched_param priority = {};
    priority.sched_priority = 10;
    const bool realtime = ::sched_setscheduler(0, SCHED_FIFO, &priority) == 0;

    SimulatedUnit unit;
    SimulatedUnit stimulus;
    if (!unit.openPty() || !stimulus.openPty())
        return 1;
    unit.setDrift(false);
    std::printf("%s\n%s\n", qPrintable(unit.portName()), qPrintable(stimulus.portName()));
    std::fflush(stdout);

    QVector<Written> answers;
    QVector<Written> stimuli;
    answers.reserve(4096);
    stimuli.reserve(4096);
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
    QObject::connect(&unit, &SimulatedUnit::answerWritten, [&](const QByteArray &bytes) {
        answers.append({monotonicNanos(), bytes});
        if (!isMeasurement(bytes))
            return;
        QTimer::singleShot(400, Qt::PreciseTimer, &stimulus, [&] {
            ++stimulusSerial;
            stimulus.sendRaw(SensorProtocol::pack(0x60, words(5000 + stimulusSerial, 4)));
        });
    });
    QObject::connect(&stimulus, &SimulatedUnit::answerWritten, [&](const QByteArray &bytes) {
        stimuli.append({monotonicNanos(), bytes});
    });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char drain[256];
        if (::read(STDIN_FILENO, drain, sizeof drain) > 0)
            return;
        input.setEnabled(false);
        std::printf("scheduling %s\n", realtime ? "fifo" : "normal");
        printWritten("answer", answers);
        printWritten("stimulus", stimuli);
        const QList<SimulatedUnit::Frame> frames = unit.receivedFrames();
        for (const SimulatedUnit::Frame &frame : frames)
            std::printf("frame %lld %s\n", static_cast<long long>(frame.msecs),
                        frame.bytes.toHex().constData());
        std::fflush(stdout);
        app.quit();
    });
    return app.exec();
}
