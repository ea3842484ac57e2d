#include "gateway.h"

#include "reader.h"
#include "readingformat.h"

#include <algorithm>

namespace {

// Adapters plugged in after the start are looked for this often.
constexpr int ScanMsecs = 10000;
constexpr int ProbeMsecs = 2000;
// Units polled in the same moment; see serve().
constexpr int PhaseGroups = 8;

MqttPublisher::Options withBridge(MqttPublisher::Options broker, const Topics &topics)
{
    broker.bridgeTopic = topics.bridge();
    return broker;
}

} // namespace

QString Gateway::defaultName(const QString &port)
{
    const auto listed = Prober::listed();
    for (const Prober::Listed &info : listed) {
        if (info.name != port && info.location != port)
            continue;
        if (!info.serialNumber.isEmpty())
            return Topics::nameFrom(info.serialNumber);
        break;
    }
    QString path = port;
    if (path.startsWith(QLatin1String("/dev/")))
        path = path.mid(5);
    while (path.startsWith(QLatin1Char('/')))
        path = path.mid(1);
    return Topics::nameFrom(path);
}

Gateway::Gateway(const Options &options, QObject *parent)
    : QObject(parent)
    , options(options)
    , topics(options.topicPrefix, options.discoveryPrefix, options.broker.clientId,
             options.intervalMsecs)
    , broker(withBridge(options.broker, topics))
{
    connect(&broker, &MqttPublisher::finished, this, &Gateway::finished);
    connect(&broker, &MqttPublisher::notice, this, &Gateway::notice);
    connect(&prober, &Prober::failed, this,
            [this](const QString &port, UnitFailure failure, const QString &why) {
                // A busy adapter (a modem manager's look, a read of its own) is greeted again
                // at the next scan, and said once until it answers or leaves.
                if (failure == UnitFailure::CannotOpen) {
                    greeted.remove(port);
                    if (unopened.contains(port))
                        return;
                    unopened.insert(port);
                }
                emit notice(why);
            });
    connect(&prober, &Prober::answered, this, [this](const QString &port) {
        unopened.remove(port);
        // Two adapters may carry the same serial number; the port tells them apart.
        QString name = defaultName(port);
        if (std::find(names.begin(), names.end(), name) != names.end())
            name += QLatin1Char('_') + Topics::nameFrom(port);
        serve({port, name});
    });
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
    prober.stop();
    for (const auto &reader : readers) {
        reader->stop();
        broker.publishRetained(topics.availability(names.value(reader.get())), Topics::Offline);
    }
    broker.stop();
}

void Gateway::serve(const Unit &unit)
{
    Reader::Options polling;
    polling.port = unit.port;
    polling.intervalMsecs = options.intervalMsecs;
    polling.reconnect = true;
    polling.retryOpen = true;
    readers.push_back(std::make_unique<Reader>(polling));
    broker.setLiveRate(double(readers.size()) * 1000 / options.intervalMsecs);
    Reader *reader = readers.back().get();
    names.insert(reader, unit.name);
    const QString state = topics.state(unit.name);
    const QString availability = topics.availability(unit.name);
    connect(reader, &Reader::notice, this, &Gateway::notice);
    connect(reader, &Reader::online, this,
            [this, availability] { broker.publishRetained(availability, Topics::Online); });
    connect(reader, &Reader::offline, this,
            [this, availability] { broker.publishRetained(availability, Topics::Offline); });
    connect(reader, &Reader::reading, this, [this, state](const SensorProtocol::Reading &reading) {
        broker.publishState(state, ReadingFormat::line(reading, ReadingFormat::JsonLines));
    });
    // Until the unit has answered it is not there for the consumers.
    broker.publishRetained(availability, Topics::Offline);
    for (const auto &config : topics.discovery(unit.name))
        broker.publishRetained(config.first, config.second);
    emit notice(QStringLiteral("serving %1 as %2").arg(unit.port, unit.name));
    // A reader polls from its greeting on: readers started together would all ask in the same
    // moment and their answers queue behind each other. Started in a few groups spread over the
    // interval, a reading waits behind a few others at most, for a few wake-ups more a second.
    const int phase = int(readers.size() - 1) % PhaseGroups;
    QTimer::singleShot(options.intervalMsecs * phase / PhaseGroups, reader, [this, reader] {
        if (!stopping)
            reader->start();
    });
}

void Gateway::scanAdapters()
{
    const QStringList listed = Prober::listedPorts(false);
    // An adapter that left the list may be greeted again when it comes back.
    for (QSet<QString> *known : {&greeted, &unopened}) {
        for (auto it = known->begin(); it != known->end();) {
            if (listed.contains(*it))
                ++it;
            else
                it = known->erase(it);
        }
    }
    QStringList unknown;
    for (const QString &port : listed) {
        if (greeted.contains(port))
            continue;
        greeted.insert(port);
        const bool served = std::any_of(readers.begin(), readers.end(), [&port](const auto &r) {
            return r->options().port == port;
        });
        // Greeted once: a unit that answers with its readings is served from then on.
        if (!served)
            unknown << port;
    }
    if (!unknown.isEmpty())
        prober.probe(unknown, ProbeMsecs);
}
