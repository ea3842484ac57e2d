// corvane-cli: the Corvane sensor unit from the command line. Data goes to stdout, messages to
// stderr as one line each; the exit code tells a script what happened (see --help).

#include "cli.h"
#include "commands.h"
#include "lineoutput.h"
#include "reader.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QRegularExpression>

#include <algorithm>
#include <csignal>
#include <vector>

namespace {

const char *const Summary = "The Corvane sensor unit from the command line: find it, log its "
                            "readings,\ncalibrate it with a record.";

const char *const Notes =
    R"(PORT is a name the system lists (ttyUSB0, COM3) or a device path. Without --port
the one unit found is used; a search greets only USB serial adapters (ports with
a vendor and product id), every listed port with --all-ports, since built-in and
Bluetooth ports may have other equipment listening.

Exit codes:
  0  done
  1  the unit answered "failed"
  2  usage: bad option, channel, number or range; several units found; reset
     not confirmed
  3  the port cannot be opened (missing, busy, no permission)
  4  no unit answered, or the device was lost
  5  the reading did not settle in time
  6  an output or record file cannot be written (a record that could not be
     written to its file is still printed on stdout, else on stderr)
  128+N  calibrate was stopped by signal N after the calibration went out; its
     record, with the as-left reading marked cut_short, is written)";

const Cli::Option Options[] = {
    {"port", "PORT",
     "The unit's port; publish: PORT[=NAME], once per unit, NAME at most 64 characters."},
    {"all-ports", nullptr,
     "Without --port: greet every listed port, not only USB serial adapters."},
    {"format", "FORMAT", "text, csv (read) or jsonl; text on a terminal, jsonl otherwise."},
    {"timeout", "MS", "find: how long to wait, default 500, at most 60000.", 1, 60000},
    {"interval", "S", "read, publish: seconds between samples, default 1, from 0.1 to 86400.", 0.1,
     86400},
    {"count", "N", "read: stop after N lines (at most 1000000000).", 1, 1e9},
    {"duration", "S", "read: stop after S seconds (at most 10 years).", 0.1, 315360000},
    {"output", "FILE",
     "read: append to FILE instead of stdout (CSV header only into an empty file)."},
    {"reconnect", nullptr, "read: when the unit is lost, open the port again every second."},
    {"record", "FILE", "calibrate: append the record to FILE and sync it to disk."},
    {"operator", "NAME", "calibrate: who calibrates, for the record."},
    {"reference-id", "ID", "calibrate: the reference instrument, for the record."},
    {"settle", "S",
     "calibrate: take a reading once its spread over S seconds is at most --tolerance, instead "
     "of the mean of 3 samples (1 to 3600).",
     1, 3600},
    {"tolerance", "T", "calibrate: the largest spread, in the channel's unit (0 to 6553.5).", 0,
     6553.5},
    {"settle-timeout", "S",
     "calibrate: give up settling after S seconds, default 10 x --settle, at least --settle, at "
     "most 86400.",
     1, 86400},
    {"yes", nullptr, "reset: do not ask."},
    {"broker", "URL", "publish: mqtt://host[:1883] or mqtts://host[:8883] (TLS)."},
    {"topic-prefix", "P",
     "publish: the first topic level(s), default corvane, at most 1024 bytes in UTF-8."},
    {"discovery-prefix", "P",
     "publish: discovery configs under P, default homeassistant, at most 1024 bytes."},
    {"no-discovery", nullptr, "publish: no discovery configs."},
    {"qos", "0|1", "publish: QoS of the readings, default 1.", 0, 1},
    {"drain-rate", "N",
     "publish: readings a second while a backlog goes out after an outage, default twice the "
     "units' live rate, at least 20 (1 to 1000000).",
     1, 1000000},
    {"client-id", "ID",
     "publish: the MQTT client id, default corvane-HOSTNAME; a second gateway on one host needs "
     "its own (at most 128 characters)."},
    {"username", "U", "publish: the broker's user name."},
    {"password-file", "F",
     "publish: the password, from a file of at most 4 KiB (else $CORVANE_MQTT_PASSWORD; never an "
     "argument)."},
    {"cafile", "F",
     "publish: CA certificates for mqtts:// (default: the system's; needed on Windows)."},
    {"cert", "F", "publish: a client certificate, with --key."},
    {"key", "F", "publish: the client certificate's private key."},
    {"spool", "DIR", "publish: where readings wait for the broker (see README)."},
    {"spool-limit", "MB",
     "publish: at most this much spool, default 100; then the oldest readings go.", 1, 1000000},
    {"trace", nullptr, "Print the link's trace lines on stderr."},
};

