#ifndef PUBLISHOPTIONS_H
#define PUBLISHOPTIONS_H

#include "gateway.h"

#include <QString>

class QCommandLineParser;

// publish's options beside the gateway they set up: the units and their names, the topics, the
// client's identity and credentials, TLS files and the spool. The numbers (interval, QoS, spool
// limit) and the broker's URL come first, from the command line's own checks. Anything wrong is
// a usage error, with its reason.
class PublishOptions
{
public:
    static bool parse(const QCommandLineParser &parser, Gateway::Options *options, QString *error);
    // Where readings wait for the broker: the service's state directory under systemd, else the
    // user's state directory.
    static QString defaultSpool();
};

#endif // PUBLISHOPTIONS_H
