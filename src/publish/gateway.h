#ifndef GATEWAY_H
#define GATEWAY_H

#include "mqttpublisher.h"
#include "prober.h"
#include "topics.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class Reader;

// Every unit on this machine into the site's MQTT broker. Each unit is polled by a reader of its
// own, as read --reconnect does; its readings go out as JSON states, its presence as a retained
// availability, and with discovery the configs that let a home automation server pick its four
// sensors up as one device.
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
        MqttPublisher::Options broker; // its bridge topic is the gateway's
    };

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
    // A unit served, lost or back, the broker gone or back, for a person.
    void notice(const QString &text);

private:
    void serve(const Unit &unit);
    void scanAdapters();

    const Options options;
    const Topics topics;
    MqttPublisher broker;
    std::vector<std::unique_ptr<Reader>> readers;
    QHash<Reader *, QString> names;
    // Adapters greeted without --port: served ones, and those that did not answer and are left
    // alone until they leave the list (unplugged).
    QSet<QString> greeted;
    // Adapters that could not be opened when greeted: tried at every scan, said once.
    QSet<QString> unopened;
    Prober prober;
    QTimer scanTimer;
    bool stopping = false;
};

#endif // GATEWAY_H
