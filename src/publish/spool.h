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
// second. Messages are numbered in order; acknowledged ones give their space back a segment file
// at a time, as soon as the whole file is acknowledged. A damaged record or file costs only the
// messages in it, each such loss one notice. One process at a time: the directory is locked.
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
    // within the limit. On failure (disk full, a message too large to read back) nothing of the
    // message is left in the file.
    bool append(const QString &topic, const QByteArray &payload, int *dropped, QString *error);
    // The oldest message not yet acknowledged whose id is fromId or later. Messages of a file
    // that has gone or cannot be read are skipped, with a notice.
    bool next(quint64 fromId, Message *message);
    // Acknowledgements may come in any order.
    void acknowledge(quint64 id);
    // Messages not yet acknowledged.
    qint64 pending() const { return pendingCount; }
    qint64 limit() const { return limitBytes; }
    // Forces the appends and the acknowledgements to the disk; done within a second by itself.
    void sync();

signals:
    // Messages skipped for a damaged or missing file, for a person.
    void notice(const QString &text);

private:
    struct Segment
    {
        quint64 name = 0; // the id its file is named after, which its records count from
        quint64 first = 0; // the id of its first record
        quint64 end = 0; // one past the id of its last record
        qint64 bytes = 0;
        bool unmarked = false; // written before records had a marker: read the old way
        std::vector<quint32> offsets; // of each record from the first; Gone where skipped
    };
    using Segments = std::deque<Segment>;

    QString segmentPath(quint64 name) const;
    bool load(QString *error);
    bool loadSegment(QFile &file, Segment *segment, bool *cut, QString *error);
    bool readRecord(const Segment &segment, quint64 id, Message *message);
    bool startSegment(QString *error);
    qint64 release(Segments::iterator segment);
    void removeFront();
    void reclaim();
    void advanceHead();
    void skipped(const QString &path, const QString &problem, qint64 count);
    void markDirty();
    bool isAcknowledged(quint64 id) const { return id < head || ackedAhead.count(id) > 0; }
    bool isHeld(quint64 id) const;

    QString dir;
    std::unique_ptr<SpoolLock> lock;
    qint64 limitBytes = 0;
    qint64 segmentBytes = 0;
    Segments segments;
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
