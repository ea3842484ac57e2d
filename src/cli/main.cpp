// corvane-cli: the Corvane sensor unit from the command line. Data goes to stdout, messages to
// stderr as one line each; the exit code tells a script what happened (see --help).

#include "calibration.h"
#include "cli.h"
#include "gateway.h"
#include "interruptwatcher.h"
#include "lineoutput.h"
#include "portfinder.h"
#include "reader.h"
#include "samplewriter.h"
#include "sensorprotocol.h"
#include "serialcommon.h"
#include "unitsession.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cmath>
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

// A command line option: its name, help and, for a number, the range it takes.
struct Option
{
    const char *name;
    const char *valueName; // nullptr: a switch
    const char *help;
    double minimum = 0;
    double maximum = 0; // 0: not a number
};

const Option Options[] = {
    {"port", "PORT", "The unit's port; publish: PORT[=NAME], once per unit."},
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
    {"topic-prefix", "P", "publish: the first topic level(s), default corvane."},
    {"discovery-prefix", "P", "publish: discovery configs under P, default homeassistant."},
    {"no-discovery", nullptr, "publish: no discovery configs."},
    {"qos", "0|1", "publish: QoS of the readings, default 1.", 0, 1},
    {"client-id", "ID", "publish: the MQTT client id, default corvane-HOSTNAME."},
    {"username", "U", "publish: the broker's user name."},
    {"password-file", "F",
     "publish: the password, from a file (else $CORVANE_MQTT_PASSWORD; never an argument)."},
    {"cafile", "F",
     "publish: CA certificates for mqtts:// (default: the system's; needed on Windows)."},
    {"cert", "F", "publish: a client certificate, with --key."},
    {"key", "F", "publish: the client certificate's private key."},
    {"spool", "DIR", "publish: where readings wait for the broker (see README)."},
    {"spool-limit", "MB",
     "publish: at most this much spool, default 100; then the oldest "
     "readings go.",
     1, 1000000},
    {"trace", nullptr, "Print the link's trace lines on stderr."},
};

const Option *optionNamed(const QString &name)
{
    for (const Option &option : Options) {
        if (name == QLatin1String(option.name))
            return &option;
    }
    return nullptr;
}

// The option's value as a number in its range, or the default when it is not given; false, said
// on stderr, when it is no such number.
bool numberOption(const QCommandLineParser &parser, const char *name, double *value)
{
    const Option *option = optionNamed(QLatin1String(name));
    const QString text = parser.value(QLatin1String(name));
    if (!parser.isSet(QLatin1String(name)))
        return true;
    bool isNumber = false;
    const double number = text.toDouble(&isNumber);
    if (!isNumber || !std::isfinite(number) || number < option->minimum
        || number > option->maximum) {
        Cli::message(QStringLiteral("--%1 takes a number from %2 to %3, not %4")
                         .arg(QLatin1String(name))
                         .arg(option->minimum, 0, 'g', 12)
                         .arg(option->maximum, 0, 'g', 12)
                         .arg(text));
        return false;
    }
    *value = number;
    return true;
}

bool formatOption(const QCommandLineParser &parser, const QStringList &names,
                  SampleWriter::Format *format)
{
    const QString name = parser.value(QStringLiteral("format"));
    if (!parser.isSet(QStringLiteral("format")))
        return true;
    if (names.contains(name) && SampleWriter::parseFormat(name, format))
        return true;
    Cli::message(
        QStringLiteral("--format takes %1, not %2").arg(names.join(QLatin1Char('|')), name));
    return false;
}

// Text for a person at a terminal, JSON lines for a script or a file.
SampleWriter::Format defaultFormat(bool toFile)
{
    return !toFile && Cli::isTerminal(1) ? SampleWriter::Text : SampleWriter::JsonLines;
}

// The port to use: the one named, or the one found; Usage for a --port left empty (an unset
// variable in a script), which must never mean "whichever unit answers".
int portOption(const QCommandLineParser &parser, QString *port)
{
    if (parser.isSet(QStringLiteral("port")) && parser.value(QStringLiteral("port")).isEmpty()) {
        Cli::message(QStringLiteral("--port is empty"));
        return Cli::Usage;
    }
    return PortFinder::choose(parser.value(QStringLiteral("port")),
                              parser.isSet(QStringLiteral("all-ports")), port);
}

