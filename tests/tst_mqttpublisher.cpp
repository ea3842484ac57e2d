#include "broker.h"
#include "mqttpublisher.h"
#include "spool.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

// The publisher runs in a child process of this program (started with --publisher URL SPOOL
// [NAME=VALUE...]), as the real program would run it: killed with SIGKILL, its stderr read whole.
// It takes a command a line on stdin, "state TOPIC PAYLOAD", "retained TOPIC PAYLOAD" or "stop",
// and answers "done" once it is done, then "finished MSECS" when a stop has finished.

namespace {
constexpr int WaitMsecs = 30000;
const QString State = QStringLiteral("corvane/u1/state");
const QString Bridge = QStringLiteral("corvane/bridge/corvane-test/availability");

int runPublisher(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const auto given = [&](const QString &key, const QString &otherwise = QString()) {
        const QStringList found = arguments.filter(QRegularExpression('^' + key + '='));
        return found.isEmpty() ? otherwise : found.first().section('=', 1);
    };
    MqttPublisher::Options options;
    QString error;
    MqttPublisher::parseBrokerUrl(arguments.at(2), &options, &error);
    options.spoolDir = arguments.at(3);
    options.clientId = "corvane-test";
    options.username = given("user");
    options.password = given("password");
    options.caFile = given("cafile");
    options.certFile = given("cert");
    options.keyFile = given("key");
    options.qos = given("qos", "1").toInt();
    options.spoolLimitBytes = given("limit", "1048576").toLongLong();
    options.bridgeTopic = given("bridge");
    options.drainRate = given("drain", "0").toDouble();
    MqttPublisher publisher(options);
    // Fast enough by default that a backlog leaves at once.
    publisher.setLiveRate(given("live", "1000").toDouble());
    const auto say = [](const QString &text) { std::fprintf(stderr, "%s\n", qPrintable(text)); };
    QObject::connect(&publisher, &MqttPublisher::notice, say);
    if (!publisher.start(&error)) {
        say(error);
        return 3;
    }
    QElapsedTimer stopping;
    QObject::connect(&publisher, &MqttPublisher::finished, [&] {
        std::printf("finished %lld\n", stopping.elapsed());
        app.quit();
    });
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit space{};
    getrlimit(RLIMIT_FSIZE, &space);
    const rlimit full{64, space.rlim_max};
    QFile input;
    input.open(STDIN_FILENO, QIODevice::ReadOnly);
    QSocketNotifier notifier(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        const QList<QByteArray> words = input.readLine().trimmed().split(' ');
        if (words.at(0) == "state")
            publisher.publishState(QString::fromUtf8(words.at(1)), words.at(2));
        else if (words.at(0) == "retained")
            publisher.publishRetained(QString::fromUtf8(words.at(1)), words.at(2));
        else if (words.at(0) == "full" || words.at(0) == "space")
            // The spool's files cannot grow past what they hold, or again as far as they need.
            setrlimit(RLIMIT_FSIZE, words.at(0) == "full" ? &full : &space);
        std::printf("done\n");
        if (words.at(0) == "stop") {
            stopping.start();
            publisher.stop();
        }
        std::fflush(stdout);
    });
    std::printf("started\n");
    std::fflush(stdout);
    return app.exec();
}

// The test's side of a publisher process; each command is answered once it is done.
struct Publisher
{
    QProcess process;
    QByteArray err;

