#ifndef PORTFINDER_H
#define PORTFINDER_H

#include <QString>
#include <QStringList>

// Finds the unit by greeting ports: every port at the same time, one link each, so that a search
// takes one timeout however many ports there are.
class PortFinder
{
public:
    // The ports (every port the system lists when none are given) where an intact answer to the
    // connection check arrived within the time, in the order given. Ports that cannot be opened
    // are named on stderr.
    static QStringList find(QStringList ports, int timeoutMsecs);
    // The given port, or the one port where the unit answers: Usage when several answer (they
    // are named), NoUnit when none does.
    static int choose(const QString &given, QString *port);
};

#endif // PORTFINDER_H
