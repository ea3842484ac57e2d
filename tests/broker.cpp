#include "broker.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
constexpr int StartMsecs = 20000;

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Ports nobody listens on now, chosen by the system; each stays bound until all are chosen, so
// that they differ. Sets *error when the system gave none.
QVector<int> freePorts(int count, QString *error)
{
    QVector<int> ports, bound;
    while (ports.size() < count && error->isEmpty()) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(0);
        socklen_t size = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0
            || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0)
            *error = QStringLiteral("no free port on 127.0.0.1: ") + qt_error_string(errno);
        if (fd >= 0)
            bound << fd;
        ports << ntohs(address.sin_port);
    }
    for (const int fd : qAsConst(bound))
        ::close(fd);
    return ports;
}

bool accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(port);
    const bool ok =
        fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// Empty on success, else the command and what it said.
QString run(const QString &program, const QStringList &arguments, const QString &dir)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (process.waitForFinished(StartMsecs) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0)
        return QString();
    return program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')) + QStringLiteral(": ")
        + QString::fromLocal8Bit(process.readAll());
}

// A key and a certificate named NAME.key and NAME.crt, signed by the CA or self-signed.
QString certificate(const QString &dir, const QString &name, const QString &subject,
                    const QStringList &extra = {})
{
    return run(QStringLiteral("openssl"),
               QStringList{"req", "-x509", "-newkey", "ec", "-pkeyopt",
                           "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", subject,
                           "-keyout", name + ".key", "-out", name + ".crt"}
                   + extra,
               dir);
}
} // namespace

Broker::Broker(const BrokerOptions &options, const QString &parent)
    : dir((parent.isEmpty() ? QDir::tempPath() : parent) + "/broker-XXXXXX")
{
    dir.setAutoRemove(parent.isEmpty());
    if (!dir.isValid())
        setupError = dir.errorString();
    const QVector<int> ports = freePorts(options.tls ? 2 : 1, &setupError);
    port = ports.value(0);
    tlsPort = options.tls ? ports.value(1) : 0;
    const QString d = dir.path();
    QStringList config{
        "per_listener_settings false",
        // Sessions and their queued messages, QoS 0 ones too, outlive a restart.
        "persistence true",
        "queue_qos0_messages true",
        // Unless asked for, not limited: the default (1000 a client) would drop a long outage's
        // readings here rather than in the publisher.
        QStringLiteral("max_queued_messages %1").arg(options.maxQueued),
        "persistence_location " + d + "/",
        "log_dest file " + d + "/broker.log",
        parent.isEmpty() ? "log_type all" : "",
        // Run as root (a container's CI), it would otherwise switch to a user who cannot write
        // here.
        ::geteuid() == 0 ? "user root" : "",
        "listener " + QString::number(port) + " 127.0.0.1",
    };
    if (options.user.isEmpty()) {
        config << "allow_anonymous true";
    } else {
        config << "allow_anonymous false"
               << "password_file " + d + "/passwd";
        setupError =
            run("mosquitto_passwd", {"-c", "-b", d + "/passwd", options.user, options.password}, d);
    }
    if (options.tls) {
        const QStringList signedByCa{"-CA", "ca.crt", "-CAkey", "ca.key"};
        for (const QString &error :
             {certificate(d, "ca", "/CN=Corvane test CA"),
              certificate(d, "server", "/CN=localhost",
                          QStringList{"-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"}
                              + signedByCa),
              certificate(d, "client", "/CN=corvane-test", signedByCa),
              certificate(d, "other-ca", "/CN=Another CA")})
            setupError += error;
        config << "listener " + QString::number(tlsPort) + " 127.0.0.1"
               << "cafile " + d + "/ca.crt"
               << "certfile " + d + "/server.crt"
               << "keyfile " + d + "/server.key"
               << QStringLiteral("require_certificate %1")
                      .arg(options.clientCertificate ? "true" : "false");
    }
    QFile file(path("mosquitto.conf"));
    if (!file.open(QIODevice::WriteOnly) || file.write(config.join('\n').toUtf8() + '\n') < 0)
        setupError += file.errorString();
    // What it says before its log is open: a warning when run as root, a configuration error.
    process.setStandardOutputFile(path("stderr.log"), QIODevice::Append);
    process.setStandardErrorFile(path("stderr.log"), QIODevice::Append);
}

Broker::~Broker()
{
    stop();
}

