// corvane-cli: the Corvane sensor unit from the command line. Data goes to stdout, messages to
// stderr as one line each; the exit code tells a script what happened (see --help).

#include "calibration.h"
#include "cli.h"
#include "interruptwatcher.h"
#include "portfinder.h"
#include "reader.h"
#include "samplewriter.h"
#include "sensorprotocol.h"
#include "serialcommon.h"
#include "unitsession.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QTextStream>
#include <QTimer>

#include <cmath>
#include <cstdio>

namespace {

const char *const Description =
    R"(The Corvane sensor unit from the command line: find it, log its readings, calibrate
it with a record.

Commands:
  ports            The serial ports the system lists: description, manufacturer,
                   serial number, VID:PID, whether it can be opened now.
  find [PORT...]   Greets each port (default: every listed port) and prints those
                   where the unit answers within --timeout.
  read             One line per reading, every --interval seconds, until --count
                   lines, --duration seconds, Ctrl-C or SIGTERM.
  calibrate CHANNEL VALUE
                   Calibrates temperature, humidity, pressure or oil to the
                   reference VALUE in the channel's unit (a plain decimal number,
                   e.g. -12.5), between the as-found and the as-left reading, and
                   prints the record as one JSON line.
  reset            Resets the unit to its factory settings.
PORT is a name the system lists (ttyUSB0, COM3) or a device path. Without --port
the one port where the unit answers is used.

Exit codes:
  0  done
  1  the unit answered "failed"
  2  usage: bad option, channel, number or range; several units found; reset
     not confirmed
  3  the port cannot be opened (missing, busy, no permission)
  4  no unit answered, or the device was lost
  5  the reading did not settle in time
  6  an output or record file cannot be written)";

// QCommandLineParser takes -12.5 for options -1, -2 and so on; a negative number is handed to it
// under this mark and taken back afterwards.
const QString NumberMark = QStringLiteral("\x1F");

QString unmarked(const QString &argument)
{
    return argument.startsWith(NumberMark) ? argument.mid(1) : argument;
}

// The option's value as a finite number of at least the minimum, or the default when it is not
// given; false, said on stderr, when it is no such number.
bool numberOption(const QCommandLineParser &parser, const char *name, double minimum, double *value)
{
    const QString option = QLatin1String(name);
    if (!parser.isSet(option))
        return true;
    bool isNumber = false;
    const double number = unmarked(parser.value(option)).toDouble(&isNumber);
    if (!isNumber || !std::isfinite(number) || number < minimum) {
        Cli::message(QStringLiteral("--%1 takes a number of at least %2, not %3")
                         .arg(option)
                         .arg(minimum)
                         .arg(unmarked(parser.value(option))));
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

void printLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

int listPorts(const QCommandLineParser &parser)
{
    SampleWriter::Format format = defaultFormat(false);
    if (!formatOption(parser, {QStringLiteral("text"), QStringLiteral("jsonl")}, &format))
        return Cli::Usage;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        const bool canOpen = !SerialCommon::probePorts({info.systemLocation()}).isEmpty();
        const QString vidPid = info.hasVendorIdentifier() && info.hasProductIdentifier()
            ? QStringLiteral("%1:%2")
                  .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                  .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'))
            : QString();
        if (format == SampleWriter::JsonLines) {
            const QJsonObject port{
                {QStringLiteral("port"), info.portName()},
                {QStringLiteral("location"), info.systemLocation()},
                {QStringLiteral("description"), info.description()},
                {QStringLiteral("manufacturer"), info.manufacturer()},
                {QStringLiteral("serial_number"), info.serialNumber()},
                {QStringLiteral("vid_pid"), vidPid},
                {QStringLiteral("can_open"), canOpen},
            };
            printLine(QString::fromUtf8(QJsonDocument(port).toJson(QJsonDocument::Compact)));
            continue;
        }
        QStringList fields{info.portName(), info.description(), info.manufacturer(),
                           info.serialNumber(), vidPid};
        for (QString &field : fields) {
            if (field.isEmpty())
                field = QStringLiteral("-");
        }
        fields << (canOpen ? QStringLiteral("can be opened") : QStringLiteral("cannot be opened"));
        printLine(fields.join(QStringLiteral("  ")));
    }
    return Cli::Done;
}

int findUnit(const QCommandLineParser &parser, const QStringList &ports)
{
    double timeout = 500;
    if (!numberOption(parser, "timeout", 1, &timeout))
        return Cli::Usage;
    const QStringList found = PortFinder::find(ports, qRound(timeout));
    for (const QString &port : found)
        printLine(port);
    if (found.isEmpty()) {
        Cli::message(QStringLiteral("no unit answered"));
        return Cli::NoUnit;
    }
    return Cli::Done;
}

int readUnit(const QCommandLineParser &parser)
{
    double interval = 1;
    double count = 0;
    double duration = 0;
    const QString output = parser.value(QStringLiteral("output"));
    SampleWriter::Format format = defaultFormat(!output.isEmpty());
    if (!numberOption(parser, "interval", 0.1, &interval)
        || !numberOption(parser, "count", 1, &count)
        || !numberOption(parser, "duration", 0.1, &duration)
        || !formatOption(parser,
                         {QStringLiteral("text"), QStringLiteral("csv"), QStringLiteral("jsonl")},
                         &format))
        return Cli::Usage;
    if (count != std::floor(count) || count > 1e9) {
        Cli::message(QStringLiteral("--count takes a whole number of lines"));
        return Cli::Usage;
    }
    SampleWriter writer;
    if (!writer.open(output, format)) {
        Cli::message(output + QStringLiteral(" cannot be written: ") + writer.errorString());
        return Cli::CannotWrite;
    }
    Reader::Options options;
    const int chosen = PortFinder::choose(parser.value(QStringLiteral("port")), &options.port);
    if (chosen != Cli::Done)
        return chosen;
    options.intervalMsecs = qRound(interval * 1000);
    options.count = int(count);
    options.durationMsecs = int(std::min(duration * 1000, 2e9));
    options.reconnect = parser.isSet(QStringLiteral("reconnect"));
    Reader reader(options, &writer);
    InterruptWatcher interrupts;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &reader, &Reader::stop);
    QTimer::singleShot(0, &reader, &Reader::start);
    return QCoreApplication::exec();
}

