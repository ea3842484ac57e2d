#include "calibration.h"

#include "cli.h"
#include "interruptwatcher.h"
#include "lineoutput.h"
#include "portfinder.h"
#include "samplewriter.h"
#include "unitsession.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int AnswerTimeoutMsecs = 2000;
constexpr int SampleMsecs = 1000;
constexpr int PlainSamples = 3;
// A reading gives up when this many samples in a row get no intact answer.
constexpr int UnansweredLimit = 3;

struct Sample
{
    qint64 msecs; // when it was due, so that a window of S seconds holds whole sample steps
    int tenths;
};

int spreadOf(const QList<Sample> &samples)
{
    const auto [lowest, highest] =
        std::minmax_element(samples.begin(), samples.end(),
                            [](const Sample &a, const Sample &b) { return a.tenths < b.tenths; });
    return highest->tenths - lowest->tenths;
}

QJsonObject summaryOf(const QList<Sample> &samples)
{
    double sum = 0;
    for (const Sample &sample : samples)
        sum += sample.tenths;
    return QJsonObject{
        {QStringLiteral("mean"), std::round(sum * 10.0 / samples.size()) / 100.0},
        {QStringLiteral("spread"), spreadOf(samples) / 10.0},
        {QStringLiteral("samples"), samples.size()},
    };
}

QJsonObject conditionsOf(const QByteArray &payload)
{
    QJsonObject conditions;
    for (const auto &channel : SensorProtocol::Channels)
        conditions.insert(QLatin1String(channel.key),
                          SensorProtocol::measuredTenths(payload, channel.field) / 10.0);
    return conditions;
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

} // namespace

Calibration::Calibration(const Options &options)
    : options(options)
{ }

int Calibration::run()
{
    const SensorProtocol::Channel *channel = SensorProtocol::channelNamed(options.channel);
    if (!channel) {
        Cli::message(QStringLiteral("unknown channel %1: temperature, humidity, pressure or oil")
                         .arg(options.channel));
        return Cli::Usage;
    }
    const quint8 command = channel->calibrationCommand;
    const SensorProtocol::CalibrationValue value =
        SensorProtocol::calibrationValue(options.reference, command);
    if (value.verdict == SensorProtocol::CalibrationValue::NotANumber) {
        Cli::message(QStringLiteral("%1 is not a plain decimal number").arg(options.reference));
        return Cli::Usage;
    }
    if (value.verdict == SensorProtocol::CalibrationValue::OutOfRange) {
        const SensorProtocol::Range range = SensorProtocol::calibrationRange(command);
        Cli::message(QStringLiteral("%1 is outside the %2 range %3 to %4")
                         .arg(options.reference, QLatin1String(channel->name))
                         .arg(range.lowest / 10.0)
                         .arg(range.highest / 10.0));
        return Cli::Usage;
    }
    field = channel->field;

    LineOutput record;
    if (!options.recordPath.isEmpty() && !record.openFile(options.recordPath)) {
        Cli::message(options.recordPath + QStringLiteral(" cannot be written: ")
                     + record.errorString());
        return Cli::CannotWrite;
    }
    QString port;
    const int chosen = PortFinder::choose(options.port, options.allPorts, &port);
    if (chosen != Cli::Done)
        return chosen;
    UnitSession session;
    const int opened = session.open(port, AnswerTimeoutMsecs);
    if (opened != Cli::Done)
        return opened;
    const Reading asFound = takeReading(session, "as-found");
    if (asFound.exit != Cli::Done)
        return asFound.exit;

    // From here on the unit may hold the new value: a signal no longer ends the program but the
    // as-left reading, and the record is written all the same.
    InterruptWatcher interrupts;
    int signalNumber = 0;
    bool readingAsLeft = false;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &session, [&](int number) {
        signalNumber = number;
        if (readingAsLeft)
            session.interrupt();
    });
    const QByteArray pack =
        SensorProtocol::pack(command, SensorProtocol::valuePayload(value.tenths));
    const QDateTime sentAt = QDateTime::currentDateTime();
    const QByteArray answer = session.request(pack, command, AnswerTimeoutMsecs);
    int exit = Cli::Done;
    QString verdict = QStringLiteral("succeeded");
    if (answer.isEmpty()) {
        Cli::message(QStringLiteral("no answer to the calibration"));
        exit = Cli::NoUnit;
        verdict = QStringLiteral("no answer");
    } else if (!SensorProtocol::calibrationSucceeded(answer)) {
        Cli::message(QStringLiteral("the unit reports the calibration failed"));
        exit = Cli::UnitFailed;
        verdict = QStringLiteral("failed");
    }
    QJsonValue asLeft;
    if (exit == Cli::Done) {
        // A signal while the unit answered leaves no as-left reading to take.
        if (signalNumber != 0)
            session.interrupt();
        readingAsLeft = true;
        const Reading reading = takeReading(session, "as-left");
        exit = reading.exit;
        asLeft = reading.summary;
    }
    if (signalNumber != 0) {
        Cli::message(QStringLiteral("stopped by signal %1 after the calibration went out; the "
                                    "record is written")
                         .arg(signalNumber));
        exit = Cli::Signalled + signalNumber;
    }
    const int status = answer.isEmpty() ? -1 : SensorProtocol::calibrationStatus(answer);

    const QJsonObject entry{
        {QStringLiteral("time"), SampleWriter::isoTime(sentAt)},
        {QStringLiteral("program"), QCoreApplication::applicationName()},
        {QStringLiteral("version"), QCoreApplication::applicationVersion()},
        {QStringLiteral("port"), port},
        {QStringLiteral("operator"), textOrNull(options.operatorName)},
        {QStringLiteral("reference_id"), textOrNull(options.referenceId)},
        {QStringLiteral("channel"), QLatin1String(channel->name)},
        {QStringLiteral("unit"), QString::fromUtf8(channel->unit)},
        {QStringLiteral("reference"), options.reference},
        {QStringLiteral("pack"), QString::fromLatin1(pack.toHex(' ').toUpper())},
        {QStringLiteral("as_found"), asFound.summary},
        {QStringLiteral("verdict"), verdict},
        {QStringLiteral("status"), status < 0 ? QJsonValue() : QJsonValue(status)},
        {QStringLiteral("as_left"), asLeft},
        {QStringLiteral("conditions"), conditionsOf(asFound.lastPayload)},
    };
    return writeRecord(QJsonDocument(entry).toJson(QJsonDocument::Compact), record, exit);
}

