// 7. corvane-cli publish: 64 simulated units served by one publish process at 1 s against a local
// broker, and beside it the same units as 64 pipelines of `read --format jsonl` into
// mosquitto_pub: CPU time, memory and the latency from each answer to a subscriber. Then, under
// publish, the broker stopped and started again on the same port: how long until every reading
// of the outage has reached the subscriber, and how many never do. Last, the drain: the same
// outage against a broker that keeps mosquitto's default queue, with a consumer that takes 5 ms a
// message: how fast publish sends the backlog, and how many readings the broker drops for it.

#include "benchrun.h"
#include "broker.h"
#include "monotonic.h"
#include "stamplines.h"
#include "stats.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <numeric>
#include <signal.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Units = 64;
// Once every unit's readings arrive, before measuring: the start's bursts are over by then.
constexpr int WarmUpMsecs = 5000;
constexpr int StartMsecs = 60000;
constexpr int PollMsecs = 250;
// publish waits up to 60 s between tries; then the spool drains.
constexpr int DrainLimitMsecs = 150000;
// Readings written this close to publish's end may still be on their way; they are not counted.
constexpr qint64 EndMarginNanos = 2000000000;
// The units write their stamps out at least this often.
constexpr qint64 FlushNanos = 1500000000;
// The slow consumer of the drain: one message every 5 ms.
constexpr int ConsumerMsecs = 5;
const char MosquittoPub[] = "/usr/bin/mosquitto_pub";
const char SubscriberId[] = "bench-subscriber";

// The last line of what a program or the broker said, where the reason for an error is.
QString lastLine(const QString &text)
{
    return text.trimmed().section(QLatin1Char('\n'), -1).trimmed();
}

// Waits for a program the run started as NAME (BenchRun::start) to end; empty when it exited with
// 0, else how it ended and the last line of its standard error.
QString ending(const BenchRun &run, QProcess &child, int timeoutMsecs, const QString &name)
{
    const QString how = BenchRun::ended(child, timeoutMsecs);
    const QString said =
        lastLine(QString::fromLocal8Bit(run.output(name + QStringLiteral(".err"))));
    return how.isEmpty() ? how
                         : name + QLatin1Char(' ') + how
            + (said.isEmpty() ? QString() : QStringLiteral(": ") + said);
}

// The broker's own account of why it did not stop with 0.
QString brokerStop(Broker &broker)
{
    if (broker.stop())
        return {};
    QFile log(broker.path(QStringLiteral("broker.log")));
    const QString said =
        log.open(QIODevice::ReadOnly) ? lastLine(QString::fromUtf8(log.readAll())) : QString();
    return QStringLiteral("mosquitto did not exit with 0 on SIGTERM")
        + (said.isEmpty() ? QString() : QStringLiteral(": ") + said);
}

// What a row shows of its run's failures, the empty strings of those that went well left out.
QString failureText(QStringList failures)
{
    failures.removeAll(QString());
    if (failures.isEmpty())
        return {};
    return QStringLiteral("; run failed: ") + failures.mid(0, 2).join(QStringLiteral("; "))
        + (failures.size() > 2 ? QStringLiteral(" and %1 more").arg(failures.size() - 2)
                               : QString());
}

QString unitName(int unit)
{
    return QStringLiteral("u%1").arg(unit, 2, 10, QLatin1Char('0'));
}

QString stateTopic(int unit)
{
    return QStringLiteral("corvane/%1/state").arg(unitName(unit));
}

// What the units wrote and the subscriber received, read as their output grows. A message names
// its reading by its topic (the unit) and its humidity (the reading's serial).
class Tally
{
public:
    Tally(const BenchRun &run, const QString &units, const QString &subscriber)
        : run(run)
        , unitsOutput(units)
        , subscriberOutput(subscriber)
    { }

    static qint64 key(qint64 unit, qint64 serial) { return (unit << 32) | serial; }