// A command: its name, what it takes, its help, its options and what runs it.
struct Command
{
    const char *name;
    const char *arguments; // "" when it takes none
    const char *help;
    std::vector<const char *> options;
    int (*run)(const QCommandLineParser &, const QStringList &);
};

const Command Commands[] = {
    {"ports",
     "",
     "The serial ports the system lists: description, manufacturer, serial number, VID:PID, "
     "whether it can be opened now.",
     {"format"},
     portsCommand},
    {"find",
     "[PORT...]",
     "Greets each port (default: every USB serial adapter) and prints those where the unit "
     "answers within --timeout.",
     {"timeout", "all-ports"},
     findCommand},
    {"read",
     "",
     "One line per reading, every --interval seconds, until --count lines, --duration seconds, "
     "Ctrl-C or SIGTERM.",
     {"port", "all-ports", "interval", "count", "duration", "format", "output", "reconnect"},
     readCommand},
    {"calibrate",
     "CHANNEL VALUE",
     "Calibrates temperature, humidity, pressure or oil to the reference VALUE in the channel's "
     "unit (a plain decimal number, e.g. -12.5), between the as-found and the as-left reading, "
     "and prints the record as one JSON line.",
     {"port", "all-ports", "record", "operator", "reference-id", "settle", "tolerance",
      "settle-timeout"},
     calibrateCommand},
    {"reset",
     "",
     "Resets the unit to its factory settings.",
     {"port", "all-ports", "yes"},
     resetCommand},
    {"publish",
     "",
     "Publishes the readings of every unit on this machine (each --port, default every USB "
     "serial adapter) to an MQTT broker, with discovery configs; readings the broker has not "
     "acknowledged wait in the spool, nothing is lost.",
     {"broker", "port", "interval", "topic-prefix", "discovery-prefix", "no-discovery", "qos",
      "drain-rate", "client-id", "username", "password-file", "cafile", "cert", "key", "spool",
      "spool-limit"},
     publishCommand},
};

QString commandNames()
{
    QStringList names;
    for (const Command &command : Commands)
        names << QLatin1String(command.name);
    return names.mid(0, names.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" or ")
        + names.last();
}

// The description --help shows: the commands from the table, each with its help wrapped.
QString description()
{
    QString text = QLatin1String(Summary) + QStringLiteral("\n\nCommands:\n");
    for (const Command &command : Commands) {
        const QString head = QStringLiteral("  %1 %2").arg(QLatin1String(command.name),
                                                           QLatin1String(command.arguments));
        QString line = head.leftJustified(19);
        if (head.size() > 18)
            line = head + QStringLiteral("\n") + QString(19, QLatin1Char(' '));
        for (const QString &word : QString::fromUtf8(command.help).split(QLatin1Char(' '))) {
            const int lineStart = text.size() + line.lastIndexOf(QLatin1Char('\n')) + 1;
            if (text.size() + line.size() - lineStart + word.size() > 79
                && !line.endsWith(QLatin1Char(' '))) {
                line += QStringLiteral("\n") + QString(19, QLatin1Char(' '));
            } else if (!line.endsWith(QLatin1Char(' '))) {
                line += QLatin1Char(' ');
            }
            line += word;
        }
        text += line + QLatin1Char('\n');
    }
    return text + QLatin1Char('\n') + QLatin1String(Notes);
}

} // namespace