    ~Publisher() { kill(); }
    // A wrapper, if any, runs the publisher: its program and arguments before the publisher's.
    bool start(const QStringList &arguments, const QStringList &wrapper = {})
    {
        const QStringList command = wrapper
            + QStringList{QCoreApplication::applicationFilePath(), "--publisher"} + arguments;
        process.start(command.first(), command.mid(1));
        if (answer() == "started")
            return true;
        qWarning() << "the publisher did not start:" << errors();
        return false;
    }
    QByteArray answer()
    {
        while (!process.canReadLine() && process.waitForReadyRead(WaitMsecs)) { }
        return process.readLine().trimmed();
    }
    bool send(const QString &line)
    {
        process.write(line.toUtf8() + '\n');
        return answer() == "done";
    }
    // How long the process took to end after stop(), or -1 when it did not finish or failed.
    int stop()
    {
        QElapsedTimer stopping;
        stopping.start();
        const QByteArray line = send("stop") ? answer() : QByteArray();
        return line.startsWith("finished ") && process.waitForFinished(WaitMsecs)
                && process.exitCode() == 0
            ? int(stopping.elapsed())
            : -1;
    }
    void kill()
    {
        process.kill();
        process.waitForFinished();
    }
    QStringList errors()
    {
        err += process.readAllStandardError();
        return QString::fromUtf8(err).split('\n', Qt::SkipEmptyParts);
    }
};
} // namespace

class TestMqttPublisher : public QObject
{
    Q_OBJECT

private slots:
    void parseBrokerUrl();
    void outage_data();
    void outage();
    void connectionErrors_data();
    void connectionErrors();
    void refusals_data();
    void refusals();
};

void TestMqttPublisher::parseBrokerUrl()
{
    MqttPublisher::Options options;
    QString error;
    QVERIFY(MqttPublisher::parseBrokerUrl("mqtt://broker.example", &options, &error));
    QCOMPARE(QStringLiteral("%1 %2 %3").arg(options.host).arg(options.port).arg(options.tls),
             QStringLiteral("broker.example 1883 0"));
    QVERIFY(MqttPublisher::parseBrokerUrl("mqtts://[::1]:8884/", &options, &error));
    QCOMPARE(QStringLiteral("%1 %2 %3").arg(options.host).arg(options.port).arg(options.tls),
             QStringLiteral("::1 8884 1"));
    for (const char *bad : {"http://b", "mqtt://", "b:1883", "mqtt://b:0", "mqtt://b:65536",
                            "mqtt://b/x", "mqtt://b?x=1", "mqtt://[::1"})
        QVERIFY2(!MqttPublisher::parseBrokerUrl(bad, &options, &error) && error.contains(bad),
                 qPrintable(bad));
    // Credentials in the URL are refused without being echoed.
    QVERIFY(!MqttPublisher::parseBrokerUrl("mqtt://u:secret@b", &options, &error));
    QVERIFY2(error.contains("mqtt://***@b") && !error.contains("secret"), qPrintable(error));
}

void TestMqttPublisher::outage_data()
{
    QTest::addColumn<int>("qos");
    QTest::addColumn<bool>("killed"); // the publisher, during the outage, and started again
    QTest::addColumn<int>("limit"); // of the spool, in bytes
    QTest::addColumn<bool>("full"); // the disk, from before the outage until after it
    QTest::addColumn<int>("perTenth"); // readings given each tenth of the outage
    // The units' readings a second, read by a consumer that keeps up with three times that,
    // through the broker's default queue; 0: so fast that a backlog leaves at once.
    QTest::addColumn<int>("live");
    QTest::newRow("broker restarted") << 1 << false << (1 << 20) << false << 10 << 0;
    QTest::newRow("QoS 0") << 0 << false << (1 << 20) << false << 10 << 0;
    QTest::newRow("publisher killed during the outage")
        << 1 << true << (1 << 20) << false << 10 << 0;
    QTest::newRow("spool limit reached") << 1 << false << (8 << 10) << false << 10 << 0;
    QTest::newRow("disk full") << 1 << false << (1 << 20) << true << 10 << 0;
    QTest::newRow("backlog paced for the consumer")
        << 1 << false << (1 << 20) << false << 75 << 150;
}

