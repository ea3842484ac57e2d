#ifndef MQTTOPTIONS_H
#define MQTTOPTIONS_H

#include <QString>
#include <QtGlobal>

// How to reach the broker and what to leave there.
struct MqttOptions
{
    QString host;
    int port = 1883;
    bool tls = false;
    QString clientId;
    QString username; // empty: none
    QString password;
    QString caFile; // empty: the system's CA store
    QString certFile; // a client certificate, with keyFile
    QString keyFile;
    int qos = 1; // of readings; retained values always go with QoS 1
    double drainRate =
        0; // readings a second while a backlog goes out; 0: twice the live rate, at least 20
    QString spoolDir;
    qint64 spoolLimitBytes = qint64(100) << 20;
    // Empty, or a topic set to "online" (retained) on every connection, and to "offline" at
    // stop and by the broker as the connection's last will.
    QString bridgeTopic;
};

#endif // MQTTOPTIONS_H
