#ifndef PORTFINDER_H
#define PORTFINDER_H

#include <QList>
#include <QString>
#include <QStringList>

// Finds the unit by greeting ports: every port at the same time, one reader each, so that a
// search takes one timeout however many ports there are.
class PortFinder
{
public:
    // A port as the system lists it.
    struct Listed
    {
        QString name; // ttyUSB0, COM3
        QString location; // /dev/ttyUSB0
        QString description;
        QString manufacturer;
        QString serialNumber;
        QString vidPid; // 0403:6001; empty: not a USB serial adapter
    };
    // Every port the system lists. CORVANE_ADAPTERS may name a file that stands in for the
    // system's list, one USB adapter a line as "DEVICE [SERIAL]", read anew at every call: the
    // suites present pseudo-terminals as adapters through it, plugged in and out by editing the
    // file, and never greet the machine's own ports.
    static QList<Listed> listed();
    // The ports a search greets when none are named: the USB serial adapters the system lists
    // (a port with a vendor and product id), or with allPorts every listed port. Built-in and
    // Bluetooth ports may have other equipment listening, which a greeting could disturb.
    static QStringList listedPorts(bool allPorts);
    // The ports (listedPorts when none are given) where a unit answered within the time: an
    // exact answer to the connection check and then to a request for its readings, so that a
    // port that only echoes (a loopback plug) is no unit. In the order given; ports that cannot
    // be opened are named on stderr.
    static QStringList find(QStringList ports, int timeoutMsecs, bool allPorts);
    // The given port, or the one port where the unit answers: Usage when several answer (they
    // are named), NoUnit when none does.
    static int choose(const QString &given, bool allPorts, QString *port);
};

#endif // PORTFINDER_H
