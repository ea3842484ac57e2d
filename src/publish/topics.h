#ifndef TOPICS_H
#define TOPICS_H

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

// Where publish puts things in the broker, and what it says there:
//   PREFIX/NAME/state                        a unit's readings, one JSON object each
//   PREFIX/NAME/availability                 "online" or "offline", retained
//   PREFIX/bridge/CLIENT-ID/availability     the gateway itself, retained, also its last will
//   DISCOVERY/sensor/corvane_NAME/KEY/config one per channel, retained, with discovery on
class Topics
{
public:
    static const QByteArray Online;
    static const QByteArray Offline;

    // Lengths a person can still read in a broker's list, far inside MQTT's 65,535 bytes for a
    // whole topic, and what brokers commonly take as a client id.
    static constexpr int MaxNameLength = 64;
    static constexpr int MaxClientIdLength = 128;
    static constexpr int MaxPrefixBytes = 1024; // in UTF-8

    // ASCII letters, digits, _ and -: a name that is one whole topic level and no wildcard.
    static bool isName(const QString &text);
    // The text with every other character turned into _, one for each.
    static QString nameFrom(const QString &text);
    // Topic levels without wildcards: a prefix. Otherwise the first character that makes it none,
    // as U+XXXX, a control character or non-character in *bad (empty for a wildcard or an empty
    // level).
    static bool isPrefix(const QString &text, QString *bad = nullptr);

    // The interval tells the consumers when a unit's values are stale.
    Topics(const QString &prefix, const QString &discoveryPrefix, const QString &clientId,
           int intervalMsecs);

    QString bridge() const;
    QString state(const QString &unit) const;
    QString availability(const QString &unit) const;
    // The unit's discovery configs, topic and payload (empty without a discovery prefix): they
    // let a home automation server pick its four sensors up as one device.
    QVector<QPair<QString, QByteArray>> discovery(const QString &unit) const;

private:
    QString unitTopic(const QString &unit, const char *leaf) const;

    const QString prefix;
    const QString discoveryPrefix;
    const QString clientId;
    const int intervalMsecs;
};

#endif // TOPICS_H