    void update()
    {
        for (const auto &reading : fresh<StampLines::Reading>(unitsOutput, &unitsRead))
            written.insert(key(reading.unit, reading.serial), reading.nanos);
        for (const auto &message : fresh<StampLines::Message>(subscriberOutput, &messagesRead)) {
            const QStringList levels = message.topic.split(QLatin1Char('/'));
            const QJsonObject reading = QJsonDocument::fromJson(message.payload).object();
            bool ok = levels.size() == 3 && levels.at(1).startsWith(QLatin1Char('u'));
            const int unit = ok ? levels.at(1).mid(1).toInt(&ok) : -1;
            if (!ok || unit < 0 || unit >= Units
                || qRound(reading.value(QLatin1String("air_temperature_c")).toDouble() * 10)
                    != unit) {
                ++foreign;
                continue;
            }
            lastArrival[unit] = message.nanos;
            const qint64 serial =
                qRound64(reading.value(QLatin1String("humidity_rh")).toDouble() * 10);
            const auto known = received.constFind(key(unit, serial));
            if (known != received.constEnd())
                ++duplicates;
            else
                received.insert(key(unit, serial), message.nanos);
        }
    }

    // The units none of whose readings has arrived since then.
    int silentSince(qint64 nanos) const
    {
        return int(std::count_if(lastArrival.cbegin(), lastArrival.cend(),
                                 [nanos](qint64 arrival) { return arrival <= nanos; }));
    }

    // Polls until every unit's readings arrive or the time is up; empty when they did, else why.
    QString waitArriving(qint64 since, int timeoutMsecs)
    {
        QElapsedTimer waited;
        waited.start();
        do {
            QThread::msleep(PollMsecs);
            update();
        } while (silentSince(since) > 0 && waited.elapsed() < timeoutMsecs);
        const int silent = silentSince(since);
        return silent == 0 ? QString()
                           : QStringLiteral("no reading of %1 units reached %2 within %3 s")
                                 .arg(silent)
                                 .arg(subscriberOutput.section(QLatin1Char('.'), 0, 0))
                                 .arg(timeoutMsecs / 1000);
    }

    // key → the time the answer was written, and the time its reading first arrived.
    QHash<qint64, qint64> written;
    QHash<qint64, qint64> received;
    qint64 duplicates = 0;
    qint64 foreign = 0;

private:
    template <typename Record>
    QVector<Record> fresh(const QString &name, qint64 *consumed)
    {
        QFile file(run.workFile(name));
        if (!file.open(QIODevice::ReadOnly) || !file.seek(*consumed))
            return {};
        const QByteArray data = file.readAll();
        const int whole = data.lastIndexOf('\n') + 1;
        *consumed += whole;
        return StampLines::read<Record>(data.left(whole));
    }

    const BenchRun &run;
    const QString unitsOutput;
    const QString subscriberOutput;
    qint64 unitsRead = 0;
    qint64 messagesRead = 0;
    QVector<qint64> lastArrival = QVector<qint64>(Units, 0);
};

// The answers written in [from, to): milliseconds from each to its reading's first arrival, how
// many never arrived, and the shortest part of a second that holds every unit's answer time (the
// units are asked at 1 s: a burst when they are asked together, up to 1000 ms when spread).
struct Latency
{
    QVector<double> msecs;
    int lost = 0;
    double spreadMsecs = 0;
};

Latency latency(const Tally &tally, qint64 from, qint64 to)
{
    Latency result;
    QVector<qint64> firsts(Units, -1);
    for (auto answer = tally.written.cbegin(); answer != tally.written.cend(); ++answer) {
        if (answer.value() < from || answer.value() >= to)
            continue;
        // Each unit's first answer of the stretch, which may come late, by its place in a second.
        qint64 &first = firsts[int(answer.key() >> 32)];
        if (first < 0 || answer.value() < first)
            first = answer.value();
        const auto arrival = tally.received.constFind(answer.key());
        if (arrival == tally.received.constEnd())
            ++result.lost;
        else
            result.msecs.append(double(arrival.value() - answer.value()) / 1e6);
    }
    // The second less its largest gap between answer times, going round.
    QVector<qint64> phases;
    for (const qint64 first : qAsConst(firsts)) {
        if (first >= 0)
            phases.append((first - from) % 1000000000);
    }
    std::sort(phases.begin(), phases.end());
    if (!phases.isEmpty()) {
        qint64 gap = phases.first() + 1000000000 - phases.last();
        for (int i = 1; i < phases.size(); ++i)
            gap = std::max(gap, phases.at(i) - phases.at(i - 1));
        result.spreadMsecs = double(1000000000 - gap) / 1e6;
    }
    return result;
}

