#include "cli.h"
#include "commands.h"
#include "lineoutput.h"
#include "prober.h"

#include <QCommandLineParser>

int findCommand(const QCommandLineParser &parser, const QStringList &ports)
{
    double timeout = 500;
    if (!Cli::numberOption(parser, "timeout", &timeout))
        return Cli::Usage;
    if (ports.contains(QString())) {
        Cli::message(QStringLiteral("find takes port names, not an empty one"));
        return Cli::Usage;
    }
    Prober prober;
    QObject::connect(&prober, &Prober::failed,
                     [](const QString &, UnitFailure, const QString &why) { Cli::message(why); });
    const QStringList found =
        prober.find(ports, qRound(timeout), parser.isSet(QStringLiteral("all-ports")));
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
