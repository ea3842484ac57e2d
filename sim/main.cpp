// corvane-sim: a sensor unit in software for demos and manual testing. It serves a new
// pseudo-terminal (whose path it prints alone on the first line) or an existing serial device,
// the only choice where there are no pseudo-terminals.

#include "simulatedunit.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here; the event loop picks the byte up and quits.
void onSignal(int)
{
    const char byte = 1;
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    static_cast<void>(written);
}

bool quitOnSignals(QCoreApplication &app)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char drain[16];
        while (::read(signalPipe[0], drain, sizeof drain) > 0) { }
        app.quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0
        && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

} // namespace
#endif

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A simulated Corvane sensor unit. Without --device it creates a pseudo-terminal and\n"
        "prints its path alone on the first line; it serves until SIGINT or SIGTERM."));
    parser.addHelpOption();
    const QCommandLineOption deviceOption(
        QStringLiteral("device"), QStringLiteral("Serve the existing serial device <path>."),
        QStringLiteral("path"));
    const QCommandLineOption silentOption(QStringLiteral("silent"),
                                          QStringLiteral("Receive requests but never answer."));
    const QCommandLineOption noDriftOption(
        QStringLiteral("no-drift"), QStringLiteral("Keep the readings at their factory values."));
    const QCommandLineOption traceOption(
        QStringLiteral("trace"),
        QStringLiteral("Print every pack received (<-) and written (->) as hex, one per line."));
    parser.addOptions({deviceOption, silentOption, noDriftOption, traceOption});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "corvane-sim: unexpected argument '%s' (see --help)\n",
                     qPrintable(parser.positionalArguments().constFirst()));
        return 2;
    }

#ifdef Q_OS_UNIX
    if (!quitOnSignals(app)) {
        std::perror("corvane-sim: cannot handle signals");
        return 1;
    }
#endif

    SimulatedUnit unit;
    const bool opened =
        parser.isSet(deviceOption) ? unit.openDevice(parser.value(deviceOption)) : unit.openPty();
    if (!opened) {
        std::fprintf(stderr, "corvane-sim: cannot open %s\n",
                     parser.isSet(deviceOption) ? qPrintable(parser.value(deviceOption))
                                                : "a pseudo-terminal");
        return 1;
    }
    unit.setSilent(parser.isSet(silentOption));
    unit.setDrift(!parser.isSet(noDriftOption));

    if (parser.isSet(traceOption)) {
        const auto trace = [](const char *direction, const QByteArray &bytes) {
            std::printf("%s %s\n", direction, bytes.toHex().toUpper().constData());
            std::fflush(stdout);
        };
        QObject::connect(&unit, &SimulatedUnit::frameReceived, &app,
                         [trace](const QByteArray &frame) { trace("<-", frame); });
        QObject::connect(&unit, &SimulatedUnit::answerWritten, &app,
                         [trace](const QByteArray &bytes) { trace("->", bytes); });
    }

    std::printf("%s\n", qPrintable(unit.portName()));
    std::fflush(stdout);
    return app.exec();
}