// What one measured stretch gave: CPU (% of one core) and resident memory of each process, the
// broker's CPU and the latency, with what went wrong with its processes.
struct Window
{
    double seconds = 0;
    QVector<double> cpuPercent;
    QVector<qint64> rssKiB;
    double brokerPercent = 0;
    Latency latency;
    QStringList failures;

    // Over the processes [from, to), by default all.
    double cpu(int from = 0, int to = -1) const
    {
        return std::accumulate(cpuPercent.cbegin() + from,
                               to < 0 ? cpuPercent.cend() : cpuPercent.cbegin() + to, 0.0);
    }
    qint64 rss(int from = 0, int to = -1) const
    {
        return std::accumulate(rssKiB.cbegin() + from,
                               to < 0 ? rssKiB.cend() : rssKiB.cbegin() + to, qint64(0));
    }
};

// Measures the processes over the run's stretch once every unit's readings arrive.
Window measureWindow(const BenchRun &run, Tally &tally, const QVector<qint64> &pids,
                     qint64 brokerPid, qint64 startedAt)
{
    Window window;
    window.failures << tally.waitArriving(startedAt, StartMsecs);
    QThread::msleep(WarmUpMsecs);
    QVector<ProcessUsage> from;
    for (const qint64 pid : pids)
        from.append(processUsage(pid));
    const double brokerFrom = processUsage(brokerPid).cpuNanos;
    const qint64 fromNanos = monotonicNanos();
    QThread::msleep(ulong(run.publishMsecs));
    const qint64 toNanos = monotonicNanos();
    window.seconds = double(toNanos - fromNanos) / 1e9;
    for (int i = 0; i < pids.size(); ++i) {
        window.cpuPercent.append((processUsage(pids.at(i)).cpuNanos - from.at(i).cpuNanos)
                                 / window.seconds / 1e7);
        window.rssKiB.append(residentKiB(pids.at(i)));
    }
    window.brokerPercent = (processUsage(brokerPid).cpuNanos - brokerFrom) / window.seconds / 1e7;
    // The units' output is flushed once a second; the last readings of the stretch are in it
    // after that, and have arrived.
    QThread::msleep(1500);
    tally.update();
    window.latency = latency(tally, fromNanos, toNanos);
    return window;
}

QString milliseconds(double value)
{
    return number(value, 1) + QStringLiteral(" ms");
}

struct Recovery
{
    double reconnectSecs = 0;
    double drainedSecs = 0;
    int gapReadings = 0;
    double drainRate = 0; // readings a second from the reconnection until caught up
    int counted = 0;
    int missing = 0;
    qint64 duplicates = 0;
    bool drained = false;
    // The readings counted are those written in [countedFrom, countedTo).
    qint64 countedFrom = 0;
    qint64 countedTo = 0;
    QStringList failures;
};