// The broker is down for 2 s: the connection is lost, and a try 1 s later fails before the one
// that succeeds; what matters is that the publisher finds it gone and comes back by itself.
void TestMqttPublisher::outage()
{
    QFETCH(int, qos);
    QFETCH(bool, killed);
    QFETCH(int, limit);
    QFETCH(bool, full);
    QFETCH(int, perTenth);
    QFETCH(int, live);
    Broker broker({false, false, "", "", live > 0 ? 1000 : 0});
    QCOMPARE(broker.start(), QString());
    std::unique_ptr<Subscriber> fast;
    std::unique_ptr<SlowSubscriber> slow;
    if (live > 0)
        slow = std::make_unique<SlowSubscriber>(broker, State, "outage", 1000000 / (3 * live));
    else
        fast = std::make_unique<Subscriber>(broker, State, "outage");
    QVERIFY(slow ? slow->subscribed() : fast->subscribed());
    const auto received = [&] { return slow ? slow->lines() : fast->lines(); };
    QTemporaryDir spool;
    QStringList arguments{broker.url(), spool.path(), QStringLiteral("qos=%1").arg(qos),
                          QStringLiteral("limit=%1").arg(limit)};
    if (live > 0)
        arguments << QStringLiteral("live=%1").arg(live);
    auto publisher = std::make_unique<Publisher>();
    QVERIFY(publisher->start(arguments));
    // Each payload carries its number and the time it was taken, as a reading does.
    QStringList sent;
    const auto publish = [&](int readings) {
        while (readings-- > 0) {
            sent << QStringLiteral(R"({"n":%1,"time":"%2"})")
                        .arg(sent.size() + 1)
                        .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
            QVERIFY(publisher->send("state " + State + ' ' + sent.last()));
        }
    };
    publish(5);
    QTRY_COMPARE_WITH_TIMEOUT(received().size(), 5, WaitMsecs);
    if (full)
        QVERIFY(publisher->send("full"));

    broker.stop();
    // QoS 0 is at most once: a reading written into a connection that the broker has just
    // closed is lost. Readings are spooled and sent again once the loss is known. Unspooled, a
    // reading is lost once the loss is known.
    if (qos == 0 || full)
        QTRY_VERIFY_WITH_TIMEOUT(!publisher->errors().isEmpty(), WaitMsecs);
    for (int tenth = 0; tenth < 20; ++tenth) {
        publish(perTenth);
        QTest::qWait(100);
        if (killed && tenth == 10) {
            publisher = std::make_unique<Publisher>();
            QVERIFY(publisher->start(arguments));
        }
    }
    QCOMPARE(broker.start(), QString());
    if (full) {
        // With the broker back, readings reach it without the spool, until it takes them again.
        QTRY_VERIFY_WITH_TIMEOUT(!publisher->errors().filter("connected again").isEmpty(),
                                 WaitMsecs);
        publish(5);
        QVERIFY(publisher->send("space"));
    }
    publish(5);

    // Every reading arrives at least once, first in the order sent and as sent, but for the
    // oldest ones the spool reported dropped, or those reported lost; of the dropped ones, ones
    // already handed to the library when the loss was not yet known may arrive all the same.
    QTRY_VERIFY_WITH_TIMEOUT(received().contains(State + ' ' + sent.last()), WaitMsecs);
    const QStringList errors = publisher->errors();
    int dropped = 0, lost = 0;
    for (const QString &line : errors.filter(QRegularExpression("(dropped|lost) \\d")))
        (line.contains("dropped") ? dropped : lost) += line.section(' ', -3, -3).toInt();
    QCOMPARE(dropped > 0, limit < (1 << 20));
    QCOMPARE(lost, full ? 20 * perTenth : 0);
    QStringList firsts = received().replaceInStrings(State + ' ', "");
    firsts.removeDuplicates();
    for (const QString &reading : sent.mid(5, dropped + lost))
        sent.removeAll(firsts.contains(reading) ? QString() : reading);
    QCOMPARE(firsts, sent);
    // One line when the connection is lost, one when it returns; not one per try.
    QCOMPARE(errors.filter("connected again").size(), 1);
    QVERIFY2(errors.filter("retrying").size() <= 2, qPrintable(errors.join('\n')));
}

