#ifndef PROBER_H
#define PROBER_H

#include "unitfailure.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class Reader;

// Finds units by greeting ports: every port at the same time, one reader each, so that a search
// takes one timeout however many ports there are. A unit counts once it gave an exact answer to
// the connection check and then to a request for its readings, so that a port that only echoes
// (a loopback plug) is no unit. find, the commands without a port and publish's adapter scan all
// search through it.
class Prober : public QObject
{
    Q_OBJECT

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

    explicit Prober(QObject *parent = nullptr);
    ~Prober() override;

    // Greets the ports; answered() for each where a unit answers within the time, finished()
    // once no greeting of any probe is left. Probes may overlap.
    void probe(const QStringList &ports, int timeoutMsecs);
    // Waits for a probe of the ports (listedPorts when none are given): those where a unit
    // answered, in the order given.
    QStringList find(QStringList ports, int timeoutMsecs, bool allPorts);
    // Ends every greeting under way.
    void stop();

signals:
    void answered(const QString &port);
    // The port cannot be opened, or no unit answered there; why, for a person.
    void failed(const QString &port, UnitFailure failure, const QString &why);
    void finished();

private:
    void retire(Reader *reader);

    QHash<Reader *, int> greeting; // each reader's probe
    int probes = 0;
};

#endif // PROBER_H