// Stops the broker for the outage and starts it again on the same port; returns once every
// reading written until publish connected again has arrived, or the limit has passed.
Recovery recover(const BenchRun &run, Broker &broker, Tally &tally, qint64 publishStartedAt,
                 QProcess &publish, const QString &publishName)
{
    Recovery recovery;
    // From the broker's exit on, no reading can reach the subscriber before the restart.
    recovery.failures << brokerStop(broker);
    const qint64 stoppedAt = monotonicNanos();
    QThread::msleep(
        ulong(std::max<qint64>(0, run.outageMsecs - (monotonicNanos() - stoppedAt) / 1000000)));
    const QString restartError = broker.start();
    if (!restartError.isEmpty())
        recovery.failures << QStringLiteral("the broker did not start again: ")
                + lastLine(restartError);
    const qint64 restartedAt = monotonicNanos();
    // A reading written while the broker was down arrives only once publish has connected
    // again (the broker may still hand the subscriber older ones it held).
    const auto reconnectedAt = [&tally, stoppedAt] {
        qint64 first = 0;
        for (auto answer = tally.written.cbegin(); answer != tally.written.cend(); ++answer) {
            const auto arrival = tally.received.constFind(answer.key());
            if (answer.value() >= stoppedAt && arrival != tally.received.constEnd()
                && (first == 0 || arrival.value() < first))
                first = arrival.value();
        }
        return first;
    };
    // Every reading written from publish's start until then has arrived.
    const auto allArrived = [&tally, publishStartedAt](qint64 until) {
        for (auto answer = tally.written.cbegin(); answer != tally.written.cend(); ++answer) {
            if (answer.value() >= publishStartedAt && answer.value() < until
                && !tally.received.contains(answer.key()))
                return false;
        }
        return true;
    };
    QElapsedTimer waited;
    waited.start();
    // Drained once publish has caught up with the units: the readings of the outage, and the
    // live ones that queued behind them while the backlog went out at its pace.
    qint64 caughtUp = 0;
    while (restartError.isEmpty() && !recovery.drained && waited.elapsed() < DrainLimitMsecs) {
        QThread::msleep(PollMsecs);
        tally.update();
        // After the units' next flush their output holds every reading written until then.
        caughtUp = monotonicNanos() - FlushNanos;
        recovery.drained =
            reconnectedAt() > 0 && caughtUp > reconnectedAt() && allArrived(caughtUp);
    }
    QThread::msleep(2000);
    ::kill(pid_t(publish.processId()), SIGTERM);
    const qint64 publishStoppedAt = monotonicNanos();
    recovery.failures << ending(run, publish, 5000, publishName);
    QThread::msleep(1500);
    tally.update();

    // Without a reconnection every reading since the outage began is one of the outage.
    const qint64 reconnected = reconnectedAt() > 0 ? reconnectedAt() : publishStoppedAt;
    recovery.reconnectSecs = double(reconnected - restartedAt) / 1e9;
    qint64 drainedAt = reconnected;
    int sentAfterReconnecting = 0;
    recovery.countedFrom = publishStartedAt;
    recovery.countedTo = publishStoppedAt - EndMarginNanos;
    for (auto answer = tally.written.cbegin(); answer != tally.written.cend(); ++answer) {
        if (answer.value() < recovery.countedFrom || answer.value() >= recovery.countedTo)
            continue;
        ++recovery.counted;
        const auto arrival = tally.received.constFind(answer.key());
        if (arrival == tally.received.constEnd()) {
            ++recovery.missing;
            continue;
        }
        if (answer.value() >= stoppedAt && answer.value() < reconnected)
            ++recovery.gapReadings;
        if (recovery.drained && answer.value() < caughtUp)
            drainedAt = std::max(drainedAt, arrival.value());
    }
    for (const qint64 arrival : qAsConst(tally.received)) {
        if (arrival >= reconnected && arrival <= drainedAt)
            ++sentAfterReconnecting;
    }
    recovery.drainedSecs = double(drainedAt - restartedAt) / 1e9;
    recovery.drainRate = drainedAt > reconnected
        ? sentAfterReconnecting / (double(drainedAt - reconnected) / 1e9)
        : 0;
    recovery.duplicates = tally.duplicates;
    return recovery;
}

// The same units as pipelines of read into mosquitto_pub, one per unit, measured all together.
// The processes are the readers, then the mosquitto_pub processes.
Window measurePipelines(const BenchRun &run, Tally &tally, const QStringList &ptys,
                        const Broker &broker)
{
    std::vector<std::unique_ptr<QProcess>> readers;
    std::vector<std::unique_ptr<QProcess>> senders;
    QVector<qint64> readerPids;
    QVector<qint64> senderPids;
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const qint64 startedAt = monotonicNanos();
    for (int unit = 0; unit < Units; ++unit) {
        readers.push_back(std::make_unique<QProcess>());
        senders.push_back(std::make_unique<QProcess>());
        QProcess &reader = *readers.back();
        QProcess &sender = *senders.back();
        reader.setStandardOutputProcess(&sender);
        run.start(sender, MosquittoPub,
                  {QStringLiteral("-l"), QStringLiteral("-q"), QStringLiteral("1"),
                   QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                   QString::number(broker.port), QStringLiteral("-t"), stateTopic(unit)},
                  environment, QStringLiteral("pipe-pub-") + unitName(unit));
        reader.setProcessEnvironment(environment);
        reader.setStandardErrorFile(
            run.workFile(QStringLiteral("pipe-read-%1.err").arg(unitName(unit))));
        reader.start(QLatin1String(CORVANE_CLI),
                     {QStringLiteral("read"), QStringLiteral("--port"), ptys.at(unit),
                      QStringLiteral("--format"), QStringLiteral("jsonl")});
        sender.waitForStarted();
        reader.waitForStarted();
        readerPids.append(reader.processId());
        senderPids.append(sender.processId());
    }
    Window window =
        measureWindow(run, tally, readerPids + senderPids, broker.processId(), startedAt);
    for (const auto &reader : readers)
        ::kill(pid_t(reader->processId()), SIGTERM);
    // read ends on SIGTERM with 0; mosquitto_pub then sees the end of its input. Their failures
    // by how they failed, read's and mosquitto_pub's.
    const QString names[2] = {QStringLiteral("pipe-read-"), QStringLiteral("pipe-pub-")};
    QMap<QString, QStringList> failed[2];
    for (int kind = 0; kind < 2; ++kind) {
        for (int unit = 0; unit < Units; ++unit) {
            QProcess &process = kind == 0 ? *readers.at(size_t(unit)) : *senders.at(size_t(unit));
            const QString why = ending(run, process, 5000, names[kind] + unitName(unit));
            if (!why.isEmpty())
                failed[kind][why.mid(names[kind].size() + 3)].append(unitName(unit));
        }
    }
    // A failing mosquitto_pub breaks its read's pipe: its failure comes first, and pipelines that
    // failed alike are named once.
    for (int kind = 1; kind >= 0; --kind) {
        for (auto alike = failed[kind].cbegin(); alike != failed[kind].cend(); ++alike) {
            const QStringList &units = alike.value();
            window.failures << names[kind] + units.first()
                    + (units.size() > 1 ? QStringLiteral(" and %1 more").arg(units.size() - 1)
                                        : QString())
                    + alike.key();
        }
    }
    return window;
}

