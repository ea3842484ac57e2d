#include "cli.h"
#include "commands.h"
#include "gateway.h"
#include "interruptwatcher.h"
#include "publishoptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>

int publishCommand(const QCommandLineParser &parser, const QStringList &)
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
    if (!Cli::numberOption(parser, "interval", &interval) || !Cli::numberOption(parser, "qos", &qos)
        || !Cli::numberOption(parser, "spool-limit", &spoolLimit)
        || !Cli::numberOption(parser, "drain-rate", &broker.drainRate))
        return Cli::Usage;
    if (qos != 0 && qos != 1) {
        Cli::message(QStringLiteral("--qos takes 0 or 1"));
        return Cli::Usage;
    }
    options.intervalMsecs = qRound(interval * 1000);
    broker.qos = int(qos);
    broker.spoolLimitBytes = qint64(spoolLimit * 1024 * 1024);
    if (!PublishOptions::parse(parser, &options, &error)) {
        Cli::message(error);
        return Cli::Usage;
    }

    Gateway gateway(options);
    QObject::connect(&gateway, &Gateway::notice, &Cli::message);
    QObject::connect(&gateway, &Gateway::finished, [] { QCoreApplication::exit(Cli::Done); });
    // Before the start, which may take a while over a large spool: a signal meanwhile is taken,
    // and stops the gateway in order once the loop runs.
    InterruptWatcher interrupts;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &gateway, &Gateway::stop);
    if (!gateway.start(&error)) {
        Cli::message(error);
        return Cli::CannotWrite;
    }
    return QCoreApplication::exec();
}
