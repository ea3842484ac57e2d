#include "broker.h"
#include "simulatedunit.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QtTest>

#include <csignal>

// corvane-cli publish as a site runs it: the built program as a process serving two simulated
// units on pseudo-terminals, against Debian's mosquitto on loopback, read by mosquitto_sub.

// How the gateway finds its units, and what happens while it serves them.
enum Setup { Ports, Unplugged, BrokerRestarted, Adapters, Container };
Q_DECLARE_METATYPE(Setup)

namespace {
const QString Time = QStringLiteral(R"([0-9-]{10}T[0-9:]{8}\.[0-9]{3}\+00:00)");

const QByteArray Greeting = QByteArray::fromHex("21630379");

// Replaced whole, so that a scan never reads half of the list.
bool listAdapters(const QString &path, const QStringList &adapters)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(adapters.join('\n').toUtf8() + '\n') > 0
        && file.commit();
}
} // namespace

class TestPublish : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qputenv("TZ", "UTC"); }
    void publish_data();
    void publish();
    void service();
};

void TestPublish::publish_data()
{
    QTest::addColumn<Setup>("setup");
    // What ends the gateway; SIGKILL leaves its availability to the last will.
    QTest::addColumn<int>("signal");
    QTest::newRow("stopped with SIGTERM") << Ports << int(SIGTERM);
    QTest::newRow("stopped with SIGINT") << Ports << int(SIGINT);
    QTest::newRow("stopped with SIGHUP") << Ports << int(SIGHUP);
    QTest::newRow("killed: the last will") << Ports << int(SIGKILL);
    QTest::newRow("a unit unplugged and back") << Unplugged << int(SIGTERM);
    QTest::newRow("the broker restarted without its store") << BrokerRestarted << int(SIGTERM);
    QTest::newRow("USB adapters, plugged in and out") << Adapters << int(SIGTERM);
    QTest::newRow("killed as pid 1 in a container, restarted") << Container << int(SIGKILL);
}

