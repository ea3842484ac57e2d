// bench_cutting <mode>...: the cost of cutting the received byte stream into packs, per byte, for
// bursts of about 1 KiB, 64 KiB and 1 MiB of 12-byte 0x60 answers fed at once, each pack emitted
// to a counting receiver. Modes:
//   off         SerialCommon::receiveBytes with the link's trace turned off by its logging rule
//   null        the same with the trace on, its lines going to a handler that drops them
//   devnull     the same with Qt's default handler, standard error on /dev/null
//   file:PATH   the same with Qt's default handler, standard error appended to PATH
//   bare        the reference: the same rule without anything else (BareCutter)
// Prints one cut record (stamplines.h) per mode and size.

#include "barecutter.h"
#include "packcounter.h"
#include "serialcommon.h"
#include "simulatedunit.h"
#include "stamplines.h"
#include "stats.h"
#include "stderrredirect.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QVector>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

namespace {

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) { }

QByteArray burstOf(int approximateBytes)
{
    QByteArray burst;
    for (int i = 0; burst.size() + 12 <= approximateBytes; ++i) {
        QByteArray values;
        for (int word = 0; word < 4; ++word) {
            const int value = 100 + (i + word) % 900;
            values.append(char(value >> 8));
            values.append(char(value & 0xFF));
        }
        burst.append(SimulatedUnit::frame(0x60, values));
    }
    return burst;
}

// Feeds the burst repeatedly; every sample covers at least sampleBytes of input.
double nanosPerByte(const std::function<void(const QByteArray &)> &feed, const QByteArray &burst,
                    int samples, int sampleBytes, const PackCounter &counter)
{
    const int repeats = std::max(1, sampleBytes / burst.size());
    feed(burst);
    const qint64 packsBefore = counter.packs;
    QVector<double> perByte;
    for (int sample = 0; sample < samples; ++sample) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < repeats; ++i)
            feed(burst);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        perByte.append(double(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count())
                       / (double(repeats) * burst.size()));
    }
    const qint64 expected = qint64(samples) * repeats * (burst.size() / 12);
    if (counter.packs - packsBefore != expected) {
        std::fprintf(stdout, "error: %lld packs emitted, %lld expected\n",
                     static_cast<long long>(counter.packs - packsBefore),
                     static_cast<long long>(expected));
        return -1;
    }
    return median(perByte);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QVector<int> sizes = {1024, 64 * 1024, 1024 * 1024};

    for (int arg = 1; arg < argc; ++arg) {
        const QByteArray mode = argv[arg];
        const bool bare = mode == "bare";
        const bool toStderr = mode == "devnull" || mode.startsWith("file:");
        // Writing every trace line makes these modes slow; fewer and shorter samples do.
        const int samples = toStderr ? 3 : 21;
        const int sampleBytes = toStderr ? 256 * 1024 : 1024 * 1024;
        const QByteArray stderrPath = mode == "devnull" ? QByteArray("/dev/null") : mode.mid(5);

        for (const int size : sizes) {
            const QByteArray burst = burstOf(size);
            PackCounter counter;
            SerialCommon link;
            BareCutter cutter;
            QObject::connect(&link, &SerialCommon::sendParsePack, &counter, &PackCounter::take);
            QObject::connect(&cutter, &BareCutter::packCut, &counter, &PackCounter::take);
            std::function<void(const QByteArray &)> feed;
            if (bare)
                feed = [&cutter](const QByteArray &bytes) { cutter.receiveBytes(bytes); };
            else
                feed = [&link](const QByteArray &bytes) { link.receiveBytes(bytes); };

            QLoggingCategory::setFilterRules(
                mode == "off" ? QStringLiteral("corvane.link.debug=false") : QString());
            double result;
            if (toStderr) {
                qInstallMessageHandler(nullptr);
                StderrRedirect redirect(stderrPath.constData());
                result = nanosPerByte(feed, burst, samples, sampleBytes, counter);
            } else {
                qInstallMessageHandler(dropMessage);
                result = nanosPerByte(feed, burst, samples, sampleBytes, counter);
            }
            qInstallMessageHandler(nullptr);
            StampLines::print(stdout,
                              StampLines::Cut{QString::fromLocal8Bit(mode), burst.size(),
                                              burst.size() / 12, result, samples});
            std::fflush(stdout);
        }
    }
    return 0;
}