// bench_units serving the units, its ptys once all are open (fewer when it failed) and whether
// they run with real-time scheduling.
QStringList startUnits(const BenchRun &run, QProcess &units, const QString &name, bool *realtime)
{
    run.start(units, "bench_units", {QString::number(Units)},
              QProcessEnvironment::systemEnvironment(), name);
    QStringList ptys;
    for (int waited = 0; waited < 10000 && ptys.size() < Units; waited += 50) {
        QThread::msleep(50);
        ptys.clear();
        *realtime = true;
        for (const auto &served :
             StampLines::read<StampLines::Served>(run.output(name + QStringLiteral(".out")))) {
            ptys.append(served.pty);
            *realtime = *realtime && served.scheduling == QLatin1String("fifo");
        }
    }
    return ptys;
}

// bench_subscriber on the state topics; true once its subscription is acknowledged.
bool startSubscriber(const BenchRun &run, QProcess &subscriber, const Broker &broker,
                     const QString &name, const QStringList &arguments)
{
    run.start(subscriber, "bench_subscriber",
              QStringList{QString::number(broker.port), QStringLiteral("corvane/+/state")}
                  + arguments,
              QProcessEnvironment::systemEnvironment(), name);
    for (int waited = 0; waited < 10000; waited += 50) {
        QThread::msleep(50);
        if (!StampLines::read<StampLines::Subscribed>(run.output(name + QStringLiteral(".out")))
                 .isEmpty())
            return true;
    }
    return false;
}

// publish serving every unit at 1 s.
void startPublish(const BenchRun &run, QProcess &publish, const Broker &broker,
                  const QStringList &ptys, const QString &name)
{
    QStringList arguments = {QStringLiteral("publish"),
                             QStringLiteral("--broker"),
                             broker.url(),
                             QStringLiteral("--interval"),
                             QStringLiteral("1"),
                             QStringLiteral("--client-id"),
                             QStringLiteral("corvane-bench"),
                             QStringLiteral("--spool"),
                             run.workFile(name + QStringLiteral("-spool"))};
    for (int unit = 0; unit < Units; ++unit)
        arguments << QStringLiteral("--port") << ptys.at(unit) + QLatin1Char('=') + unitName(unit);
    run.start(publish, CORVANE_CLI, arguments, QProcessEnvironment::systemEnvironment(), name);
    publish.waitForStarted();
}

// Why the units or a subscriber did not come up, once they are stopped.
QString startFailure(const QStringList &ptys, bool subscribed, const QString &subscriberName)
{
    if (ptys.size() < Units)
        return QStringLiteral("%1 of %2 units opened a pty within 10 s")
            .arg(ptys.size())
            .arg(Units);
    return subscribed ? QString()
                      : subscriberName + QStringLiteral(" had no subscription within 10 s");
}

} // namespace