int calibrateUnit(const QCommandLineParser &parser, const QStringList &arguments)
{
    if (arguments.size() != 2) {
        Cli::message(QStringLiteral("calibrate takes a CHANNEL and a VALUE"));
        return Cli::Usage;
    }
    Calibration::Options options;
    options.port = parser.value(QStringLiteral("port"));
    options.channel = arguments.at(0);
    options.reference = arguments.at(1);
    options.recordPath = parser.value(QStringLiteral("record"));
    options.operatorName = parser.value(QStringLiteral("operator"));
    options.referenceId = parser.value(QStringLiteral("reference-id"));
    double tolerance = -1;
    if (!numberOption(parser, "settle", 1, &options.settleSecs)
        || !numberOption(parser, "tolerance", 0, &tolerance)
        || !numberOption(parser, "settle-timeout", 1, &options.settleTimeoutSecs))
        return Cli::Usage;
    if ((options.settleSecs > 0) != (tolerance >= 0)
        || (options.settleTimeoutSecs > 0 && options.settleSecs == 0)) {
        Cli::message(QStringLiteral("--settle and --tolerance go together; --settle-timeout "
                                    "needs them"));
        return Cli::Usage;
    }
    options.toleranceTenths = tolerance * 10;
    if (options.settleTimeoutSecs == 0)
        options.settleTimeoutSecs = 10 * options.settleSecs;
    return Calibration(options).run();
}