void TestPublish::publish()
{
    QFETCH(Setup, setup);
    QFETCH(int, signal);

    Broker broker;
    QCOMPARE(broker.start(), QString());
    Subscriber subscriber(broker, QStringLiteral("#"), QStringLiteral("tst-publish"));
    QVERIFY(subscriber.subscribed());
    QTemporaryDir scratch;
    SimulatedUnit left, right, spare, twin, mute, newcomer, held;
    for (SimulatedUnit *unit : {&left, &right, &spare, &twin, &held})
        unit->setDrift(false);
    mute.setSilent(true);
    newcomer.setSilent(true);
    QVERIFY(left.openPty() && right.openPty());
    right.setReading(SimulatedUnit::AirTemperature, -100);
    spare.setReading(SimulatedUnit::AirTemperature, -100);
    // Through links, so that a unit back on another pseudo-terminal is found at the same path.
    const QString leftPort = scratch.filePath(QStringLiteral("left"));
    const QString rightPort = scratch.filePath(QStringLiteral("right"));
    QVERIFY(QFile::link(left.portName(), leftPort) && QFile::link(right.portName(), rightPort));

    QProcess cli;
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList arguments({"publish", "--broker", broker.url(), "--interval", "0.2", "--client-id",
                           "gw", "--spool", scratch.filePath("spool")});
    // Without --port units are named after their adapters' serial numbers.
    const QString adapters = scratch.filePath(QStringLiteral("adapters"));
    QStringList listed{leftPort + " left", rightPort + " right"};
    QProcess holder;
    if (setup == Adapters) {
        QVERIFY(mute.openPty() && twin.openPty() && newcomer.openPty() && held.openPty());
        // A read left running holds an adapter while the gateway starts, as ModemManager may
        // hold one just plugged in.
        holder.start(QStringLiteral(CORVANE_CLI), {"read", "--port", held.portName()});
        QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine(), 10000);
        QVERIFY(listAdapters(adapters, listed << mute.portName() << held.portName() + " held"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("CORVANE_ADAPTERS"), adapters);
        cli.setProcessEnvironment(environment);
    } else {
        arguments << "--port" << leftPort + "=left"
                  << "--port" << rightPort + "=right";
    }
    // In a PID namespace of its own the gateway is pid 1 on every start, as in a container.
    QString program = QStringLiteral(CORVANE_CLI);
    if (setup == Container) {
        arguments = QStringList{"--pid", "--kill-child", "--mount-proc", program} + arguments;
        program = QStringLiteral("unshare");
    }
    cli.start(program, arguments);
    QVERIFY(cli.waitForStarted());
    // The last message on the topic has come, within a generous time for a loaded machine.
    const auto arrived = [&](const QString &topic, const QString &payload) {
        return QTest::qWaitFor(
            [&] {
                const QStringList lines = subscriber.lines().filter(topic + QLatin1Char(' '));
                return !lines.isEmpty() && lines.last() == topic + QLatin1Char(' ') + payload;
            },
            10000);
    };
    const QString state = QStringLiteral(R"(corvane/%1/state \{"time":"%2","air_temperature_c":%3,)"
                                         R"("humidity_rh":45\.3,"pressure_kpa":101\.3,)"
                                         R"("oil_temperature_c":40\.2\})");
    const QRegularExpression leftState(state.arg("left", Time, "21\\.5"));
    const QRegularExpression rightState(state.arg("right", Time, "-10\\.0"));
    QVERIFY(QTest::qWaitFor(
        [&] {
            const QStringList lines = subscriber.lines();
            return lines.filter(leftState).size() >= 2 && lines.filter(rightState).size() >= 2;
        },
        10000));
    QVERIFY(arrived("corvane/left/availability", "online"));
    QVERIFY(arrived("corvane/right/availability", "online"));
    QVERIFY(arrived("corvane/bridge/gw/availability", "online"));

    // One device of four sensors per unit, each available only while its unit and the gateway
    // are.
    const QStringList configs =
        subscriber.lines().filter(QRegularExpression(QStringLiteral("^homeassistant/sensor/")));
    QCOMPARE(configs.size(), 8);
    const QStringList classes{"temperature", "humidity", "atmospheric_pressure", "temperature"};
    const QStringList units{"°C", "%", "kPa", "°C"};
    const QStringList keys{"air_temperature_c", "humidity_rh", "pressure_kpa", "oil_temperature_c"};
    for (int i = 0; i < configs.size(); ++i) {
        const QString name = i < 4 ? QStringLiteral("left") : QStringLiteral("right");
        const QString topic = configs.at(i).section(' ', 0, 0);
        const QJsonObject config =
            QJsonDocument::fromJson(configs.at(i).section(' ', 1).toUtf8()).object();
        const int k = i % 4;
        QCOMPARE(topic,
                 QStringLiteral("homeassistant/sensor/corvane_%1/%2/config").arg(name, keys[k]));
        QCOMPARE(config["unique_id"].toString(),
                 QStringLiteral("corvane_%1_%2").arg(name, keys[k]));
        QCOMPARE(config["state_topic"].toString(), QStringLiteral("corvane/%1/state").arg(name));
        QCOMPARE(config["value_template"].toString(),
                 QStringLiteral("{{ value_json.%1 }}").arg(keys[k]));
        QCOMPARE(config["device_class"].toString(), classes[k]);
        QCOMPARE(config["unit_of_measurement"].toString(), units[k]);
        QCOMPARE(config["state_class"].toString(), QStringLiteral("measurement"));
        QCOMPARE(config["availability_mode"].toString(), QStringLiteral("all"));
        // Three samples of 0.2 s are less than the least expiry.
        QCOMPARE(config["expire_after"].toInt(), 10);
        QCOMPARE(config["suggested_display_precision"].toInt(), 1);
        QCOMPARE(config["origin"].toObject(),
                 (QJsonObject{{"name", "Corvane"}, {"sw_version", "0.1.0"}}));
        QCOMPARE(config["availability"].toArray(),
                 (QJsonArray{QJsonObject{{"topic", "corvane/" + name + "/availability"}},
                             QJsonObject{{"topic", "corvane/bridge/gw/availability"}}}));
        const QJsonObject device = config["device"].toObject();
        QCOMPARE(device["identifiers"].toArray(), QJsonArray{"corvane_" + name});
        QVERIFY(!device["name"].toString().isEmpty() && !device["model"].toString().isEmpty()
                && !device["sw_version"].toString().isEmpty());
    }

    // The right unit's adapter unplugged, its device gone with it, and plugged in again with the
    // unit on a new line. A device left behind would be retried while another suite's unit took
    // over its freed pseudo-terminal.
    const auto unplug = [&] {
        const bool gone = QFile::remove(rightPort);
        right.hangUp();
        return gone && arrived("corvane/right/availability", "offline");
    };
    const auto plugIn = [&] { return spare.openPty() && QFile::link(spare.portName(), rightPort); };
    if (setup == Unplugged) {
        QVERIFY(unplug() && plugIn());
        QVERIFY(arrived("corvane/right/availability", "online"));
    } else if (setup == BrokerRestarted) {
        // Without its store the broker forgot every retained value; the gateway gives them again.
        broker.stop();
        QVERIFY(QFile::remove(broker.path(QStringLiteral("mosquitto.db"))));
        const int since = broker.log().size();
        QCOMPARE(broker.start(), QString());
        QTRY_VERIFY_WITH_TIMEOUT(
            broker.log().mid(since).count(QRegularExpression("from gw \\(d0, q1, r1,")) >= 11,
            20000);
        Subscriber after(broker, QStringLiteral("#"), QStringLiteral("after-restart"));
        const QRegularExpression retained(QStringLiteral("^homeassistant/sensor/| online$"));
        QTRY_COMPARE_WITH_TIMEOUT(after.lines().filter(retained).size(), 11, 10000);
    } else if (setup == Adapters) {
        // Greeted once at the start; a later scan finds a second adapter with the left unit's
        // serial number, serves it under a name of its own, and leaves the silent one alone.
        QTRY_COMPARE_WITH_TIMEOUT(mute.receivedBytes().count(Greeting), 1, 10000);
        // Released once the first scan found it busy: it was never greeted, so a later scan does.
        holder.terminate();
        QVERIFY(holder.waitForFinished(10000));
        QVERIFY(listAdapters(adapters, listed << twin.portName() + " left"));
        const QRegularExpression twinState(QStringLiteral("^corvane/left_\\S+/state "));
        QTRY_VERIFY_WITH_TIMEOUT(!subscriber.lines().filter(twinState).isEmpty(), 25000);
        QCOMPARE(mute.receivedBytes().count(Greeting), 1);
        // Unplugged: the scan that greets a newcomer saw the right unit and the silent one gone.
        QVERIFY(unplug());
        QVERIFY(listAdapters(adapters,
                             {leftPort + " left", twin.portName() + " left",
                              held.portName() + " held", newcomer.portName()}));
        QTRY_COMPARE_WITH_TIMEOUT(newcomer.receivedBytes().count(Greeting), 1, 25000);
        // Plugged in again: the silent one is greeted anew, the right unit served as before.
        const int before = subscriber.lines().filter(rightState).size();
        QVERIFY(plugIn() && listAdapters(adapters, listed << newcomer.portName()));
        QTRY_COMPARE_WITH_TIMEOUT(mute.receivedBytes().count(Greeting), 2, 25000);
        QVERIFY(arrived("corvane/right/availability", "online"));
        QTRY_VERIFY_WITH_TIMEOUT(subscriber.lines().filter(rightState).size() >= before + 2, 25000);
        QCOMPARE(subscriber.lines().filter(QRegularExpression("^corvane/right_")), QStringList());
        QVERIFY(!subscriber.lines().filter(QRegularExpression("^corvane/held/state ")).isEmpty());
    }
    ::kill(pid_t(cli.processId()), signal);
    QVERIFY(cli.waitForFinished(10000));
    if (signal == SIGKILL) {
        QVERIFY(arrived("corvane/bridge/gw/availability", "offline"));
        if (setup != Container)
            return;
        // Pid 1 again: the spool's lock went with the process that held it.
        cli.start(program, arguments);
        QVERIFY(arrived("corvane/bridge/gw/availability", "online"));
        QCOMPARE(cli.state(), QProcess::Running);
        ::kill(pid_t(cli.processId()), SIGKILL);
        QVERIFY(cli.waitForFinished(10000));
        return;
    }
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QCOMPARE(cli.exitCode(), 0);
    QVERIFY(arrived("corvane/left/availability", "offline"));
    QVERIFY(arrived("corvane/right/availability", "offline"));
    QVERIFY(arrived("corvane/bridge/gw/availability", "offline"));
    // Retained: what a consumer that subscribes later receives; the adapters' other units too.
    Subscriber late(broker, QStringLiteral("corvane/+/availability"), QStringLiteral("late"));
    QTRY_COMPARE_WITH_TIMEOUT(late.lines().size(), setup == Adapters ? 4 : 2, 10000);
    const QStringList retained = late.lines();
    QCOMPARE(retained.filter(QRegularExpression(QStringLiteral(" offline$"))), retained);
    QVERIFY(retained.contains("corvane/left/availability offline")
            && retained.contains("corvane/right/availability offline"));
}