void Broker::configure(const QStringList &lines)
{
    QFile file(path("mosquitto.conf"));
    if (!file.open(QIODevice::Append) || file.write(lines.join('\n').toUtf8() + '\n') < 0)
        setupError += file.errorString();
}

QString Broker::start()
{
    if (!setupError.isEmpty())
        return setupError;
    process.start("/usr/sbin/mosquitto", {"-c", path("mosquitto.conf")});
    if (!process.waitForStarted(StartMsecs))
        return process.errorString();
    // Both listeners are open once the broker accepts on the one opened last.
    const int last = tlsPort ? tlsPort : port;
    if (QTest::qWaitFor([&] { return accepts(last) || process.state() != QProcess::Running; },
                        StartMsecs)
        && process.state() == QProcess::Running)
        return QString();
    QFile err(path("stderr.log"));
    return "mosquitto did not start: "
        + (err.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(err.readAll()) : QString())
        + log();
}

bool Broker::stop()
{
    if (process.state() == QProcess::NotRunning)
        return true;
    process.terminate();
    if (process.waitForFinished(StartMsecs))
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    process.kill();
    process.waitForFinished(StartMsecs);
    return false;
}

QString Broker::url() const
{
    return QStringLiteral("mqtt://127.0.0.1:%1").arg(port);
}

QString Broker::tlsUrl() const
{
    return QStringLiteral("mqtts://127.0.0.1:%1").arg(tlsPort);
}

QString Broker::log() const
{
    QFile file(dir.filePath("broker.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

int Broker::connections(int listener, int since) const
{
    return log().mid(since).count(
        QRegularExpression(QStringLiteral("New connection from \\S+ on port %1\\.").arg(listener)));
}

Subscriber::Subscriber(const Broker &broker, const QString &filter, const QString &clientId)
    : broker(broker)
    , clientId(clientId)
{
    process.start("mosquitto_sub",
                  {"-h", "127.0.0.1", "-p", QString::number(broker.port), "-q", "1", "-c", "-i",
                   clientId, "-v", "-t", filter});
}

Subscriber::~Subscriber()
{
    process.kill();
    process.waitForFinished();
}

bool Subscriber::subscribed()
{
    return QTest::qWaitFor(
        [this] { return broker.log().contains("Sending SUBACK to " + clientId); }, StartMsecs);
}

QStringList Subscriber::lines()
{
    output += process.readAllStandardOutput();
    QStringList lines = QString::fromUtf8(output).split('\n');
    lines.removeLast(); // what follows the last newline is not a whole line yet
    return lines;
}

SlowSubscriber::SlowSubscriber(const Broker &broker, const QString &filter, const QString &clientId,
                               int costMicros)
    : broker(broker)
    , clientId(clientId)
    , filter(filter.toUtf8())
    , costMicros(costMicros)
{
    mosquitto_lib_init();
    mosq = mosquitto_new(clientId.toUtf8().constData(), false, this);
    // Subscribed again on each connection, the broker's restart included.
    mosquitto_connect_callback_set(mosq, [](mosquitto *mosq, void *self, int rc) {
        if (rc == 0)
            mosquitto_subscribe(mosq, nullptr,
                                static_cast<SlowSubscriber *>(self)->filter.constData(), 1);
    });
    mosquitto_message_callback_set(
        mosq, [](mosquitto *, void *self, const mosquitto_message *message) {
            auto *subscriber = static_cast<SlowSubscriber *>(self);
            // Its work on the message; the library reads no more meanwhile.
            std::this_thread::sleep_for(std::chrono::microseconds(subscriber->costMicros));
            std::lock_guard<std::mutex> lock(subscriber->mutex);
            subscriber->received << QString::fromUtf8(message->topic) + ' '
                    + QString::fromUtf8(static_cast<const char *>(message->payload),
                                        message->payloadlen);
        });
    mosquitto_connect_async(mosq, "127.0.0.1", broker.port, 30);
    mosquitto_loop_start(mosq);
}

SlowSubscriber::~SlowSubscriber()
{
    mosquitto_disconnect(mosq);
    mosquitto_loop_stop(mosq, true);
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
}

bool SlowSubscriber::subscribed()
{
    return QTest::qWaitFor(
        [this] { return broker.log().contains("Sending SUBACK to " + clientId); }, StartMsecs);
}

QStringList SlowSubscriber::lines()
{
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}