int resetUnit(const QCommandLineParser &parser)
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
    const int chosen = PortFinder::choose(parser.value(QStringLiteral("port")), &port);
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(Description));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOptions({
        {QStringLiteral("trace"), QStringLiteral("Print the link's trace lines on stderr.")},
        {QStringLiteral("port"), QStringLiteral("The unit's port."), QStringLiteral("PORT")},
        {QStringLiteral("format"),
         QStringLiteral("text, csv (read) or jsonl; text on a terminal, jsonl otherwise."),
         QStringLiteral("FORMAT")},
        {QStringLiteral("timeout"), QStringLiteral("find: how long to wait, default 500."),
         QStringLiteral("MS")},
        {QStringLiteral("interval"),
         QStringLiteral("read: seconds between samples, default 1, at least 0.1."),
         QStringLiteral("S")},
        {QStringLiteral("count"), QStringLiteral("read: stop after N lines."), QStringLiteral("N")},
        {QStringLiteral("duration"), QStringLiteral("read: stop after S seconds."),
         QStringLiteral("S")},
        {QStringLiteral("output"),
         QStringLiteral("read: append to FILE instead of stdout (CSV header only into an empty "
                        "file)."),
         QStringLiteral("FILE")},
        {QStringLiteral("reconnect"),
         QStringLiteral("read: when the unit is lost, open the port again every second.")},
        {QStringLiteral("record"),
         QStringLiteral("calibrate: append the record to FILE and sync it to disk."),
         QStringLiteral("FILE")},
        {QStringLiteral("operator"), QStringLiteral("calibrate: who calibrates, for the record."),
         QStringLiteral("NAME")},
        {QStringLiteral("reference-id"),
         QStringLiteral("calibrate: the reference instrument, for the record."),
         QStringLiteral("ID")},
        {QStringLiteral("settle"),
         QStringLiteral("calibrate: take a reading once its spread over S seconds is at most "
                        "--tolerance, instead of the mean of 3 samples."),
         QStringLiteral("S")},
        {QStringLiteral("tolerance"),
         QStringLiteral("calibrate: the largest spread, in the channel's unit."),
         QStringLiteral("T")},
        {QStringLiteral("settle-timeout"),
         QStringLiteral("calibrate: give up settling after S seconds, default 10 x --settle."),
         QStringLiteral("S")},
        {QStringLiteral("yes"), QStringLiteral("reset: do not ask.")},
    });
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("ports, find, read, calibrate or reset."),
                                 QStringLiteral("COMMAND [ARGUMENT...]"));

    QStringList arguments = QCoreApplication::arguments();
    const QRegularExpression negativeNumber(QStringLiteral("^-\\.?[0-9]"));
    for (QString &argument : arguments) {
        if (negativeNumber.match(argument).hasMatch())
            argument.prepend(NumberMark);
    }
    if (!parser.parse(arguments)) {
        Cli::message(parser.errorText());
        return Cli::Usage;
    }
    // Printed here, not by the parser: on Windows it shows them in a message box when it finds no
    // console, and a script waiting for the output would hang on it.
    if (parser.isSet(help) || parser.isSet(version)) {
        const QString text = parser.isSet(help) ? parser.helpText()
                                                : QCoreApplication::applicationName()
                + QLatin1Char(' ') + QCoreApplication::applicationVersion() + QLatin1Char('\n');
        std::fputs(text.toLocal8Bit().constData(), stdout);
        return Cli::Done;
    }
    // The link traces by default for the window's log; here only on request.
    QLoggingCategory::setFilterRules(parser.isSet(QStringLiteral("trace"))
                                         ? QStringLiteral("corvane.link.debug=true")
                                         : QStringLiteral("corvane.link.debug=false"));

    QStringList positional;
    for (const QString &argument : parser.positionalArguments())
        positional << unmarked(argument);
    if (positional.isEmpty()) {
        Cli::message(QStringLiteral("no command: ports, find, read, calibrate or reset (--help)"));
        return Cli::Usage;
    }
    const QString command = positional.takeFirst();
    const QHash<QString, QStringList> commandOptions{
        {QStringLiteral("ports"), {QStringLiteral("format")}},
        {QStringLiteral("find"), {QStringLiteral("timeout")}},
        {QStringLiteral("read"),
         {QStringLiteral("port"), QStringLiteral("interval"), QStringLiteral("count"),
          QStringLiteral("duration"), QStringLiteral("format"), QStringLiteral("output"),
          QStringLiteral("reconnect")}},
        {QStringLiteral("calibrate"),
         {QStringLiteral("port"), QStringLiteral("record"), QStringLiteral("operator"),
          QStringLiteral("reference-id"), QStringLiteral("settle"), QStringLiteral("tolerance"),
          QStringLiteral("settle-timeout")}},
        {QStringLiteral("reset"), {QStringLiteral("port"), QStringLiteral("yes")}},
    };
    if (!commandOptions.contains(command)) {
        Cli::message(QStringLiteral("unknown command %1: ports, find, read, calibrate or reset")
                         .arg(command));
        return Cli::Usage;
    }
    for (const QString &name : parser.optionNames()) {
        if (name != QLatin1String("trace") && !commandOptions.value(command).contains(name)) {
            Cli::message(QStringLiteral("--%1 does not go with %2").arg(name, command));
            return Cli::Usage;
        }
    }
    if (command == QLatin1String("find"))
        return findUnit(parser, positional);
    if (command == QLatin1String("calibrate"))
        return calibrateUnit(parser, positional);
    if (!positional.isEmpty()) {
        Cli::message(QStringLiteral("%1 takes no arguments").arg(command));
        return Cli::Usage;
    }
    if (command == QLatin1String("ports"))
        return listPorts(parser);
    if (command == QLatin1String("read"))
        return readUnit(parser);
    return resetUnit(parser);
}