const Cli::Option *Cli::optionNamed(const QString &name)
{
    for (const Option &option : Options) {
        if (name == QLatin1String(option.name))
            return &option;
    }
    return nullptr;
}

int main(int argc, char *argv[])
{
#ifdef Q_OS_UNIX
    // A closed pipe or a file over its size limit fails the write, which is reported and ends
    // the command in order, instead of killing the program mid-record.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));
    Cli::installMessageHandler();
    qRegisterMetaType<SensorProtocol::Reading>();

    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    for (const Cli::Option &option : Options) {
        parser.addOption(
            option.valueName
                ? QCommandLineOption(QLatin1String(option.name), QLatin1String(option.help),
                                     QLatin1String(option.valueName))
                : QCommandLineOption(QLatin1String(option.name), QLatin1String(option.help)));
    }
    parser.addPositionalArgument(QStringLiteral("command"), commandNames() + QLatin1Char('.'),
                                 QStringLiteral("COMMAND [ARGUMENT...]"));

    // The parser takes a negative number standing as an argument (calibrate oil -12.5) for
    // options -1, -2 and so on: such an argument is marked for it and unmarked afterwards. An
    // option's value is never marked, since the parser takes the next argument as it is.
    const QString mark = QStringLiteral("\x1F");
    const QRegularExpression negativeNumber(QStringLiteral("^-\\.?[0-9]"));
    QStringList arguments = QCoreApplication::arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--"))
            break;
        const Cli::Option *option =
            argument.startsWith(QLatin1String("--")) && !argument.contains(QLatin1Char('='))
            ? Cli::optionNamed(argument.mid(2))
            : nullptr;
        if (option && option->valueName) {
            ++i;
            continue;
        }
        if (negativeNumber.match(argument).hasMatch())
            arguments[i].prepend(mark);
    }
    if (!parser.parse(arguments)) {
        Cli::message(parser.errorText());
        return Cli::Usage;
    }
    // Printed here, not by the parser: on Windows it shows them in a message box when it finds no
    // console, and a script waiting for the output would hang on it.
    if (parser.isSet(help) || parser.isSet(version)) {
        LineOutput out;
        const QString text = parser.isSet(help) ? parser.helpText().trimmed()
                                                : QCoreApplication::applicationName()
                + QLatin1Char(' ') + QCoreApplication::applicationVersion();
        return out.openStream(LineOutput::StandardOutput) && out.writeLine(text.toUtf8())
            ? Cli::Done
            : Cli::CannotWrite;
    }
    // The link traces by default for the window's log; here only on request.
    QLoggingCategory::setFilterRules(parser.isSet(QStringLiteral("trace"))
                                         ? QStringLiteral("corvane.link.debug=true")
                                         : QStringLiteral("corvane.link.debug=false"));

    QStringList positional;
    for (const QString &argument : parser.positionalArguments())
        positional << (argument.startsWith(mark) ? argument.mid(1) : argument);
    if (positional.isEmpty()) {
        Cli::message(QStringLiteral("no command: %1 (--help)").arg(commandNames()));
        return Cli::Usage;
    }
    const QString name = positional.takeFirst();
    const auto command =
        std::find_if(std::begin(Commands), std::end(Commands),
                     [&](const Command &c) { return name == QLatin1String(c.name); });
    if (command == std::end(Commands)) {
        Cli::message(QStringLiteral("unknown command %1: %2").arg(name, commandNames()));
        return Cli::Usage;
    }
    for (const QString &option : parser.optionNames()) {
        const bool belongs = std::any_of(command->options.begin(), command->options.end(),
                                         [&](const char *o) { return option == QLatin1String(o); });
        if (!belongs && option != QLatin1String("trace")) {
            Cli::message(QStringLiteral("--%1 does not go with %2").arg(option, name));
            return Cli::Usage;
        }
    }
    if (!*command->arguments && !positional.isEmpty()) {
        Cli::message(QStringLiteral("%1 takes no arguments").arg(name));
        return Cli::Usage;
    }
    return command->run(parser, positional);
}
