#ifndef GATEWAY_H
#define GATEWAY_H

#include "mqttpublisher.h"
#include "sensorprotocol.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <memory>

class Reader;

// The publish command: every unit on this machine into the site's MQTT broker. Each unit is
// polled by a reader of its own, as read --reconnect does; its readings go out as JSON states,
// its presence as a retained availability, and with discovery the configs that let a home
// automation server pick its four sensors up as one device.
class Gateway : public QObject
{
    Q_OBJECT

public:
    struct Unit
    {
        QString port;
        QString name; // a topic level: letters, digits, _ and - only
    };
    struct Options
    {
        QList<Unit> units; // none: every unit that answers on a USB serial adapter
        int intervalMsecs = 1000;
        QString topicPrefix = QStringLiteral("corvane");
        QString discoveryPrefix = QStringLiteral("homeassistant"); // empty: no discovery
        MqttPublisher::Options broker;
    };

    // Letters, digits, _ and -: a name that is one whole topic level and no wildcard.
    static bool isName(const QString &text);
    // The text with every other character turned into _.
    static QString nameFrom(const QString &text);
    // A unit's name when none is given: the USB adapter's serial number, else the port's name as
    // the system lists it (ttyUSB0, COM3), else a device path below /dev/ (pts_5).
    static QString defaultName(const QString &port);

    explicit Gateway(const Options &options, QObject *parent = nullptr);
    ~Gateway() override;

    // False, with the reason, when the broker side cannot start (its spool, its files).
    bool start(QString *error);
    // Every unit and the gateway itself offline where the broker can be reached; finished()
    // follows within 2 s.
    void stop();

signals:
    void finished();

private:
    void serve(const Unit &unit);
    void scanAdapters();
    void publishDiscovery(const Unit &unit);
    QString unitTopic(const QString &name, const char *leaf) const;

    const Options options;
    MqttPublisher broker;
    QString bridgeTopic;
    std::vector<std::unique_ptr<Reader>> readers;
    QHash<Reader *, QString> names;
    // Adapters greeted without --port: served ones, and those that did not answer and are left
    // alone until they leave the list (unplugged).
    QSet<QString> greeted;
    std::vector<std::unique_ptr<Reader>> probes;
    QTimer scanTimer;
    bool stopping = false;
};

#endif // GATEWAY_H