void TestMqttPublisher::connectionErrors_data()
{
    QTest::addColumn<QString>("setup"); // of the broker
    QTest::addColumn<QStringList>("arguments"); // PLAIN and TLS stand for the listeners' ports
    QTest::addColumn<QString>("line"); // the one line on stderr; empty: connects
    const QString plain = "mqtt://127.0.0.1:PLAIN", tls = "mqtts://127.0.0.1:TLS";
    QTest::newRow("wrong password")
        << "password" << QStringList{plain, "user=plant", "password=guess"}
        << "the broker refused the connection: not authorised";
    QTest::newRow("wrong CA") << "tls" << QStringList{tls, "cafile=other-ca.crt"}
                              << "TLS: certificate verify failed";
    QTest::newRow("TLS to a plain listener")
        << "password"
        << QStringList{"mqtts://127.0.0.1:PLAIN", "cafile=ca.crt", "user=plant", "password=secret"}
        << "TLS: ";
    QTest::newRow("client certificate")
        << "client certificate"
        << QStringList{tls, "cafile=ca.crt", "cert=client.crt", "key=client.key"} << "";
    QTest::newRow("broker down") << "down" << QStringList{plain} << "connection refused";
    QTest::newRow("closed after each acceptance")
        << "closing" << QStringList{plain} << "connection lost";
    QTest::newRow("host name lookup unanswered")
        << "lookup" << QStringList{"mqtt://broker.corvane.test:PLAIN"} << "";
    QTest::newRow("stopped during the first attempt")
        << "stopped at once" << QStringList{plain, "bridge=" + Bridge} << "";
    QTest::newRow("broker silent")
        << "silent" << QStringList{plain} << "no answer from the broker within 10 s";
    QTest::newRow("same id twice")
        << "clash" << QStringList{plain, "bridge=" + Bridge}
        << "another client uses the id corvane-test; give each gateway its own --client-id";
}