int listPorts(const QCommandLineParser &parser, const QStringList &)
{
    SampleWriter::Format format = defaultFormat(false);
    if (!formatOption(parser, {QStringLiteral("text"), QStringLiteral("jsonl")}, &format))
        return Cli::Usage;
    LineOutput out;
    if (!out.openStream(LineOutput::StandardOutput))
        return Cli::CannotWrite;
    const auto ports = PortFinder::listed();
    for (const PortFinder::Listed &info : ports) {
        const bool canOpen = !SerialCommon::probePorts({info.location}).isEmpty();
        QByteArray line;
        if (format == SampleWriter::JsonLines) {
            const QJsonObject port{
                {QStringLiteral("port"), info.name},
                {QStringLiteral("location"), info.location},
                {QStringLiteral("description"), info.description},
                {QStringLiteral("manufacturer"), info.manufacturer},
                {QStringLiteral("serial_number"), info.serialNumber},
                {QStringLiteral("vid_pid"), info.vidPid},
                {QStringLiteral("can_open"), canOpen},
            };
            line = QJsonDocument(port).toJson(QJsonDocument::Compact);
        } else {
            QStringList fields{info.name, info.description, info.manufacturer, info.serialNumber,
                               info.vidPid};
            for (QString &field : fields) {
                if (field.isEmpty())
                    field = QStringLiteral("-");
            }
            fields << (canOpen ? QStringLiteral("can be opened")
                               : QStringLiteral("cannot be opened"));
            line = fields.join(QStringLiteral("  ")).toUtf8();
        }
        if (!out.writeLine(line)) {
            Cli::message(QStringLiteral("stdout cannot be written: ") + out.errorString());
            return Cli::CannotWrite;
        }
    }
    return Cli::Done;
}

int findUnit(const QCommandLineParser &parser, const QStringList &ports)
{
    double timeout = 500;
    if (!numberOption(parser, "timeout", &timeout))
        return Cli::Usage;
    if (ports.contains(QString())) {
        Cli::message(QStringLiteral("find takes port names, not an empty one"));
        return Cli::Usage;
    }
    const QStringList found =
        PortFinder::find(ports, qRound(timeout), parser.isSet(QStringLiteral("all-ports")));
    LineOutput out;
    for (const QString &port : found) {
        if ((!out.isOpen() && !out.openStream(LineOutput::StandardOutput))
            || !out.writeLine(port.toUtf8())) {
            Cli::message(QStringLiteral("stdout cannot be written: ") + out.errorString());
            return Cli::CannotWrite;
        }
    }
    if (found.isEmpty()) {
        Cli::message(QStringLiteral("no unit answered"));
        return Cli::NoUnit;
    }
    return Cli::Done;
}