void measurePublish(BenchRun &run)
{
    std::fprintf(stderr,
                 "corvane-bench: corvane-cli publish, %d units: %d s measured, a %d s broker "
                 "outage, then %d pipelines for %d s\n",
                 Units, run.publishMsecs / 1000, run.outageMsecs / 1000, Units,
                 run.publishMsecs / 1000);
    const auto failed = [&run](const QString &why) {
        run.rows.append({"7 publish, 64 units", "—", "run failed: " + why, "—", "—", "—", "MISS"});
    };
    // The suites' broker, its directory in the work folder. Sessions and queued messages persist
    // over a restart, as on a plant's broker, so that the subscriber's session outlives the outage.
    Broker broker({}, run.workDir);
    const QString brokerError = broker.start();
    if (!brokerError.isEmpty())
        return failed(QStringLiteral("the broker did not start: ") + lastLine(brokerError));
    QProcess units;
    bool realtime = true;
    const QStringList ptys = startUnits(run, units, QStringLiteral("publish-units"), &realtime);
    QProcess subscriber;
    const bool subscribed = ptys.size() == Units
        && startSubscriber(run, subscriber, broker, QStringLiteral("publish-subscriber"),
                           {QLatin1String(SubscriberId)});
    // The helpers run to the end; how they ended goes on every row.
    const auto stopHelpers = [&] {
        units.closeWriteChannel();
        QStringList failures = {ending(run, units, 10000, QStringLiteral("publish-units"))};
        if (subscriber.state() != QProcess::NotRunning) {
            ::kill(pid_t(subscriber.processId()), SIGTERM);
            failures << ending(run, subscriber, 5000, QStringLiteral("publish-subscriber"));
        }
        return failures << brokerStop(broker);
    };
    const QString startError = startFailure(ptys, subscribed, QStringLiteral("publish-subscriber"));
    if (!startError.isEmpty())
        return failed(startError + failureText(stopHelpers()));
    Tally tally(run, QStringLiteral("publish-units.out"), QStringLiteral("publish-subscriber.out"));

    QProcess publish;
    const qint64 publishStartedAt = monotonicNanos();
    startPublish(run, publish, broker, ptys, QStringLiteral("publish"));
    Window gateway =
        measureWindow(run, tally, {publish.processId()}, broker.processId(), publishStartedAt);
    // publish ends only when told to: ended by now, its figures are not a whole stretch's.
    if (publish.waitForFinished(0))
        gateway.failures << ending(run, publish, 0, QStringLiteral("publish"));
    const Recovery recovery =
        recover(run, broker, tally, publishStartedAt, publish, QStringLiteral("publish"));

    const Window pipelines = measurePipelines(run, tally, ptys, broker);
    const QStringList helpers = stopHelpers();

    // Each row carries the failures of the stretches its figures come from.
    const QString stretches = failureText(gateway.failures + pipelines.failures + helpers);
    const QString outage = failureText(recovery.failures + helpers);
    for (const QString &failure :
         gateway.failures + recovery.failures + pipelines.failures + helpers) {
        if (!failure.isEmpty())
            std::fprintf(stderr, "corvane-bench: publish: %s\n", qPrintable(failure));
    }
    const QString over = QStringLiteral(" over %1 s").arg(number(gateway.seconds, 0));
    run.rows.append({"7 CPU, publish, 64 units at 1 s", "—",
                     number(gateway.cpu(), 2) + " %" + over + stretches,
                     number(pipelines.cpu(), 2) + " % (64 pipelines)",
                     ratioText(gateway.cpu(), pipelines.cpu()), "≤ 0.5× the pipelines'",
                     verdict(gateway.cpu() <= 0.5 * pipelines.cpu())});
    run.rows.append({"7 RSS, publish, 64 units", "—",
                     QStringLiteral("%1 KiB").arg(gateway.rss()) + stretches,
                     QStringLiteral("%1 KiB (128 processes)").arg(pipelines.rss()),
                     ratioText(double(gateway.rss()), double(pipelines.rss())), "info", "info"});
    const auto latencyRow = [&](const char *figure, double p) {
        const auto value = [p](const Window &window) {
            return p == 50 ? median(window.latency.msecs) : percentile(window.latency.msecs, p);
        };
        const auto detail = [p](const Window &window) {
            return p == 50
                ? QStringLiteral(" (n=%1, %2 lost)")
                      .arg(window.latency.msecs.size())
                      .arg(window.latency.lost)
                : QStringLiteral(" (max %1)").arg(number(percentile(window.latency.msecs, 100), 1));
        };
        const double measured = value(gateway);
        const double floor = value(pipelines);
        run.rows.append({figure, "—", milliseconds(measured) + detail(gateway) + stretches,
                         milliseconds(floor) + detail(pipelines), ratioText(measured, floor),
                         "≤ 1.2× the pipelines'",
                         verdict(gateway.latency.lost == 0 && !gateway.latency.msecs.isEmpty()
                                 && measured <= 1.2 * floor)});
    };
    latencyRow("7 answer → subscriber, median", 50);
    latencyRow("7 answer → subscriber, p99", 99);
    run.rows.append(
        {QStringLiteral("7 broker down %1 s: restart → spool drained").arg(run.outageMsecs / 1000),
         "—",
         (recovery.drained
              ? QStringLiteral("%1 s (connected after %2 s)")
                    .arg(number(recovery.drainedSecs, 1), number(recovery.reconnectSecs, 1))
              : QStringLiteral("not drained after %1 s").arg(DrainLimitMsecs / 1000))
             + outage,
         QStringLiteral("%1 readings of the outage").arg(recovery.gapReadings), "—", "info",
         recovery.drained ? "info" : "MISS"});
    run.rows.append({"7 readings missing after the outage", "—",
                     QStringLiteral("%1 of %2 (%3 twice)")
                             .arg(recovery.missing)
                             .arg(recovery.counted)
                             .arg(recovery.duplicates)
                         + outage,
                     "—", "—", "0", verdict(recovery.drained && recovery.missing == 0)});
    run.notes.append(
        QStringLiteral("publish: the pipelines' CPU %1 % in read, %2 % in mosquitto_pub; the "
                       "broker's %3 % under publish, %4 % under the pipelines")
            .arg(number(pipelines.cpu(0, Units), 2), number(pipelines.cpu(Units), 2),
                 number(gateway.brokerPercent, 2), number(pipelines.brokerPercent, 2)));
    run.notes.append(
        QStringLiteral("publish: each second the units answer within %1 ms under "
                       "publish, within %2 ms under the pipelines")
            .arg(number(gateway.latency.spreadMsecs, 0), number(pipelines.latency.spreadMsecs, 0)));
    if (!realtime)
        run.notes.append(QStringLiteral("publish: the units ran without real-time scheduling: "
                                        "their stamps may come late"));
    if (tally.foreign > 0)
        run.notes.append(
            QStringLiteral("publish: %1 messages named no unit's reading").arg(tally.foreign));
}

