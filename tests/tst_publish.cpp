#include "broker.h"
#include "simulatedunit.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

// corvane-cli publish as a site runs it: the built program as a process serving two simulated
// units on pseudo-terminals, against Debian's mosquitto on loopback, read by mosquitto_sub.

enum Ending { Terminated, Killed, Unplugged };
Q_DECLARE_METATYPE(Ending)

namespace {
const QString Time = QStringLiteral(R"([0-9-]{10}T[0-9:]{8}\.[0-9]{3}\+00:00)");
}

class TestPublish : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qputenv("TZ", "UTC"); }
    void publish_data();
    void publish();
};

void TestPublish::publish_data()
{
    QTest::addColumn<Ending>("ending");
    QTest::newRow("stopped with SIGTERM") << Terminated;
    QTest::newRow("killed: the last will") << Killed;
    QTest::newRow("a unit unplugged and back") << Unplugged;
}

void TestPublish::publish()
{
    QFETCH(Ending, ending);

    Broker broker;
    QCOMPARE(broker.start(), QString());
    Subscriber subscriber(broker, QStringLiteral("#"), QStringLiteral("tst-publish"));
    QVERIFY(subscriber.subscribed());
    QTemporaryDir scratch;
    SimulatedUnit left;
    SimulatedUnit right;
    SimulatedUnit spare;
    for (SimulatedUnit *unit : {&left, &right, &spare})
        unit->setDrift(false);
    QVERIFY(left.openPty() && right.openPty());
    right.setReading(SimulatedUnit::AirTemperature, -100);
    // Through links, so that a unit back on another pseudo-terminal is found at the same path.
    const QString leftPort = scratch.filePath(QStringLiteral("left"));
    const QString rightPort = scratch.filePath(QStringLiteral("right"));
    QVERIFY(QFile::link(left.portName(), leftPort) && QFile::link(right.portName(), rightPort));

    QProcess cli;
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    cli.start(QStringLiteral(CORVANE_CLI),
              {QStringLiteral("publish"), QStringLiteral("--broker"), broker.url(),
               QStringLiteral("--port"), leftPort + QStringLiteral("=left"),
               QStringLiteral("--port"), rightPort + QStringLiteral("=right"),
               QStringLiteral("--interval"), QStringLiteral("0.2"), QStringLiteral("--client-id"),
               QStringLiteral("gw"), QStringLiteral("--spool"), scratch.filePath("spool")});
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
        QCOMPARE(config["availability"].toArray(),
                 (QJsonArray{QJsonObject{{"topic", "corvane/" + name + "/availability"}},
                             QJsonObject{{"topic", "corvane/bridge/gw/availability"}}}));
        const QJsonObject device = config["device"].toObject();
        QCOMPARE(device["identifiers"].toArray(), QJsonArray{"corvane_" + name});
        QVERIFY(!device["name"].toString().isEmpty() && !device["model"].toString().isEmpty()
                && !device["sw_version"].toString().isEmpty());
    }

    switch (ending) {
    case Killed:
        cli.kill();
        cli.waitForFinished();
        QVERIFY(arrived("corvane/bridge/gw/availability", "offline"));
        return;
    case Unplugged:
        right.hangUp();
        QVERIFY(arrived("corvane/right/availability", "offline"));
        QVERIFY(spare.openPty());
        QVERIFY(QFile::remove(rightPort) && QFile::link(spare.portName(), rightPort));
        QVERIFY(arrived("corvane/right/availability", "online"));
        break;
    case Terminated:
        break;
    }
    cli.terminate();
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QCOMPARE(cli.exitCode(), 0);
    QVERIFY(arrived("corvane/left/availability", "offline"));
    QVERIFY(arrived("corvane/right/availability", "offline"));
    QVERIFY(arrived("corvane/bridge/gw/availability", "offline"));
    // Retained: what a consumer that subscribes later receives.
    Subscriber late(broker, QStringLiteral("corvane/+/availability"), QStringLiteral("late"));
    QTRY_COMPARE_WITH_TIMEOUT(late.lines().size(), 2, 10000);
    QStringList retained = late.lines();
    retained.sort();
    QCOMPARE(
        retained,
        QStringList({"corvane/left/availability offline", "corvane/right/availability offline"}));
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
