#include "calibrationsequence.h"
#include "cli.h"
#include "commands.h"
#include "interruptwatcher.h"
#include "lineoutput.h"
#include "unitsession.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <cstdio>

// The calibrate command: the as-found reading, the calibration, the as-left reading, and the
// record of all three that a calibration lab keeps. Nothing goes to the unit or the record before
// the arguments, the record file, the port and the as-found reading are all right; once the
// calibration went out its record is written whatever happens, a signal included.
namespace {

constexpr int AnswerTimeoutMsecs = 2000;

struct Request
{
    const SensorProtocol::Channel *channel = nullptr;
    QString reference; // as typed
    int tenths = 0;
    QString recordPath;
    CalibrationSequence::Settling settling;
};

// The arguments and options checked, in the order a person fixes them; Done or Usage.
int parseRequest(const QCommandLineParser &parser, const QStringList &arguments, Request *request)
{
    if (arguments.size() != 2) {
        Cli::message(QStringLiteral("calibrate takes a CHANNEL and a VALUE"));
        return Cli::Usage;
    }
    if (!Cli::portNotEmpty(parser))
        return Cli::Usage;
    CalibrationSequence::Settling &settling = request->settling;
    double tolerance = -1;
    if (!Cli::numberOption(parser, "settle", &settling.settleSecs)
        || !Cli::numberOption(parser, "tolerance", &tolerance)
        || !Cli::numberOption(parser, "settle-timeout", &settling.settleTimeoutSecs))
        return Cli::Usage;
    if ((settling.settleSecs > 0) != (tolerance >= 0)
        || (settling.settleTimeoutSecs > 0 && settling.settleSecs == 0)) {
        Cli::message(QStringLiteral("--settle and --tolerance go together; --settle-timeout "
                                    "needs them"));
        return Cli::Usage;
    }
    if (settling.settleTimeoutSecs > 0 && settling.settleTimeoutSecs < settling.settleSecs) {
        Cli::message(QStringLiteral("--settle-timeout must be at least --settle: a reading "
                                    "cannot settle in less time than it is watched"));
        return Cli::Usage;
    }
    request->recordPath = parser.value(QStringLiteral("record"));
    if (parser.isSet(QStringLiteral("record")) && request->recordPath.isEmpty()) {
        Cli::message(QStringLiteral("--record is empty"));
        return Cli::Usage;
    }
    settling.toleranceTenths = tolerance * 10;
    if (settling.settleTimeoutSecs == 0)
        settling.settleTimeoutSecs = 10 * settling.settleSecs;

    const QString &name = arguments.at(0);
    request->reference = arguments.at(1);
    request->channel = SensorProtocol::channelNamed(name);
    if (!request->channel) {
        Cli::message(
            QStringLiteral("unknown channel %1: temperature, humidity, pressure or oil").arg(name));
        return Cli::Usage;
    }
    const quint8 command = request->channel->calibrationCommand;
    const SensorProtocol::CalibrationValue value =
        SensorProtocol::calibrationValue(request->reference, command);
    if (value.verdict == SensorProtocol::CalibrationValue::NotANumber) {
        Cli::message(QStringLiteral("%1 is not a plain decimal number").arg(request->reference));
        return Cli::Usage;
    }
    if (value.verdict == SensorProtocol::CalibrationValue::OutOfRange) {
        const SensorProtocol::Range range = SensorProtocol::calibrationRange(command);
        Cli::message(QStringLiteral("%1 is outside the %2 range %3 to %4")
                         .arg(request->reference, QLatin1String(request->channel->name))
                         .arg(range.lowest / 10.0)
                         .arg(range.highest / 10.0));
        return Cli::Usage;
    }
    request->tenths = value.tenths;
    return Cli::Done;
}

// A reading as the record keeps it: mean, spread and samples, or nulls when none was taken.
QJsonValue summaryOf(const CalibrationSequence::Reading &reading)
{
    const QList<int> &tenths = reading.tenths;
    if (reading.result != CalibrationSequence::Reading::Taken
        && reading.result != CalibrationSequence::Reading::CutShort)
        return QJsonValue();
    QJsonObject summary{{QStringLiteral("mean"), QJsonValue()},
                        {QStringLiteral("spread"), QJsonValue()},
                        {QStringLiteral("samples"), tenths.size()}};
    if (!tenths.isEmpty()) {
        double sum = 0;
        for (int sample : tenths)
            sum += sample;
        summary.insert(QStringLiteral("mean"), std::round(sum * 10.0 / tenths.size()) / 100.0);
        summary.insert(QStringLiteral("spread"), CalibrationSequence::spreadOf(tenths) / 10.0);
    }
    if (reading.result == CalibrationSequence::Reading::CutShort)
        summary.insert(QStringLiteral("cut_short"), true);
    return summary;
}

QJsonObject conditionsOf(const SensorProtocol::Reading &reading)
{
    QJsonObject conditions;
    for (const auto &channel : SensorProtocol::Channels)
        conditions.insert(QLatin1String(channel.key), reading.tenths[channel.field] / 10.0);
    return conditions;
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

// The exit code of a reading that was not taken, said on stderr.
int exitOf(const CalibrationSequence::Reading &reading, const QString &which,
           const CalibrationSequence::Settling &settling)
{
    if (reading.result == CalibrationSequence::Reading::NoUnit)
        return Cli::NoUnit;
    if (reading.result != CalibrationSequence::Reading::Unsettled)
        return Cli::Done;
    // Below the spread's progress line, when a person watched it.
    if (settling.settleSecs > 0 && Cli::isTerminal(2))
        std::fputc('\n', stderr);
    Cli::message(QStringLiteral("the %1 reading did not settle within %2 s: spread %3")
                     .arg(which)
                     .arg(settling.settleTimeoutSecs)
                     .arg(ReadingFormat::tenthsText(reading.spreadTenths)));
    return Cli::Unsettled;
}

// The record to the file (synced) and stdout, else stderr: the exit code, CannotWrite when any
// of them failed.
int writeRecord(const QByteArray &line, LineOutput &record, const QString &recordPath, int exit)
{
    // The file first, synced, then stdout: whatever fails after, the record is on the disk.
    bool kept = false;
    if (record.isOpen()) {
        kept = record.writeLine(line) && record.sync();
        if (!kept) {
            Cli::message(recordPath + QStringLiteral(" cannot be written: ")
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

} // namespace

int calibrateCommand(const QCommandLineParser &parser, const QStringList &arguments)
{
    Request request;
    const int parsed = parseRequest(parser, arguments, &request);
    if (parsed != Cli::Done)
        return parsed;
    LineOutput record;
    if (!request.recordPath.isEmpty() && !record.openFile(request.recordPath)) {
        Cli::message(request.recordPath + QStringLiteral(" cannot be written: ")
                     + record.errorString());
        return Cli::CannotWrite;
    }
    QString port;
    const int chosen = Cli::choosePort(parser, &port);
    if (chosen != Cli::Done)
        return chosen;
    UnitSession session;
    QObject::connect(&session, &UnitSession::notice, &Cli::message);
    const UnitFailure failure = session.open(port, AnswerTimeoutMsecs);
    if (failure != UnitFailure::None)
        return Cli::exitFor(failure);
    CalibrationSequence sequence(session, request.channel->field, request.settling);
    QObject::connect(&sequence, &CalibrationSequence::notice, &Cli::message);
    // With settling, a person at the terminal watches the spread narrow on one line.
    if (request.settling.settleSecs > 0 && Cli::isTerminal(2)) {
        QObject::connect(&sequence, &CalibrationSequence::spreadChanged,
                         [](const QString &which, int spread, bool settled) {
                             const QByteArray progress =
                                 QStringLiteral("\rcorvane-cli: %1 spread %2 ")
                                     .arg(which, ReadingFormat::tenthsText(spread))
                                     .toUtf8();
                             std::fwrite(progress.constData(), 1, size_t(progress.size()), stderr);
                             if (settled)
                                 std::fputc('\n', stderr);
                             std::fflush(stderr);
                         });
    }
    const QString asFoundName = QStringLiteral("as-found");
    const CalibrationSequence::Reading asFound = sequence.take(asFoundName);
    if (asFound.result != CalibrationSequence::Reading::Taken)
        return exitOf(asFound, asFoundName, request.settling);

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
    const quint8 command = request.channel->calibrationCommand;
    const QDateTime sentAt = QDateTime::currentDateTime();
    const QByteArray answer = sequence.calibrate(command, request.tenths);
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
        const QString asLeftName = QStringLiteral("as-left");
        const CalibrationSequence::Reading reading = sequence.take(asLeftName);
        exit = exitOf(reading, asLeftName, request.settling);
        asLeft = summaryOf(reading);
    }
    if (signalNumber != 0) {
        Cli::message(QStringLiteral("stopped by signal %1 after the calibration went out; the "
                                    "record is written")
                         .arg(signalNumber));
        exit = Cli::Signalled + signalNumber;
    }
    const int status = answer.isEmpty() ? -1 : SensorProtocol::calibrationStatus(answer);
    const QByteArray pack =
        SensorProtocol::pack(command, SensorProtocol::valuePayload(request.tenths));
    const QJsonObject entry{
        {QStringLiteral("time"), ReadingFormat::isoTime(sentAt)},
        {QStringLiteral("program"), QCoreApplication::applicationName()},
        {QStringLiteral("version"), QCoreApplication::applicationVersion()},
        {QStringLiteral("port"), port},
        {QStringLiteral("operator"), textOrNull(parser.value(QStringLiteral("operator")))},
        {QStringLiteral("reference_id"), textOrNull(parser.value(QStringLiteral("reference-id")))},
        {QStringLiteral("channel"), QLatin1String(request.channel->name)},
        {QStringLiteral("unit"), QString::fromUtf8(request.channel->unit)},
        {QStringLiteral("reference"), request.reference},
        {QStringLiteral("pack"), QString::fromLatin1(pack.toHex(' ').toUpper())},
        {QStringLiteral("as_found"), summaryOf(asFound)},
        {QStringLiteral("verdict"), verdict},
        {QStringLiteral("status"), status < 0 ? QJsonValue() : QJsonValue(status)},
        {QStringLiteral("as_left"), asLeft},
        {QStringLiteral("conditions"), conditionsOf(asFound.last)},
    };
    return writeRecord(QJsonDocument(entry).toJson(QJsonDocument::Compact), record,
                       request.recordPath, exit);
}
