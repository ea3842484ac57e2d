#include "topics.h"

#include "sensorprotocol.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

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

} // namespace

const QByteArray Topics::Online = QByteArrayLiteral("online");
const QByteArray Topics::Offline = QByteArrayLiteral("offline");

bool Topics::isName(const QString &text)
{
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9_-]+$"));
    return name.match(text).hasMatch();
}

QString Topics::nameFrom(const QString &text)
{
    // By code point, so that a character beyond the BMP is one _ like any other; isDigit() would
    // let other scripts' digits through.
    QString name;
    for (const uint c : text.toUcs4()) {
        const bool ascii = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')
            || (c >= 'A' && c <= 'Z') || c == '_' || c == '-';
        name += ascii ? QChar(c) : QLatin1Char('_');
    }
    return name;
}

bool Topics::isPrefix(const QString &text, QString *bad)
{
    static const QRegularExpression levels(QStringLiteral("^[^/+#]+(/[^/+#]+)*$"));
    // MQTT forbids U+0000 in a topic and advises against other control characters and
    // non-characters; a consumer could not type or show them anyway.
    for (const uint c : text.toUcs4()) {
        const QChar::Category category = QChar::category(c);
        if (category == QChar::Other_Control || category == QChar::Other_Surrogate
            || QChar::isNonCharacter(c)) {
            if (bad)
                *bad = QStringLiteral("U+%1").arg(c, 4, 16, QLatin1Char('0')).toUpper();
            return false;
        }
    }
    if (bad)
        bad->clear();
    return levels.match(text).hasMatch();
}

// The longest topic the limits allow (a discovery config's) fits MQTT's limit, whose length
// field would otherwise wrap round.
static_assert(Topics::MaxPrefixBytes + Topics::MaxNameLength + Topics::MaxClientIdLength + 64
                  <= 65535,
              "a topic must fit MQTT's 65,535 bytes");

Topics::Topics(const QString &prefix, const QString &discoveryPrefix, const QString &clientId,
               int intervalMsecs)
    : prefix(prefix)
    , discoveryPrefix(discoveryPrefix)
    , clientId(clientId)
    , intervalMsecs(intervalMsecs)
{ }

QString Topics::bridge() const
{
    return prefix + QStringLiteral("/bridge/") + clientId + QStringLiteral("/availability");
}

QString Topics::state(const QString &unit) const
{
    return unitTopic(unit, "state");
}

QString Topics::availability(const QString &unit) const
{
    return unitTopic(unit, "availability");
}

QString Topics::unitTopic(const QString &unit, const char *leaf) const
{
    return prefix + QLatin1Char('/') + unit + QLatin1Char('/') + QLatin1String(leaf);
}

QVector<QPair<QString, QByteArray>> Topics::discovery(const QString &unit) const
{
    QVector<QPair<QString, QByteArray>> configs;
    if (discoveryPrefix.isEmpty())
        return configs;
    const QString id = QStringLiteral("corvane_") + unit;
    const QJsonArray availability{
        QJsonObject{{QStringLiteral("topic"), this->availability(unit)}},
        QJsonObject{{QStringLiteral("topic"), bridge()}},
    };
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{id}},
        {QStringLiteral("name"), QStringLiteral("Corvane ") + unit},
        {QStringLiteral("model"), QStringLiteral("Environmental sensor unit")},
        {QStringLiteral("sw_version"), QCoreApplication::applicationVersion()},
    };
    const QJsonObject origin{
        {QStringLiteral("name"), QStringLiteral("Corvane")},
        {QStringLiteral("sw_version"), QCoreApplication::applicationVersion()},
    };
    // A unit silent for three samples shows as unknown rather than its last value for ever,
    // also while the gateway stays connected; not before 10 s, whole seconds.
    const int expireAfter = qMax(10, (3 * intervalMsecs + 999) / 1000);
    for (const Sensor &sensor : Sensors) {
        const QString key = QLatin1String(SensorProtocol::Channels[sensor.field].key);
        const QJsonObject config{
            {QStringLiteral("name"), QLatin1String(sensor.name)},
            {QStringLiteral("unique_id"), id + QLatin1Char('_') + key},
            {QStringLiteral("state_topic"), state(unit)},
            {QStringLiteral("value_template"), QStringLiteral("{{ value_json.%1 }}").arg(key)},
            {QStringLiteral("device_class"), QLatin1String(sensor.deviceClass)},
            {QStringLiteral("unit_of_measurement"), QString::fromUtf8(sensor.unit)},
            {QStringLiteral("state_class"), QStringLiteral("measurement")},
            {QStringLiteral("suggested_display_precision"), 1},
            {QStringLiteral("expire_after"), expireAfter},
            {QStringLiteral("availability"), availability},
            {QStringLiteral("availability_mode"), QStringLiteral("all")},
            {QStringLiteral("device"), device},
            {QStringLiteral("origin"), origin},
        };
        configs.append({discoveryPrefix + QStringLiteral("/sensor/") + id + QLatin1Char('/') + key
                            + QStringLiteral("/config"),
                        QJsonDocument(config).toJson(QJsonDocument::Compact)});
    }
    return configs;
}