// A failure is one line on stderr, however often the publisher tries again; over TLS nothing
// reaches a broker whose certificate fails, and a TLS client never falls back to plain text.
void TestMqttPublisher::connectionErrors()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(QString, line);
    Broker broker(
        {true, setup == "client certificate", setup == "password" ? "plant" : "", "secret"});
    if (setup != "down" && setup != "closing" && setup != "lookup" && setup != "silent")
        QCOMPARE(broker.start(), QString());
    // The broker's own start-up check is a connection too.
    const int since = broker.log().size();
    arguments.replaceInStrings("PLAIN", QString::number(broker.port))
        .replaceInStrings("TLS", QString::number(broker.tlsPort))
        .replaceInStrings(QRegularExpression("=(.*\\.(crt|key))$"), "=" + broker.path("\\1"));
    const int port = arguments.first().section(':', -1).toInt();
    QTcpServer listener;
    // The broker accepts each connection and closes it at once, or takes it and never answers.
    QVERIFY((setup != "closing" && setup != "silent")
            || listener.listen(QHostAddress::LocalHost, quint16(port)));
    QSignalSpy accepted(&listener, &QTcpServer::newConnection);
    QTemporaryDir spool;
    QStringList wrapper;
    QUdpSocket nameServer;
    if (setup == "lookup") {
        if (::geteuid() != 0)
            QSKIP("a resolver configuration of its own needs root");
        // A name server on a loopback address that takes the query and never answers, the only
        // one the publisher knows of, in a mount namespace of its own.
        for (int host = 1; host < 255 && nameServer.state() != QAbstractSocket::BoundState; ++host)
            nameServer.bind(QHostAddress(QStringLiteral("127.83.0.%1").arg(host)), 53);
        QFile resolver(spool.filePath("resolv.conf"));
        QVERIFY(resolver.open(QIODevice::WriteOnly));
        resolver.write("nameserver " + nameServer.localAddress().toString().toUtf8()
                       + "\noptions timeout:30 attempts:1\n");
        resolver.close();
        wrapper = QStringList{"unshare",
                              "-m",
                              "sh",
                              "-c",
                              R"(mount --bind "$0" /etc/resolv.conf && exec "$@")",
                              resolver.fileName()};
    }
    Publisher publisher;
    QVERIFY(publisher.start(arguments.mid(0, 1) + QStringList{spool.path()} + arguments.mid(1),
                            wrapper));
    if (setup != "stopped at once")
        QVERIFY(publisher.send("state " + State + " {\"n\":1}"));
    if (setup == "lookup") {
        QVERIFY(nameServer.waitForReadyRead(WaitMsecs));
    } else if (setup == "silent") {
        // Given up in time, and tried again.
        QTRY_VERIFY_WITH_TIMEOUT(accepted.size() >= 2, WaitMsecs);
    } else if (setup == "closing") {
        QElapsedTimer clock;
        clock.start();
        QVector<qint64> acceptedAt;
        while (acceptedAt.size() < 3) {
            QVERIFY(listener.waitForNewConnection(WaitMsecs));
            acceptedAt << clock.elapsed();
            QTcpSocket *connection = listener.nextPendingConnection();
            QVERIFY(connection->waitForReadyRead(WaitMsecs));
            // CONNACK as MQTT 5 words it: accepted, no session, no properties.
            connection->write(QByteArray::fromHex("2003000000"));
            QVERIFY(connection->waitForBytesWritten(WaitMsecs));
            delete connection;
        }
        // Tried again after 1 s, then 2: such a connection does not start the delays again.
        QVERIFY2(acceptedAt.at(2) - acceptedAt.at(1) >= 1900,
                 qPrintable(QString::number(acceptedAt.at(2) - acceptedAt.at(1))));
    } else if (setup == "clash") {
        // Each takes the session from the other in turn; the broker says nothing of why.
        Publisher other;
        QVERIFY(other.start({arguments.first(), spool.filePath("other"), arguments.last()}));
        const auto named = [&](Publisher &gateway) {
            return gateway.errors()
                .filter(QStringLiteral("broker 127.0.0.1:%1: %2").arg(port).arg(line))
                .size();
        };
        QTRY_VERIFY_WITH_TIMEOUT(named(publisher) + named(other) > 0, WaitMsecs);
        // Once, however often the session is taken again.
        const int taken = broker.log().count("already connected");
        QTRY_VERIFY_WITH_TIMEOUT(broker.log().count("already connected") >= taken + 2, WaitMsecs);
        QVERIFY2(named(publisher) <= 1 && named(other) <= 1,
                 qPrintable((publisher.errors() + other.errors()).join('\n')));
    } else if (line.isEmpty()) {
        // Stopped at once, it waits for nothing of the broker.
        if (setup != "stopped at once")
            QTRY_VERIFY_WITH_TIMEOUT(broker.log().contains("Received PUBLISH from corvane-test"),
                                     WaitMsecs);
    } else if (setup == "down") {
        QTRY_VERIFY_WITH_TIMEOUT(!publisher.errors().isEmpty(), WaitMsecs);
        // A listener there after the failure takes its next try: it tries again, with no new line.
        QVERIFY(listener.listen(QHostAddress::LocalHost, quint16(port)));
        QVERIFY(listener.waitForNewConnection(WaitMsecs));
    } else {
        // A second attempt comes only after the first one's failure was reported.
        QTRY_VERIFY_WITH_TIMEOUT(broker.connections(port, since) >= 2, WaitMsecs);
        QVERIFY(!broker.log().contains("New client connected") || setup == "password");
    }
    const int stopMsecs = publisher.stop();
    QVERIFY2(stopMsecs >= 0 && stopMsecs <= 2000, qPrintable(QString::number(stopMsecs)));
    // Stopped while it connected, it waits for the connection so the broker hears it is offline.
    if (setup == "stopped at once")
        QVERIFY(broker.log().contains(QRegularExpression(
            QStringLiteral(R"(Received PUBLISH from corvane-test .*'%1', \.\.\. \(7 bytes\))")
                .arg(Bridge))));
    const QStringList errors = publisher.errors();
    // A broker that closes each connection it accepts is one failure and one recovery in all,
    // however often it is tried again.
    if (setup == "closing")
        QVERIFY2(errors.size() <= 2, qPrintable(errors.join('\n')));
    else if (setup != "clash")
        QCOMPARE(errors.size(), line.isEmpty() ? 0 : 1);
    const QString expected = QStringLiteral("broker 127.0.0.1:%1: %2").arg(port).arg(line);
    QVERIFY2(line.isEmpty() || setup == "clash" || errors.first().startsWith(expected),
             qPrintable(errors.join('\n')));
}