// As corvane-publish.service starts it: STATE_DIRECTORY, a password file, a port not there yet,
// named after its path in ASCII, the Arabic-Indic three in it too.
void TestPublish::service()
{
    Broker broker({false, false, QStringLiteral("corvane"), QStringLiteral("s3cret")});
    QCOMPARE(broker.start(), QString());
    QTemporaryDir scratch;
    QFile password(scratch.filePath(QStringLiteral("password")));
    QVERIFY(password.open(QIODevice::WriteOnly) && password.write("s3cret\n") == 7
            && password.flush());
    SimulatedUnit unit;
    QVERIFY(unit.openPty());
    const QString port = scratch.filePath(QStringLiteral("unit\u0663"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("STATE_DIRECTORY"), scratch.filePath("state"));
    // Where the spool would otherwise go, kept out of the home directory.
    environment.insert(QStringLiteral("XDG_STATE_HOME"), scratch.filePath("home"));
    QProcess cli;
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    cli.setProcessEnvironment(environment);
    cli.start(QStringLiteral(CORVANE_CLI),
              {"publish", "--broker", broker.url(), "--port", port, "--interval", "0.2",
               "--client-id", "gw", "--username", "corvane", "--password-file",
               password.fileName()});
    // Only a client that gave the password publishes: the unit's availability, no readings yet.
    const auto received = [&](const QString &topic) {
        return broker.log().contains(
            QRegularExpression("from gw .*'corvane/[A-Za-z0-9_-]+_unit_/" + topic + "'"));
    };
    QTRY_VERIFY_WITH_TIMEOUT(received("availability"), 10000);
    QVERIFY(!received("state"));
    QVERIFY(QFile::link(unit.portName(), port));
    QTRY_VERIFY_WITH_TIMEOUT(received("state"), 10000);
    QVERIFY(QFile::exists(scratch.filePath("state/spool/lock")));
    cli.terminate();
    QVERIFY(cli.waitForFinished(10000) && cli.exitStatus() == QProcess::NormalExit
            && cli.exitCode() == 0);
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
