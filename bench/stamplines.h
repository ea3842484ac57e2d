#ifndef STAMPLINES_H
#define STAMPLINES_H

#include <QByteArrayList>
#include <QString>
#include <QVector>

#include <cstdio>
#include <tuple>
#include <type_traits>

// The lines the benchmark programs print and corvane-bench reads back: a record a line, its kind
// and its fields separated by single spaces, in the order of its fields(), which both print() and
// read() follow. Texts carry no spaces, bytes go as hex, times are CLOCK_MONOTONIC nanoseconds
// (monotonic.h), so that stamps from different processes compare directly.
namespace StampLines {

// "unit <pty> <stimulus pty> <fifo|normal>": the unit's pseudo-terminals, the one the window
// polls and the one that feeds the pty floor, and its scheduling.
struct Unit
{
    static constexpr char kind[] = "unit";
    QString pty, stimulusPty, scheduling;
    auto fields() { return std::tie(pty, stimulusPty, scheduling); }
};

// "bytes <stream> <ns> <hex>": "answer" written to the window and "stimulus" to the pty floor,
// stamped once the last byte reached the pty; "request" received by the unit, to the millisecond.
struct Bytes
{
    static constexpr char kind[] = "bytes";
    QString stream;
    qint64 nanos = 0;
    QByteArray bytes;
    auto fields() { return std::tie(stream, nanos, bytes); }
};

// "paint <ns> <label> <text>": a watched label had been painted showing text.
struct Paint
{
    static constexpr char kind[] = "paint";
    qint64 nanos = 0;
    QString label, text;
    auto fields() { return std::tie(nanos, label, text); }
};

// "usage <from ns> <to ns> <cpu ns> <voluntary> <involuntary>": a process's CPU time (every
// thread) and context switches over a stretch of time...
struct Usage
{
    static constexpr char kind[] = "usage";
    qint64 from = 0, to = 0, cpuNanos = 0, voluntary = 0, involuntary = 0;
    auto fields() { return std::tie(from, to, cpuNanos, voluntary, involuntary); }
};

// ...and "thread <name> <switches>", those of each of its threads.
struct Thread
{
    static constexpr char kind[] = "thread";
    QString name;
    qint64 switches = 0;
    auto fields() { return std::tie(name, switches); }
};

// "cut <mode> <burst bytes> <packs per burst> <median ns per byte, -1 if packs went missing>
// <samples>".
struct Cut
{
    static constexpr char kind[] = "cut";
    QString mode;
    qint64 burstBytes = 0, packs = 0;
    double nanosPerByte = 0;
    qint64 samples = 0;
    auto fields() { return std::tie(mode, burstBytes, packs, nanosPerByte, samples); }
};

// "served <unit> <pty> <fifo|normal>": one of the units of bench_units, by its number.
struct Served
{
    static constexpr char kind[] = "served";
    qint64 unit = 0;
    QString pty, scheduling;
    auto fields() { return std::tie(unit, pty, scheduling); }
};

// "reading <unit> <serial> <ns>": a unit of bench_units wrote the answer that carries its
// serial'th reading; the last byte reached the pty at that time.
struct Reading
{
    static constexpr char kind[] = "reading";
    qint64 unit = 0, serial = 0, nanos = 0;
    auto fields() { return std::tie(unit, serial, nanos); }
};

// "subscribed <ns>" and "message <ns> <topic> <hex payload>": bench_subscriber's subscription
// was acknowledged, and a message arrived.
struct Subscribed
{
    static constexpr char kind[] = "subscribed";
    qint64 nanos = 0;
    auto fields() { return std::tie(nanos); }
};

struct Message
{
    static constexpr char kind[] = "message";
    qint64 nanos = 0;
    QString topic;
    QByteArray payload;
    auto fields() { return std::tie(nanos, topic, payload); }
};

// "replot <view> <ns>": one replot of the trend's plot, drawn and painted, and "plot <panel width>
// <panel height> <plot width> <plot height> <points a curve>", what it was drawn on and from.
struct Replot
{
    static constexpr char kind[] = "replot";
    QString view;
    qint64 nanos = 0;
    auto fields() { return std::tie(view, nanos); }
};

struct Plot
{
    static constexpr char kind[] = "plot";
    qint64 panelWidth = 0, panelHeight = 0, plotWidth = 0, plotHeight = 0, points = 0;
    auto fields() { return std::tie(panelWidth, panelHeight, plotWidth, plotHeight, points); }
};

// "memory <peak KiB> <readings>": a window's peak RSS and how many readings its history holds.
struct Memory
{
    static constexpr char kind[] = "memory";
    qint64 peakKiB = 0, readings = 0;
    auto fields() { return std::tie(peakKiB, readings); }
};

template <typename Record>
void print(std::FILE *out, Record record)
{
    QByteArray line = Record::kind;
    const auto add = [&line](const auto &value) {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, QString>)
            line += ' ' + value.toUtf8();
        else if constexpr (std::is_same_v<T, QByteArray>)
            line += ' ' + value.toHex();
        else
            line += ' ' + QByteArray::number(value);
    };
    std::apply([&add](const auto &...value) { (add(value), ...); }, record.fields());
    std::fprintf(out, "%s\n", line.constData());
}

// Every record of the kind in a program's output, but for a last line still being written.
template <typename Record>
QVector<Record> read(const QByteArray &output)
{
    QVector<Record> records;
    QByteArrayList lines = output.split('\n');
    lines.removeLast();
    for (const QByteArray &line : qAsConst(lines)) {
        const QByteArrayList texts = line.split(' ');
        Record record;
        int at = 0;
        const auto parse = [&](auto &value) {
            using T = std::decay_t<decltype(value)>;
            const QByteArray &text = texts.at(++at);
            bool ok = true;
            if constexpr (std::is_same_v<T, QString>)
                value = QString::fromUtf8(text);
            else if constexpr (std::is_same_v<T, QByteArray>)
                value = QByteArray::fromHex(text);
            else if constexpr (std::is_integral_v<T>)
                value = text.toLongLong(&ok);
            else
                value = text.toDouble(&ok);
            return ok;
        };
        if (texts.at(0) == Record::kind
            && texts.size() == 1 + int(std::tuple_size_v<decltype(record.fields())>)
            && std::apply([&parse](auto &...value) { return (parse(value) && ...); },
                          record.fields()))
            records.append(record);
    }
    return records;
}

} // namespace StampLines

#endif // STAMPLINES_H
