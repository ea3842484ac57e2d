#include "cli.h"

#include "lineoutput.h"
#include "prober.h"

#include <QCommandLineParser>

#include <cmath>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {
constexpr int ChooseTimeoutMsecs = 500;
}

namespace Cli {

void message(const QString &text)
{
    static LineOutput stderrLines;
    if (!stderrLines.isOpen())
        stderrLines.openStream(LineOutput::StandardError);
    // A message with line breaks (a library's) still takes one line.
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    stderrLines.writeLine("corvane-cli: " + line.toUtf8());
}

void installMessageHandler()
{
    qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &text) { message(text); });
}

bool isTerminal(int fd)
{
#ifdef Q_OS_WIN
    return _isatty(fd) != 0;
#else
    return ::isatty(fd) == 1;
#endif
}

Exit exitFor(UnitFailure failure)
{
    switch (failure) {
    case UnitFailure::None:
        return Done;
    case UnitFailure::CannotOpen:
        return CannotOpen;
    case UnitFailure::NoUnit:
        break;
    }
    return NoUnit;
}

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
        message(QStringLiteral("--%1 takes a number from %2 to %3, not %4")
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
                  ReadingFormat::Format *format)
{
    const QString name = parser.value(QStringLiteral("format"));
    if (!parser.isSet(QStringLiteral("format")))
        return true;
    if (names.contains(name) && ReadingFormat::parse(name, format))
        return true;
    message(QStringLiteral("--format takes %1, not %2").arg(names.join(QLatin1Char('|')), name));
    return false;
}

ReadingFormat::Format defaultFormat(bool toFile)
{
    return !toFile && isTerminal(1) ? ReadingFormat::Text : ReadingFormat::JsonLines;
}

bool portNotEmpty(const QCommandLineParser &parser)
{
    if (parser.isSet(QStringLiteral("port")) && parser.value(QStringLiteral("port")).isEmpty()) {
        message(QStringLiteral("--port is empty"));
        return false;
    }
    return true;
}

int choosePort(const QCommandLineParser &parser, QString *port)
{
    *port = parser.value(QStringLiteral("port"));
    if (!port->isEmpty())
        return Done;
    const bool allPorts = parser.isSet(QStringLiteral("all-ports"));
    Prober prober;
    QObject::connect(&prober, &Prober::failed,
                     [](const QString &, UnitFailure, const QString &why) { message(why); });
    const QStringList found = prober.find(QStringList(), ChooseTimeoutMsecs, allPorts);
    if (found.isEmpty()) {
        message(allPorts ? QStringLiteral("no unit answered on any port; name one with --port")
                         : QStringLiteral("no unit answered on a USB serial adapter; name the port "
                                          "with --port, or greet every port with --all-ports"));
        return NoUnit;
    }
    if (found.size() > 1) {
        message(QStringLiteral("units answer on several ports; choose one with --port: ")
                + found.join(QStringLiteral(", ")));
        return Usage;
    }
    *port = found.first();
    return Done;
}

} // namespace Cli
