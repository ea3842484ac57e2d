// 3. From an answer to the label that shows it, and 4. the polling rhythm, from the stamps of a
// polling session.

#include "benchrun.h"
#include "stamplines.h"
#include "stats.h"

#include <algorithm>
#include <cmath>

namespace {

using StampLines::Bytes;
using StampLines::read;

// From the moment the last byte of each answer of the stream was written to the end of the first
// paint that shows its last field: for the window's 0x50 the pressure label, for its 0x60 the oil
// label, for the pty floor its one label. Answers never shown count as unmatched.
QVector<double> latencies(const QByteArray &unit, const QString &stream, const QByteArray &shown,
                          int *unmatched)
{
    const StampLines::Usage stretch = read<StampLines::Usage>(shown).value(0);
    const QVector<StampLines::Paint> paints = read<StampLines::Paint>(shown);
    QVector<double> result;
    *unmatched = 0;
    for (const Bytes &answer : read<Bytes>(unit)) {
        const quint8 command = answer.bytes.size() > 4 ? quint8(answer.bytes.at(1)) : 0;
        // An answer needs its paint inside the stretch too.
        if (answer.stream != stream || answer.nanos < stretch.from
            || answer.nanos > stretch.to - 200 * 1000 * 1000
            || (command != 0x50 && command != 0x60))
            continue;
        const int at = answer.bytes.size() - 3;
        const qint16 tenths =
            qint16((quint8(answer.bytes.at(at)) << 8) | quint8(answer.bytes.at(at + 1)));
        // As the labels show readings: two decimals, then the unit.
        const QString value = QString::number(double(tenths / 10.0f), 'f', 2);
        const QString label = stream == QLatin1String("stimulus") ? QStringLiteral("label")
            : command == 0x50 ? QStringLiteral("label_AtmMeasure")
                              : QStringLiteral("label_OilMeasure");
        const auto paint = std::find_if(paints.begin(), paints.end(), [&](const auto &paint) {
            return paint.nanos >= answer.nanos && paint.label == label
                && paint.text.startsWith(value);
        });
        if (paint == paints.end())
            ++*unmatched;
        else
            result.append(double(paint->nanos - answer.nanos) / 1e6);
    }
    return result;
}

} // namespace

void addLatencyRows(BenchRun &run, const QString &platform, const PollingOutput &output)
{
    if (read<StampLines::Unit>(output.unit).value(0).scheduling != QLatin1String("fifo"))
        run.notes.append(QStringLiteral("%1: the unit ran without real-time scheduling; its stamps "
                                        "after write() may lag and answers may go unmatched")
                             .arg(platform));
    int missing = 0;
    int floorMissing = 0;
    const QVector<double> program =
        latencies(output.unit, QStringLiteral("answer"), output.window, &missing);
    const QVector<double> floor =
        latencies(output.unit, QStringLiteral("stimulus"), output.ptyFloor, &floorMissing);
    const QString never = missing ? QStringLiteral(", %1 never shown").arg(missing) : QString();
    const bool enough = program.size() >= 200 && !missing;
    run.rows.append(
        {"3 answer → label, median", platform,
         number(median(program), 3) + QStringLiteral(" ms (n=%1%2)").arg(program.size()).arg(never),
         number(median(floor), 3) + QStringLiteral(" ms (n=%1)").arg(floor.size()),
         ratioText(median(program), median(floor)), "≤ 1 ms",
         verdict(enough && median(program) <= 1.0)});
    const auto p99 = [](const QVector<double> &values) {
        return number(percentile(values, 99), 3)
            + QStringLiteral(" ms (max %1)").arg(number(percentile(values, 100), 3));
    };
    run.rows.append({"3 answer → label, p99", platform, p99(program), p99(floor),
                     ratioText(percentile(program, 99), percentile(floor, 99)), "≤ 3 ms",
                     verdict(enough && percentile(program, 99) <= 3.0)});
}

// From the times at which the unit received the requests: the period between 0x50 requests, and
// the gap from each 0x50 request to the 0x60 that follows.
void addRhythmRows(BenchRun &run, const QString &platform, const PollingOutput &output)
{
    const StampLines::Usage stretch = read<StampLines::Usage>(output.window).value(0);
    QVector<Bytes> requests;
    for (const Bytes &bytes : read<Bytes>(output.unit)) {
        if (bytes.stream == QLatin1String("request") && bytes.bytes.size() > 1)
            requests.append(bytes);
    }
    QVector<double> periods;
    QVector<double> gaps;
    qint64 previous = -1;
    for (auto it = requests.cbegin(); it != requests.cend(); ++it) {
        if (quint8(it->bytes.at(1)) != 0x50 || it->nanos < stretch.from || it->nanos > stretch.to)
            continue;
        if (previous >= 0)
            periods.append(double(it->nanos - previous) / 1e6);
        previous = it->nanos;
        const auto next = std::find_if(it, requests.cend(), [](const Bytes &next) {
            return quint8(next.bytes.at(1)) == 0x60;
        });
        if (next != requests.cend())
            gaps.append(double(next->nanos - it->nanos) / 1e6);
    }
    const auto add = [&](const char *figure, const QVector<double> &values, double set,
                         const char *target) {
        const double value = median(values);
        run.rows.append(
            {figure, platform,
             number(value, 1)
                 + QStringLiteral(" ms (n=%1, %2–%3)")
                       .arg(values.size())
                       .arg(number(percentile(values, 0), 0), number(percentile(values, 100), 0)),
             number(set, 0) + QStringLiteral(" ms set"), ratioText(value, set), target,
             verdict(values.size() >= 60 && std::fabs(value - set) <= 10)});
    };
    add("4 0x50 period, median", periods, 1000, "1000 ms ± 1 %");
    add("4 0x50 → 0x60 gap, median", gaps, 50, "50 ± 10 ms");
}
