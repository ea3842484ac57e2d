#include "publishoptions.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QSysInfo>

namespace {

// A password is a line; a file any longer is the wrong one (or a device that never ends).
constexpr int MaxPasswordBytes = 4096;

// A file an option names must be there to be read before anything is opened.
bool readableFile(const QCommandLineParser &parser, const char *name, QString *path, QString *error)
{
    *path = parser.value(QLatin1String(name));
    if (!parser.isSet(QLatin1String(name)))
        return true;
    QFile file(*path);
    if (path->isEmpty() || !file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("--%1 %2 cannot be read: %3")
                     .arg(QLatin1String(name), *path, file.errorString());
        return false;
    }
    return true;
}

bool parseUnits(const QCommandLineParser &parser, Gateway::Options *options, QString *error)
{
    for (const QString &value : parser.values(QStringLiteral("port"))) {
        const int equals = value.lastIndexOf(QLatin1Char('='));
        Gateway::Unit unit{equals < 0 ? value : value.left(equals),
                           equals < 0 ? QString() : value.mid(equals + 1)};
        if (unit.port.isEmpty() || (equals >= 0 && !Topics::isName(unit.name))) {
            *error = QStringLiteral("--port takes PORT or PORT=NAME, NAME of letters, digits, _ "
                                    "and - (a topic level), not \"%1\"")
                         .arg(value);
            return false;
        }
        if (equals < 0)
            unit.name = Gateway::defaultName(unit.port);
        if (unit.name.size() > Topics::MaxNameLength) {
            *error = equals < 0
                ? QStringLiteral("--port %1 gives a name of %2 characters, more than %3: give "
                                 "PORT=NAME")
                      .arg(unit.port)
                      .arg(unit.name.size())
                      .arg(Topics::MaxNameLength)
                : QStringLiteral("--port takes a NAME of at most %1 characters, not %2")
                      .arg(Topics::MaxNameLength)
                      .arg(unit.name.size());
            return false;
        }
        for (const Gateway::Unit &other : std::as_const(options->units)) {
            if (other.name == unit.name || other.port == unit.port) {
                *error = QStringLiteral("%1 and %2 are both served as %3")
                             .arg(other.port, unit.port, unit.name);
                return false;
            }
        }
        options->units << unit;
    }
    return true;
}

bool parseTopics(const QCommandLineParser &parser, Gateway::Options *options, QString *error)
{
    const auto prefixOption = [&](const char *name, QString *prefix) {
        if (parser.isSet(QLatin1String(name)))
            *prefix = parser.value(QLatin1String(name));
        QString bad;
        if (!Topics::isPrefix(*prefix, &bad)) {
            // Such a character is named, not printed.
            *error = bad.isEmpty()
                ? QStringLiteral("--%1 takes topic levels without + or #, not \"%2\"")
                      .arg(QLatin1String(name), *prefix)
                : QStringLiteral("--%1 holds %2; a topic takes no control characters or "
                                 "non-characters")
                      .arg(QLatin1String(name), bad);
            return false;
        }
        const int bytes = prefix->toUtf8().size();
        if (bytes <= Topics::MaxPrefixBytes)
            return true;
        *error = QStringLiteral("--%1 takes at most %2 bytes in UTF-8, not %3")
                     .arg(QLatin1String(name))
                     .arg(Topics::MaxPrefixBytes)
                     .arg(bytes);
        return false;
    };
    if (!prefixOption("topic-prefix", &options->topicPrefix)
        || !prefixOption("discovery-prefix", &options->discoveryPrefix))
        return false;
    if (parser.isSet(QStringLiteral("no-discovery"))) {
        if (parser.isSet(QStringLiteral("discovery-prefix"))) {
            *error = QStringLiteral("--no-discovery and --discovery-prefix exclude each other");
            return false;
        }
        options->discoveryPrefix.clear();
    }
    return true;
}

bool parseClient(const QCommandLineParser &parser, MqttPublisher::Options *broker, QString *error)
{
    broker->clientId = parser.isSet(QStringLiteral("client-id"))
        ? parser.value(QStringLiteral("client-id"))
        : Topics::nameFrom(QStringLiteral("corvane-") + QSysInfo::machineHostName());
    if (!Topics::isName(broker->clientId)) {
        *error = QStringLiteral("--client-id takes letters, digits, _ and - (a topic level)");
        return false;
    }
    if (broker->clientId.size() > Topics::MaxClientIdLength) {
        *error = QStringLiteral("--client-id takes at most %1 characters, not %2")
                     .arg(Topics::MaxClientIdLength)
                     .arg(broker->clientId.size());
        return false;
    }
    broker->username = parser.value(QStringLiteral("username"));
    QString passwordFile;
    if (!readableFile(parser, "password-file", &passwordFile, error)
        || !readableFile(parser, "cafile", &broker->caFile, error)
        || !readableFile(parser, "cert", &broker->certFile, error)
        || !readableFile(parser, "key", &broker->keyFile, error))
        return false;
    if (broker->certFile.isEmpty() != broker->keyFile.isEmpty()) {
        *error = QStringLiteral("--cert and --key go together");
        return false;
    }
    if ((!broker->caFile.isEmpty() || !broker->certFile.isEmpty()) && !broker->tls) {
        *error = QStringLiteral("--cafile, --cert and --key need an mqtts:// broker");
        return false;
    }
    if (!passwordFile.isEmpty()) {
        QFile file(passwordFile);
        file.open(QIODevice::ReadOnly);
        QByteArray password = file.read(MaxPasswordBytes + 1);
        if (password.size() > MaxPasswordBytes) {
            *error = QStringLiteral("--password-file %1 holds more than %2 bytes; it takes the "
                                    "password alone")
                         .arg(passwordFile)
                         .arg(MaxPasswordBytes);
            return false;
        }
        if (password.endsWith('\n'))
            password.chop(1);
        broker->password = QString::fromUtf8(password);
    } else {
        broker->password = qEnvironmentVariable("CORVANE_MQTT_PASSWORD");
    }
    if (!broker->password.isEmpty() && broker->username.isEmpty()) {
        *error = QStringLiteral("a password needs --username");
        return false;
    }
    return true;
}

} // namespace

bool PublishOptions::parse(const QCommandLineParser &parser, Gateway::Options *options,
                           QString *error)
{
    if (!parseUnits(parser, options, error) || !parseTopics(parser, options, error)
        || !parseClient(parser, &options->broker, error))
        return false;
    MqttPublisher::Options &broker = options->broker;
    broker.spoolDir = parser.isSet(QStringLiteral("spool")) ? parser.value(QStringLiteral("spool"))
                                                            : defaultSpool();
    if (broker.spoolDir.isEmpty()) {
        *error = QStringLiteral("--spool is empty");
        return false;
    }
    return true;
}

QString PublishOptions::defaultSpool()
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