void measureDrain(BenchRun &run)
{
    std::fprintf(stderr,
                 "corvane-bench: corvane-cli publish, %d units: the drain after a %d s broker "
                 "outage to a consumer of %d messages a second\n",
                 Units, run.outageMsecs / 1000, 1000 / ConsumerMsecs);
    const QString figure =
        QStringLiteral("7 broker down %1 s, default queue: drain").arg(run.outageMsecs / 1000);
    const auto failed = [&run, &figure](const QString &why) {
        run.rows.append({figure, "—", "run failed: " + why, "—", "—", "—", "MISS"});
    };
    // mosquitto's default queue, 1,000 messages a client beyond those in flight, which the
    // harness lifts: a broker as installed drops what a slow consumer cannot take in time.
    Broker broker({}, run.workDir);
    QFile config(broker.path(QStringLiteral("mosquitto.conf")));
    QByteArray settings = config.open(QIODevice::ReadOnly) ? config.readAll() : QByteArray();
    config.close();
    if (!settings.contains("\nmax_queued_messages 0\n"))
        return failed(QStringLiteral("no max_queued_messages 0 to drop in ") + config.fileName());
    settings.replace("\nmax_queued_messages 0\n", "\n");
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate) || config.write(settings) < 0)
        return failed(config.fileName() + QStringLiteral(": ") + config.errorString());
    config.close();
    const QString brokerError = broker.start();
    if (!brokerError.isEmpty())
        return failed(QStringLiteral("the broker did not start: ") + lastLine(brokerError));
    // The fast subscriber shows when publish's readings reach the broker; the consumer takes
    // ConsumerMsecs a message, as one that stores each reading would.
    QProcess units;
    bool realtime = true;
    const QStringList ptys = startUnits(run, units, QStringLiteral("drain-units"), &realtime);
    QProcess fast;
    QProcess consumer;
    const bool subscribed = ptys.size() == Units
        && startSubscriber(run, fast, broker, QStringLiteral("drain-fast"),
                           {QStringLiteral("bench-drain-fast")})
        && startSubscriber(run, consumer, broker, QStringLiteral("drain-consumer"),
                           {QStringLiteral("bench-drain-consumer"),
                            QString::number(ConsumerMsecs)});
    const auto stopHelpers = [&] {
        units.closeWriteChannel();
        QStringList failures = {ending(run, units, 10000, QStringLiteral("drain-units"))};
        for (QProcess *subscriber : {&fast, &consumer}) {
            if (subscriber->state() == QProcess::NotRunning)
                continue;
            ::kill(pid_t(subscriber->processId()), SIGTERM);
            failures << ending(run, *subscriber, 5000,
                               subscriber == &fast ? QStringLiteral("drain-fast")
                                                   : QStringLiteral("drain-consumer"));
        }
        return failures << brokerStop(broker);
    };
    const QString startError =
        startFailure(ptys, subscribed,
                     fast.state() == QProcess::NotRunning ? QStringLiteral("drain-fast")
                                                          : QStringLiteral("drain-consumer"));
    if (!startError.isEmpty())
        return failed(startError + failureText(stopHelpers()));
    Tally received(run, QStringLiteral("drain-units.out"), QStringLiteral("drain-fast.out"));
    Tally consumed(run, QStringLiteral("drain-units.out"), QStringLiteral("drain-consumer.out"));

    QProcess publish;
    const qint64 publishStartedAt = monotonicNanos();
    startPublish(run, publish, broker, ptys, QStringLiteral("drain-publish"));
    QStringList failures = {received.waitArriving(publishStartedAt, StartMsecs),
                            consumed.waitArriving(publishStartedAt, StartMsecs)};
    const Recovery recovery =
        recover(run, broker, received, publishStartedAt, publish, QStringLiteral("drain-publish"));
    // publish has ended: what the broker queued for the consumer is all it will get, once
    // nothing more has come for a few seconds.
    QElapsedTimer waited;
    waited.start();
    qint64 quietSince = 0;
    int count = -1;
    while (waited.elapsed() < DrainLimitMsecs && waited.elapsed() < quietSince + 5000) {
        QThread::msleep(PollMsecs);
        consumed.update();
        if (consumed.received.size() != count) {
            count = consumed.received.size();
            quietSince = waited.elapsed();
        }
    }
    int missed = 0;
    for (auto answer = consumed.written.cbegin(); answer != consumed.written.cend(); ++answer) {
        if (answer.value() >= recovery.countedFrom && answer.value() < recovery.countedTo
            && !consumed.received.contains(answer.key()))
            ++missed;
    }
    failures << recovery.failures << stopHelpers();
    const QString failure = failureText(failures);
    for (const QString &text : qAsConst(failures)) {
        if (!text.isEmpty())
            std::fprintf(stderr, "corvane-bench: drain: %s\n", qPrintable(text));
    }

    // From publish's reconnection to the last reading of the outage reaching the broker.
    const double drainSecs = recovery.drainedSecs - recovery.reconnectSecs;
    run.rows.append(
        {figure, "—",
         (recovery.drained ? QStringLiteral("%1 s, %2 readings a second (connected after %3 s)")
                                 .arg(number(drainSecs, 1), number(recovery.drainRate, 0),
                                      number(recovery.reconnectSecs, 1))
                           : QStringLiteral("not drained after %1 s").arg(DrainLimitMsecs / 1000))
             + failure,
         QStringLiteral("%1 readings of the outage").arg(recovery.gapReadings), "—", "info",
         recovery.drained ? "info" : "MISS"});
    run.rows.append(
        {QStringLiteral("7 readings a consumer of %1 a second misses").arg(1000 / ConsumerMsecs),
         "—",
         QStringLiteral("%1 of %2 (%3 twice)")
                 .arg(missed)
                 .arg(recovery.counted)
                 .arg(consumed.duplicates)
             + failure,
         QStringLiteral("%1 missed by a fast subscriber").arg(recovery.missing), "—", "0",
         verdict(recovery.counted > 0 && missed == 0)});
    if (!realtime)
        run.notes.append(QStringLiteral("drain: the units ran without real-time scheduling"));
}
