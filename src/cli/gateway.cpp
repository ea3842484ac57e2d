#include "gateway.h"

#include "cli.h"
#include "portfinder.h"
#include "reader.h"
#include "samplewriter.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>

namespace {

// Adapters plugged in after the start are looked for this often.
constexpr int ScanMsecs = 10000;
constexpr int ProbeMsecs = 2000;
// Units polled in the same moment; see serve().
constexpr int PhaseGroups = 8;

// How a home automation server shows each channel: its name, device class and unit.
struct Sensor
{
    SensorProtocol::Field field;
    const char *name;
    const char *deviceClass;
    const char *unit;
};
const Sensor Sensors[] = {
    {SensorProtocol::AirTemperature, "Air temperature", "temperature", "°C"},
    {SensorProtocol::Humidity, "Humidity", "humidity", "%"},
    {SensorProtocol::Pressure, "Air pressure", "atmospheric_pressure", "kPa"},
    {SensorProtocol::OilTemperature, "Oil temperature", "temperature", "°C"},
};

const QByteArray Online = "online";
const QByteArray Offline = "offline";

} // namespace

bool Gateway::isName(const QString &text)
{
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9_-]+$"));
    return name.match(text).hasMatch();
}

QString Gateway::nameFrom(const QString &text)
{
    QString name = text;
    for (QChar &c : name) {
        if (!(c.isDigit() || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
              || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || c == QLatin1Char('_')
              || c == QLatin1Char('-')))
            c = QLatin1Char('_');
    }
    return name;
}

QString Gateway::defaultName(const QString &port)
{
    const auto listed = PortFinder::listed();
    for (const PortFinder::Listed &info : listed) {
        if (info.name != port && info.location != port)
            continue;
        if (!info.serialNumber.isEmpty())
            return nameFrom(info.serialNumber);
        break;
    }
    QString path = port;
    if (path.startsWith(QLatin1String("/dev/")))
        path = path.mid(5);
    while (path.startsWith(QLatin1Char('/')))
        path = path.mid(1);
    return nameFrom(path);
}

Gateway::Gateway(const Options &options, QObject *parent)
    : QObject(parent)
    , options(options)
    , broker(options.broker)
{
    connect(&broker, &MqttPublisher::finished, this, &Gateway::finished);
    scanTimer.setInterval(ScanMsecs);
    connect(&scanTimer, &QTimer::timeout, this, &Gateway::scanAdapters);
}

Gateway::~Gateway() = default;

bool Gateway::start(QString *error)
{
    if (!broker.start(error))
        return false;
    for (const Unit &unit : options.units)
        serve(unit);
    if (options.units.isEmpty()) {
        scanAdapters();
        scanTimer.start();
    }
    return true;
}

void Gateway::stop()
{
    if (stopping)
        return;
    stopping = true;
    scanTimer.stop();
    probes.clear();
    for (const auto &reader : readers) {
        reader->stop();
        broker.publishRetained(unitTopic(names.value(reader.get()), "availability"), Offline);
    }
    broker.stop();
}

QString Gateway::unitTopic(const QString &name, const char *leaf) const
{
    return options.topicPrefix + QLatin1Char('/') + name + QLatin1Char('/') + QLatin1String(leaf);
}

void Gateway::serve(const Unit &unit)
{
    Reader::Options polling;
    polling.port = unit.port;
    polling.intervalMsecs = options.intervalMsecs;
    polling.reconnect = true;
    polling.retryOpen = true;
    readers.push_back(std::make_unique<Reader>(polling));
    Reader *reader = readers.back().get();
    names.insert(reader, unit.name);
    const QString state = unitTopic(unit.name, "state");
    const QString availability = unitTopic(unit.name, "availability");
    connect(reader, &Reader::online, this,
            [this, availability] { broker.publishRetained(availability, Online); });
    connect(reader, &Reader::offline, this,
            [this, availability] { broker.publishRetained(availability, Offline); });
    connect(reader, &Reader::reading, this, [this, state](const SensorProtocol::Reading &reading) {
        broker.publishState(state, SampleWriter::jsonObject(reading));
    });
    // Until the unit has answered it is not there for the consumers.
    broker.publishRetained(availability, Offline);
    if (!options.discoveryPrefix.isEmpty())
        publishDiscovery(unit);
    Cli::message(QStringLiteral("serving %1 as %2").arg(unit.port, unit.name));
    // A reader polls from its greeting on: readers started together would all ask in the same
    // moment and their answers queue behind each other. Started in a few groups spread over the
    // interval, a reading waits behind a few others at most, for a few wake-ups more a second.
    const int phase = int(readers.size() - 1) % PhaseGroups;
    QTimer::singleShot(options.intervalMsecs * phase / PhaseGroups, reader, [this, reader] {
        if (!stopping)
            reader->start();
    });
}