int Calibration::writeRecord(const QByteArray &line, LineOutput &record, int exit)
{
    // The file first, synced, then stdout: whatever fails after, the record is on the disk.
    bool kept = false;
    if (record.isOpen()) {
        kept = record.writeLine(line) && record.sync();
        if (!kept) {
            Cli::message(options.recordPath + QStringLiteral(" cannot be written: ")
                         + record.errorString());
            exit = Cli::CannotWrite;
        }
    }
    LineOutput out;
    if (!out.openStream(LineOutput::StandardOutput) || !out.writeLine(line)) {
        Cli::message(QStringLiteral("stdout cannot be written: ") + out.errorString());
        // The last place left, so that a record that is nowhere else is at least in the log.
        if (!kept)
            Cli::message(QStringLiteral("the record: ") + QString::fromUtf8(line));
        exit = Cli::CannotWrite;
    }
    return exit;
}

Calibration::Reading Calibration::takeReading(UnitSession &session, const char *which)
{
    const Reading failed{Cli::NoUnit, QJsonValue(), QByteArray()};
    const bool settling = options.settleSecs > 0;
    const qint64 windowMsecs = qint64(options.settleSecs * 1000);
    const qint64 giveUpMsecs = qint64(options.settleTimeoutSecs * 1000);
    const bool showSpread = settling && Cli::isTerminal(2);
    QList<Sample> samples;
    QByteArray lastPayload;
    int unanswered = 0;
    QElapsedTimer clock;
    clock.start();
    for (qint64 due = 0;; due += SampleMsecs) {
        const bool paused = session.pause(int(due - clock.elapsed()));
        const QByteArray answer = paused
            ? session.request(SensorProtocol::pack(SensorProtocol::ReadAll),
                              SensorProtocol::ReadAll, SampleMsecs)
            : QByteArray();
        if (session.isInterrupted()) {
            // What was taken before the signal, marked as cut short.
            QJsonObject summary = samples.isEmpty()
                ? QJsonObject{{QStringLiteral("mean"), QJsonValue()},
                              {QStringLiteral("spread"), QJsonValue()},
                              {QStringLiteral("samples"), 0}}
                : summaryOf(samples);
            summary.insert(QStringLiteral("cut_short"), true);
            return {Cli::Done, summary, lastPayload};
        }
        if (answer.isEmpty()) {
            if (session.isLost())
                return failed;
            Cli::message(QStringLiteral("no intact answer to an %1 sample").arg(which));
            if (++unanswered < UnansweredLimit)
                continue;
            Cli::message(QStringLiteral("the unit stopped answering"));
            return failed;
        }
        unanswered = 0;
        lastPayload = SensorProtocol::payload(answer);
        samples << Sample{due, SensorProtocol::measuredTenths(lastPayload, field)};
        if (!settling) {
            if (samples.size() == PlainSamples)
                return {Cli::Done, summaryOf(samples), lastPayload};
            continue;
        }
        // The oldest sample kept is the newest one at least the settling time old.
        while (samples.size() > 1 && due - samples.at(1).msecs >= windowMsecs)
            samples.removeFirst();
        const bool windowFull = due - samples.first().msecs >= windowMsecs;
        const int spread = spreadOf(samples);
        const bool settled = windowFull && spread <= options.toleranceTenths + 1e-6;
        if (showSpread) {
            const QByteArray progress = QStringLiteral("\rcorvane-cli: %1 spread %2 ")
                                            .arg(QLatin1String(which))
                                            .arg(SampleWriter::tenthsText(spread))
                                            .toUtf8();
            std::fwrite(progress.constData(), 1, size_t(progress.size()), stderr);
            if (settled)
                std::fputc('\n', stderr);
            std::fflush(stderr);
        }
        if (settled)
            return {Cli::Done, summaryOf(samples), lastPayload};
        if (clock.elapsed() >= giveUpMsecs) {
            if (showSpread)
                std::fputc('\n', stderr);
            Cli::message(QStringLiteral("the %1 reading did not settle within %2 s: spread %3")
                             .arg(QLatin1String(which))
                             .arg(options.settleTimeoutSecs)
                             .arg(SampleWriter::tenthsText(spread)));
            return {Cli::Unsettled, QJsonValue(), QByteArray()};
        }
    }
}