int readUnit(const QCommandLineParser &parser, const QStringList &)
{
    double interval = 1;
    double count = 0;
    double duration = 0;
    const QString output = parser.value(QStringLiteral("output"));
    SampleWriter::Format format = defaultFormat(!output.isEmpty());
    if (!numberOption(parser, "interval", &interval) || !numberOption(parser, "count", &count)
        || !numberOption(parser, "duration", &duration)
        || !formatOption(parser,
                         {QStringLiteral("text"), QStringLiteral("csv"), QStringLiteral("jsonl")},
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
    SampleWriter writer;
    if (!writer.open(output, format)) {
        Cli::message((output.isEmpty() ? QStringLiteral("stdout") : output)
                     + QStringLiteral(" cannot be written: ") + writer.errorString());
        return Cli::CannotWrite;
    }
    Reader::Options options;
    const int chosen = portOption(parser, &options.port);
    if (chosen != Cli::Done)
        return chosen;
    options.intervalMsecs = qRound(interval * 1000);
    options.reconnect = parser.isSet(QStringLiteral("reconnect"));
    Reader reader(options);
    qint64 lines = 0;
    QObject::connect(&reader, &Reader::reading, [&](const SensorProtocol::Reading &reading) {
        if (!writer.write(reading)) {
            Cli::message((output.isEmpty() ? QStringLiteral("stdout") : output)
                         + QStringLiteral(" cannot be written: ") + writer.errorString());
            QCoreApplication::exit(Cli::CannotWrite);
        } else if (count > 0 && ++lines >= count) {
            QCoreApplication::exit(Cli::Done);
        }
    });
    QObject::connect(&reader, &Reader::finished, &QCoreApplication::exit);
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

int calibrateUnit(const QCommandLineParser &parser, const QStringList &arguments)
{
    if (arguments.size() != 2) {
        Cli::message(QStringLiteral("calibrate takes a CHANNEL and a VALUE"));
        return Cli::Usage;
    }
    Calibration::Options options;
    if (parser.isSet(QStringLiteral("port")) && parser.value(QStringLiteral("port")).isEmpty()) {
        Cli::message(QStringLiteral("--port is empty"));
        return Cli::Usage;
    }
    options.port = parser.value(QStringLiteral("port"));
    options.allPorts = parser.isSet(QStringLiteral("all-ports"));
    options.channel = arguments.at(0);
    options.reference = arguments.at(1);
    options.recordPath = parser.value(QStringLiteral("record"));
    options.operatorName = parser.value(QStringLiteral("operator"));
    options.referenceId = parser.value(QStringLiteral("reference-id"));
    double tolerance = -1;
    if (!numberOption(parser, "settle", &options.settleSecs)
        || !numberOption(parser, "tolerance", &tolerance)
        || !numberOption(parser, "settle-timeout", &options.settleTimeoutSecs))
        return Cli::Usage;
    if ((options.settleSecs > 0) != (tolerance >= 0)
        || (options.settleTimeoutSecs > 0 && options.settleSecs == 0)) {
        Cli::message(QStringLiteral("--settle and --tolerance go together; --settle-timeout "
                                    "needs them"));
        return Cli::Usage;
    }
    if (options.settleTimeoutSecs > 0 && options.settleTimeoutSecs < options.settleSecs) {
        Cli::message(QStringLiteral("--settle-timeout must be at least --settle: a reading "
                                    "cannot settle in less time than it is watched"));
        return Cli::Usage;
    }
    if (parser.isSet(QStringLiteral("record")) && options.recordPath.isEmpty()) {
        Cli::message(QStringLiteral("--record is empty"));
        return Cli::Usage;
    }
    options.toleranceTenths = tolerance * 10;
    if (options.settleTimeoutSecs == 0)
        options.settleTimeoutSecs = 10 * options.settleSecs;
    return Calibration(options).run();
}

int resetUnit(const QCommandLineParser &parser, const QStringList &)
{
    if (!parser.isSet(QStringLiteral("yes"))) {
        if (!Cli::isTerminal(0)) {
            Cli::message(QStringLiteral("reset needs --yes when no one is at a terminal"));
            return Cli::Usage;
        }
        std::fputs("corvane-cli: reset the unit to its factory settings? [y/N] ", stderr);
        std::fflush(stderr);
        const QString answer = QTextStream(stdin).readLine().trimmed().toLower();
        if (answer != QLatin1String("y") && answer != QLatin1String("yes")) {
            Cli::message(QStringLiteral("not reset"));
            return Cli::Usage;
        }
    }
    QString port;
    const int chosen = portOption(parser, &port);
    if (chosen != Cli::Done)
        return chosen;
    UnitSession session;
    const int opened = session.open(port, 2000);
    if (opened != Cli::Done)
        return opened;
    const QByteArray answer = session.request(SensorProtocol::pack(SensorProtocol::FactoryReset),
                                              SensorProtocol::FactoryReset, 2000);
    if (answer.isEmpty()) {
        Cli::message(QStringLiteral("no answer to the factory reset"));
        return Cli::NoUnit;
    }
    Cli::message(QStringLiteral("the unit is back to its factory settings"));
    return Cli::Done;
}

// Where readings wait for the broker: the service's state directory under systemd, else the
// user's state directory.
QString defaultSpool()
{
    const QString service = qEnvironmentVariable("STATE_DIRECTORY").split(QLatin1Char(':')).first();
    if (!service.isEmpty())
        return service + QStringLiteral("/spool");
#ifdef Q_OS_WIN
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Corvane/spool");
#else
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    return (state.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/state") : state)
        + QStringLiteral("/corvane/spool");
#endif
}

// A file an option names must be there to be read before anything is opened.
bool readableFile(const QCommandLineParser &parser, const char *name, QString *path)
{
    *path = parser.value(QLatin1String(name));
    if (!parser.isSet(QLatin1String(name)))
        return true;
    QFile file(*path);
    if (path->isEmpty() || !file.open(QIODevice::ReadOnly)) {
        Cli::message(QStringLiteral("--%1 %2 cannot be read: %3")
                         .arg(QLatin1String(name), *path, file.errorString()));
        return false;
    }
    return true;
}

int publishUnits(const QCommandLineParser &parser, const QStringList &)
{
    Gateway::Options options;
    MqttPublisher::Options &broker = options.broker;
    QString error;
    if (!parser.isSet(QStringLiteral("broker"))) {
        Cli::message(QStringLiteral("publish needs --broker URL"));
        return Cli::Usage;
    }
    if (!MqttPublisher::parseBrokerUrl(parser.value(QStringLiteral("broker")), &broker, &error)) {
        Cli::message(error);
        return Cli::Usage;
    }
    double interval = 1;
    double qos = 1;
    double spoolLimit = 100;
    if (!numberOption(parser, "interval", &interval) || !numberOption(parser, "qos", &qos)
        || !numberOption(parser, "spool-limit", &spoolLimit))
        return Cli::Usage;
    if (qos != 0 && qos != 1) {
        Cli::message(QStringLiteral("--qos takes 0 or 1"));
        return Cli::Usage;
    }
    options.intervalMsecs = qRound(interval * 1000);
    broker.qos = int(qos);
    broker.spoolLimitBytes = qint64(spoolLimit * 1024 * 1024);
    for (const QString &value : parser.values(QStringLiteral("port"))) {
        const int equals = value.lastIndexOf(QLatin1Char('='));
        Gateway::Unit unit{equals < 0 ? value : value.left(equals),
                           equals < 0 ? QString() : value.mid(equals + 1)};
        if (unit.port.isEmpty() || (equals >= 0 && !Gateway::isName(unit.name))) {
            Cli::message(QStringLiteral("--port takes PORT or PORT=NAME, NAME of letters, digits, "
                                        "_ and - (a topic level), not \"%1\"")
                             .arg(value));
            return Cli::Usage;
        }
        if (equals < 0)
            unit.name = Gateway::defaultName(unit.port);
        for (const Gateway::Unit &other : options.units) {
            if (other.name == unit.name || other.port == unit.port) {
                Cli::message(QStringLiteral("%1 and %2 are both served as %3")
                                 .arg(other.port, unit.port, unit.name));
                return Cli::Usage;
            }
        }
        options.units << unit;
    }
    const auto prefixOption = [&](const char *name, QString *prefix) {
        if (parser.isSet(QLatin1String(name)))
            *prefix = parser.value(QLatin1String(name));
        static const QRegularExpression levels(QStringLiteral("^[^/+#]+(/[^/+#]+)*$"));
        if (levels.match(*prefix).hasMatch())
            return true;
        Cli::message(QStringLiteral("--%1 takes topic levels without + or #, not \"%2\"")
                         .arg(QLatin1String(name), *prefix));
        return false;
    };
    if (!prefixOption("topic-prefix", &options.topicPrefix)
        || !prefixOption("discovery-prefix", &options.discoveryPrefix))
        return Cli::Usage;
    if (parser.isSet(QStringLiteral("no-discovery"))) {
        if (parser.isSet(QStringLiteral("discovery-prefix"))) {
            Cli::message(
                QStringLiteral("--no-discovery and --discovery-prefix exclude each other"));
            return Cli::Usage;
        }
        options.discoveryPrefix.clear();
    }
    broker.clientId = parser.isSet(QStringLiteral("client-id"))
        ? parser.value(QStringLiteral("client-id"))
        : Gateway::nameFrom(QStringLiteral("corvane-") + QSysInfo::machineHostName());
    if (!Gateway::isName(broker.clientId)) {
        Cli::message(QStringLiteral("--client-id takes letters, digits, _ and - (a topic level)"));
        return Cli::Usage;
    }
    broker.bridgeTopic = options.topicPrefix + QStringLiteral("/bridge/") + broker.clientId
        + QStringLiteral("/availability");
    broker.username = parser.value(QStringLiteral("username"));
    QString passwordFile;
    if (!readableFile(parser, "password-file", &passwordFile)
        || !readableFile(parser, "cafile", &broker.caFile)
        || !readableFile(parser, "cert", &broker.certFile)
        || !readableFile(parser, "key", &broker.keyFile))
        return Cli::Usage;
    if (broker.certFile.isEmpty() != broker.keyFile.isEmpty()) {
        Cli::message(QStringLiteral("--cert and --key go together"));
        return Cli::Usage;
    }
    if ((!broker.caFile.isEmpty() || !broker.certFile.isEmpty()) && !broker.tls) {
        Cli::message(QStringLiteral("--cafile, --cert and --key need an mqtts:// broker"));
        return Cli::Usage;
    }
    if (!passwordFile.isEmpty()) {
        QFile file(passwordFile);
        file.open(QIODevice::ReadOnly);
        QByteArray password = file.readAll();
        if (password.endsWith('\n'))
            password.chop(1);
        broker.password = QString::fromUtf8(password);
    } else {
        broker.password = qEnvironmentVariable("CORVANE_MQTT_PASSWORD");
    }
    if (!broker.password.isEmpty() && broker.username.isEmpty()) {
        Cli::message(QStringLiteral("a password needs --username"));
        return Cli::Usage;
    }
    broker.spoolDir = parser.isSet(QStringLiteral("spool")) ? parser.value(QStringLiteral("spool"))
                                                            : defaultSpool();
    if (broker.spoolDir.isEmpty()) {
        Cli::message(QStringLiteral("--spool is empty"));
        return Cli::Usage;
    }

    Gateway gateway(options);
    if (!gateway.start(&error)) {
        Cli::message(error);
        return Cli::CannotWrite;
    }
    QObject::connect(&gateway, &Gateway::finished, [] { QCoreApplication::exit(Cli::Done); });
    InterruptWatcher interrupts;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &gateway, &Gateway::stop);
    return QCoreApplication::exec();
}

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
     listPorts},
    {"find",
     "[PORT...]",
     "Greets each port (default: every USB serial adapter) and prints those where the unit "
     "answers within --timeout.",
     {"timeout", "all-ports"},
     findUnit},
    {"read",
     "",
     "One line per reading, every --interval seconds, until --count lines, --duration seconds, "
     "Ctrl-C or SIGTERM.",
     {"port", "all-ports", "interval", "count", "duration", "format", "output", "reconnect"},
     readUnit},
    {"calibrate",
     "CHANNEL VALUE",
     "Calibrates temperature, humidity, pressure or oil to the reference VALUE in the channel's "
     "unit (a plain decimal number, e.g. -12.5), between the as-found and the as-left reading, "
     "and prints the record as one JSON line.",
     {"port", "all-ports", "record", "operator", "reference-id", "settle", "tolerance",
      "settle-timeout"},
     calibrateUnit},
    {"reset",
     "",
     "Resets the unit to its factory settings.",
     {"port", "all-ports", "yes"},
     resetUnit},
    {"publish",
     "",
     "Publishes the readings of every unit on this machine (each --port, default every USB "
     "serial adapter) to an MQTT broker, with discovery configs; readings the broker has not "
     "acknowledged wait in the spool, nothing is lost.",
     {"broker", "port", "interval", "topic-prefix", "discovery-prefix", "no-discovery", "qos",
      "client-id", "username", "password-file", "cafile", "cert", "key", "spool", "spool-limit"},
     publishUnits},
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
    for (const Option &option : Options) {
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
        const Option *option =
            argument.startsWith(QLatin1String("--")) && !argument.contains(QLatin1Char('='))
            ? optionNamed(argument.mid(2))
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