void TestMqttPublisher::refusals_data()
{
    QTest::addColumn<QString>("acl");
    QTest::addColumn<QStringList>("config");
    QTest::addColumn<QStringList>("lines"); // on stderr, after "broker 127.0.0.1:PORT refused "
    QTest::newRow("ACL allows reading only")
        << "topic read #" << QStringList()
        << QStringList{"the retained value of " + Bridge + ": not authorised; kept to try again",
                       State + ": not authorised; kept to try again"};
    QTest::newRow("readings over the size limit")
        << "" << QStringList{"message_size_limit 50"}
        << QStringList{State + ": packet too large; kept to try again"};
    // Announced at the connection: the client itself holds such readings back.
    QTest::newRow("readings over the packet size")
        << "" << QStringList{"max_packet_size 120"}
        << QStringList{State + ": packet too large; kept to try again"};
}

// What the broker acknowledges with a refusal stays in the spool, tried again later rather than
// in a loop, and is named once per topic and reason.
void TestMqttPublisher::refusals()
{
    QFETCH(QString, acl);
    QFETCH(QStringList, config);
    QFETCH(QStringList, lines);
    Broker broker;
    QFile aclFile(broker.path("acl"));
    if (!acl.isEmpty()) {
        QVERIFY(aclFile.open(QIODevice::WriteOnly) && aclFile.write(acl.toUtf8() + '\n') > 0);
        config << "acl_file " + aclFile.fileName();
    }
    // With the harness's unlimited queue, this broker closes the connection after a refusal.
    broker.configure(config << "max_queued_messages 1000");
    QCOMPARE(broker.start(), QString());
    QTemporaryDir spool;
    Publisher publisher;
    QVERIFY(publisher.start({broker.url(), spool.path(), "bridge=" + Bridge}));
    constexpr int Readings = 6;
    for (int n = 1; n <= Readings; ++n)
        QVERIFY(publisher.send(
            QStringLiteral(
                R"(state %1 {"n":%2,"note":"longer_than_fifty_bytes_as_readings_are_and_than_a_packet_of_120_bytes_with_its_topic_"})")
                .arg(State)
                .arg(n)));
    const QRegularExpression reading("PUBLISH from corvane-test \\(d\\d, q1, r0");
    if (config.contains("max_packet_size 120")) {
        QTRY_VERIFY_WITH_TIMEOUT(!publisher.errors().isEmpty(), WaitMsecs);
        QCOMPARE(broker.log().count(reading), 0);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(broker.log().count(reading) > Readings, WaitMsecs);
        QVERIFY2(broker.log().count(reading) <= 2 * Readings, qPrintable(broker.log()));
    }
    QVERIFY(publisher.stop() >= 0);
    QCOMPARE(
        publisher.errors(),
        lines.replaceInStrings(QRegularExpression("^"),
                               QStringLiteral("broker 127.0.0.1:%1 refused ").arg(broker.port)));
    Spool left;
    QString error;
    QVERIFY2(left.open(spool.path(), 1 << 20, &error), qPrintable(error));
    QCOMPARE(left.pending(), qint64(Readings));
}

int main(int argc, char **argv)
{
    if (argc > 3 && qstrcmp(argv[1], "--publisher") == 0)
        return runPublisher(argc, argv);
    QCoreApplication app(argc, argv);
    TestMqttPublisher test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mqttpublisher.moc"
