// bench_cutting <mode>...: the cost of cutting the received byte stream into packs, per byte, for
// bursts of about 1 KiB, 64 KiB and 1 MiB of 12-byte 0x60 answers fed at once, each pack emitted
// to a counting receiver. Modes:
//   off      SerialCommon::receiveBytes with the link's trace turned off by its logging rule
//   null     the same with the trace on, its lines going to a handler that drops them
//   stderr   the same with Qt's default handler, which writes them to standard error
//   bare     the reference: the same rule without anything else (BareCutter)
// Prints one cut record (stamplines.h) per mode and size.

#include "barecutter.h"
#include "monotonic.h"
#include "sensorprotocol.h"
#include "serialcommon.h"
#include "simulatedunit.h"
#include "stamplines.h"
#include "stats.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <algorithm>
#include <cstdio>

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
        burst.append(SensorProtocol::pack(0x60, values));
    }
    return burst;
}

// The median over samples, each feeding the burst repeatedly to cover at least sampleBytes of
// input after one warm-up burst; -1 when not every pack came out.
template <typename Cutter>
double nanosPerByte(Cutter &cutter, const QByteArray &burst, int samples, int sampleBytes,
                    const qint64 &packs)
{
    const int repeats = std::max(1, sampleBytes / int(burst.size()));
    cutter.receiveBytes(burst);
    const qint64 packsBefore = packs;
    QVector<double> perByte;
    for (int sample = 0; sample < samples; ++sample) {
        const qint64 start = monotonicNanos();
        for (int i = 0; i < repeats; ++i)
            cutter.receiveBytes(burst);
        perByte.append(double(monotonicNanos() - start) / (double(repeats) * burst.size()));
    }
    const bool whole = packs - packsBefore == qint64(samples) * repeats * (burst.size() / 12);
    return whole ? median(perByte) : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    for (int arg = 1; arg < argc; ++arg) {
        const QByteArray mode = argv[arg];
        const bool toStderr = mode == "stderr";
        // Writing every trace line makes this mode slow; fewer and shorter samples do.
        const int samples = toStderr ? 3 : 21;
        const int sampleBytes = toStderr ? 256 * 1024 : 1024 * 1024;
        QLoggingCategory::setFilterRules(mode == "off" ? QStringLiteral("corvane.link.debug=false")
                                                       : QString());
        qInstallMessageHandler(toStderr ? nullptr : dropMessage);

        for (const int size : {1024, 64 * 1024, 1024 * 1024}) {
            const QByteArray burst = burstOf(size);
            qint64 packs = 0;
            const auto count = [&packs](const QByteArray &) { ++packs; };
            SerialCommon link;
            BareCutter cutter;
            QObject::connect(&link, &SerialCommon::sendParsePack, count);
            QObject::connect(&cutter, &BareCutter::packCut, count);
            const double result = mode == "bare"
                ? nanosPerByte(cutter, burst, samples, sampleBytes, packs)
                : nanosPerByte(link, burst, samples, sampleBytes, packs);
            StampLines::print(stdout,
                              StampLines::Cut{QString::fromLatin1(mode), int(burst.size()),
                                              int(burst.size() / 12), result, samples});
            std::fflush(stdout);
        }
    }
    return 0;
}
