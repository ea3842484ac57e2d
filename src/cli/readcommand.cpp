#include "cli.h"
#include "commands.h"
#include "interruptwatcher.h"
#include "reader.h"
#include "samplewriter.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cmath>

int readCommand(const QCommandLineParser &parser, const QStringList &)
{
    double interval = 1;
    double count = 0;
    double duration = 0;
    const QString output = parser.value(QStringLiteral("output"));
    ReadingFormat::Format format = Cli::defaultFormat(!output.isEmpty());
    if (!Cli::numberOption(parser, "interval", &interval)
        || !Cli::numberOption(parser, "count", &count)
        || !Cli::numberOption(parser, "duration", &duration)
        || !Cli::formatOption(
            parser, {QStringLiteral("text"), QStringLiteral("csv"), QStringLiteral("jsonl")},
            &format))
        return Cli::Usage;
    if (count != std::floor(count)) {
        Cli::message(QStringLiteral("--count takes a whole number of lines"));
        return Cli::Usage;
    }
    if (parser.isSet(QStringLiteral("output")) && output.isEmpty()) {
        Cli::message(QStringLiteral("--output is empty"));
        return Cli::Usage;
    }
    const QString where = output.isEmpty() ? QStringLiteral("stdout") : output;
    SampleWriter writer;
    if (!writer.open(output, format)) {
        Cli::message(where + QStringLiteral(" cannot be written: ") + writer.errorString());
        return Cli::CannotWrite;
    }
    Reader::Options options;
    if (!Cli::portNotEmpty(parser))
        return Cli::Usage;
    const int chosen = Cli::choosePort(parser, &options.port);
    if (chosen != Cli::Done)
        return chosen;
    options.intervalMsecs = qRound(interval * 1000);
    options.reconnect = parser.isSet(QStringLiteral("reconnect"));
    Reader reader(options);
    QObject::connect(&reader, &Reader::notice, &Cli::message);
    qint64 lines = 0;
    QObject::connect(&reader, &Reader::reading, [&](const SensorProtocol::Reading &reading) {
        if (!writer.write(reading)) {
            Cli::message(where + QStringLiteral(" cannot be written: ") + writer.errorString());
            QCoreApplication::exit(Cli::CannotWrite);
        } else if (count > 0 && ++lines >= count) {
            QCoreApplication::exit(Cli::Done);
        }
    });
    QObject::connect(&reader, &Reader::failed,
                     [](UnitFailure failure) { QCoreApplication::exit(Cli::exitFor(failure)); });
    // A timer runs at most about 24 days; a longer run is timed in steps toward its deadline.
    QDeadlineTimer deadline(qint64(duration * 1000), Qt::PreciseTimer);
    QTimer durationTimer;
    durationTimer.setSingleShot(true);
    durationTimer.setTimerType(Qt::PreciseTimer);
    const auto untilDeadline = [&] {
        if (deadline.hasExpired()) {
            QCoreApplication::exit(Cli::Done);
            return;
        }
        durationTimer.start(int(std::min<qint64>(deadline.remainingTime(), INT_MAX)));
    };
    QObject::connect(&durationTimer, &QTimer::timeout, untilDeadline);
    if (duration > 0)
        untilDeadline();
    InterruptWatcher interrupts;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted,
                     [] { QCoreApplication::exit(Cli::Done); });
    QTimer::singleShot(0, &reader, &Reader::start);
    const int exit = QCoreApplication::exec();
    reader.stop();
    return exit;
}