void Gateway::publishDiscovery(const Unit &unit)
{
    const QString id = QStringLiteral("corvane_") + unit.name;
    const QJsonArray availability{
        QJsonObject{{QStringLiteral("topic"), unitTopic(unit.name, "availability")}},
        QJsonObject{{QStringLiteral("topic"), options.broker.bridgeTopic}},
    };
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{id}},
        {QStringLiteral("name"), QStringLiteral("Corvane ") + unit.name},
        {QStringLiteral("model"), QStringLiteral("Environmental sensor unit")},
        {QStringLiteral("sw_version"), QCoreApplication::applicationVersion()},
    };
    for (const Sensor &sensor : Sensors) {
        const QString key = QLatin1String(SensorProtocol::Channels[sensor.field].key);
        const QJsonObject config{
            {QStringLiteral("name"), QLatin1String(sensor.name)},
            {QStringLiteral("unique_id"), id + QLatin1Char('_') + key},
            {QStringLiteral("state_topic"), unitTopic(unit.name, "state")},
            {QStringLiteral("value_template"), QStringLiteral("{{ value_json.%1 }}").arg(key)},
            {QStringLiteral("device_class"), QLatin1String(sensor.deviceClass)},
            {QStringLiteral("unit_of_measurement"), QString::fromUtf8(sensor.unit)},
            {QStringLiteral("state_class"), QStringLiteral("measurement")},
            {QStringLiteral("availability"), availability},
            {QStringLiteral("availability_mode"), QStringLiteral("all")},
            {QStringLiteral("device"), device},
        };
        broker.publishRetained(options.discoveryPrefix + QStringLiteral("/sensor/") + id
                                   + QLatin1Char('/') + key + QStringLiteral("/config"),
                               QJsonDocument(config).toJson(QJsonDocument::Compact));
    }
}

void Gateway::scanAdapters()
{
    const QStringList listed = PortFinder::listedPorts(false);
    // An adapter that left the list may be greeted again when it comes back.
    for (auto it = greeted.begin(); it != greeted.end();) {
        if (listed.contains(*it))
            ++it;
        else
            it = greeted.erase(it);
    }
    for (const QString &port : listed) {
        if (greeted.contains(port))
            continue;
        greeted.insert(port);
        bool served = false;
        for (const auto &reader : readers)
            served = served || reader->options().port == port;
        if (served)
            continue;
        // Greeted once: a unit that answers with its readings is served from then on.
        Reader::Options greeting;
        greeting.port = port;
        greeting.greetingTimeoutMsecs = ProbeMsecs;
        greeting.intervalMsecs = ProbeMsecs;
        probes.push_back(std::make_unique<Reader>(greeting));
        Reader *probe = probes.back().get();
        const auto forget = [this, probe] {
            probe->stop();
            // Deleted once control is back in the event loop, outside the probe's own signal.
            QMetaObject::invokeMethod(
                this,
                [this, probe] {
                    for (auto it = probes.begin(); it != probes.end(); ++it) {
                        if (it->get() == probe) {
                            probes.erase(it);
                            break;
                        }
                    }
                },
                Qt::QueuedConnection);
        };
        connect(probe, &Reader::reading, this, [this, port, forget] {
            forget();
            // Two adapters may carry the same serial number; the port tells them apart.
            QString name = defaultName(port);
            if (std::find(names.begin(), names.end(), name) != names.end())
                name += QLatin1Char('_') + nameFrom(port);
            serve({port, name});
        });
        connect(probe, &Reader::finished, this, forget);
        probe->start();
    }
}
