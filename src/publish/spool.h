#ifndef SPOOL_H
#define SPOOL_H

#include "spoollock.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <memory>
#include <set>
#include <vector>

// An ordered queue of messages on disk, so that readings the broker has not acknowledged outlive
// an outage, a kill or a power cut. Each append reaches the file at once and the disk within a
// second. Messages are numbered in order; acknowledged ones are reclaimed a segment file at a
// time. One process at a time: the directory is locked.
class Spool : public QObject
{
    Q_OBJECT

public:
    struct Message
    {
        quint64 id = 0;
        QString topic;
        QByteArray payload;
    };

    explicit Spool(QObject *parent = nullptr);
    ~Spool() override;

    // Creates and locks the directory and loads what an earlier run left, cutting off a record
    // torn by a kill or power cut. Past limitBytes on disk the oldest messages are dropped.
    bool open(const QString &dir, qint64 limitBytes, QString *error);
    // Writes one message to the file. *dropped: how many of the oldest were dropped to stay
    // within the limit. On failure (disk full) nothing of the message is left in the file.
    bool append(const QString &topic, const QByteArray &payload, int *dropped, QString *error);
    // The oldest message not yet acknowledged whose id is fromId or later.
    bool next(quint64 fromId, Message *message);
    // Acknowledgements may come in any order.
    void acknowledge(quint64 id);
    // Messages not yet acknowledged.
    qint64 pending() const { return pendingCount; }
    qint64 limit() const { return limitBytes; }
    // Forces the appends and the acknowledgements to the disk; done within a second by itself.
    void sync();

private:
    struct Segment
    {
        quint64 first = 0; // the id of its first record
        quint64 end = 0; // one past the id of its last record
        qint64 bytes = 0;
        std::vector<quint32> offsets; // of each record in the file
    };

    QString segmentPath(const Segment &segment) const;
    bool load(QString *error);
    bool startSegment(QString *error);
    void removeFront();
    void reclaim();
    void markDirty();
    bool isAcknowledged(quint64 id) const { return id < head || ackedAhead.count(id) > 0; }

    QString dir;
    std::unique_ptr<SpoolLock> lock;
    qint64 limitBytes = 0;
    qint64 segmentBytes = 0;
    std::deque<Segment> segments;
    QFile writer; // the last segment
    QFile reader;
    quint64 head = 1; // every id before it is acknowledged
    quint64 tail = 1; // the id of the next append
    std::set<quint64> ackedAhead;
    qint64 pendingCount = 0;
    qint64 totalBytes = 0;
    quint64 savedHead = 0;
    bool dirty = false;
    bool directoryChanged = false;
    QTimer syncTimer;
};

#endif // SPOOL_H
