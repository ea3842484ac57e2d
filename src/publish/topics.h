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

    // Letters, digits, _ and -: a name that is one whole topic level and no wildcard.
    static bool isName(const QString &text);
    // The text with every other character turned into _.
    static QString nameFrom(const QString &text);
    // Topic levels without wildcards: a prefix.
    static bool isPrefix(const QString &text);

    Topics(const QString &prefix, const QString &discoveryPrefix, const QString &clientId);

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
};

#endif // TOPICS_H
