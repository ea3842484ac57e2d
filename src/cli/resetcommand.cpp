#include "cli.h"
#include "commands.h"
#include "unitsession.h"

#include <QCommandLineParser>
#include <QTextStream>

#include <cstdio>

int resetCommand(const QCommandLineParser &parser, const QStringList &)
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
    if (!Cli::portNotEmpty(parser))
        return Cli::Usage;
    const int chosen = Cli::choosePort(parser, &port);
    if (chosen != Cli::Done)
        return chosen;
    UnitSession session;
    QObject::connect(&session, &UnitSession::notice, &Cli::message);
    const UnitFailure failure = session.open(port, 2000);
    if (failure != UnitFailure::None)
        return Cli::exitFor(failure);
    const QByteArray answer = session.request(SensorProtocol::pack(SensorProtocol::FactoryReset),
                                              SensorProtocol::FactoryReset, 2000);
    if (answer.isEmpty()) {
        Cli::message(QStringLiteral("no answer to the factory reset"));
        return Cli::NoUnit;
    }
    Cli::message(QStringLiteral("the unit is back to its factory settings"));
    return Cli::Done;
}
