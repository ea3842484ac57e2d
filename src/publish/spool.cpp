#include "spool.h"

#include <QDir>
#include <QSaveFile>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

// A segment file, named after its first id in 16 hex digits, holds records one after another:
// the body's length and CRC-32 (4 bytes each, little-endian), then the body: the topic's length
// (2 bytes), the topic in UTF-8 and the payload. The file "cursor" holds the first id not yet
// acknowledged (8 bytes) and their CRC-32.

namespace {
constexpr int HeaderBytes = 8;
// Longer than any reading; a larger length is taken for a torn or foreign record.
constexpr quint32 MaxBodyBytes = 16 << 20;
constexpr int SyncMsecs = 900;

quint32 crc32(const char *data, qint64 size)
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    quint32 c = 0xFFFFFFFFu;
    for (qint64 i = 0; i < size; ++i)
        c = table[(c ^ quint8(data[i])) & 0xFF] ^ (c >> 8);
    return ~c;
}

// A record's body length and topic length, if the record is whole; on loading and on reading.
bool wholeRecord(const QByteArray &data, qint64 at, quint32 *length, int *topicBytes)
{
    if (at + HeaderBytes + 2 > data.size())
        return false;
    const char *header = data.constData() + at;
    *length = qFromLittleEndian<quint32>(header);
    *topicBytes = qFromLittleEndian<quint16>(header + HeaderBytes);
    return *length >= 2 && *length <= MaxBodyBytes && at + HeaderBytes + *length <= data.size()
        && quint32(*topicBytes) + 2 <= *length
        && crc32(header + HeaderBytes, *length) == qFromLittleEndian<quint32>(header + 4);
}

// Past the operating system's cache, so that a power cut keeps what was written.
void flushToDisk(int fd)
{
#if defined(Q_OS_WIN)
    _commit(fd);
#elif defined(Q_OS_LINUX)
    ::fdatasync(fd);
#else
    ::fsync(fd);
#endif
}
} // namespace

Spool::Spool(QObject *parent)
    : QObject(parent)
{
    syncTimer.setSingleShot(true);
    syncTimer.setInterval(SyncMsecs);
    connect(&syncTimer, &QTimer::timeout, this, &Spool::sync);
}

Spool::~Spool()
{
    sync();
}

bool Spool::open(const QString &path, qint64 limit, QString *error)
{
    dir = QDir::cleanPath(path);
    limitBytes = limit;
    // Dropping happens a segment at a time: about 3 % of the limit, in files of at most 1 MB.
    segmentBytes = std::clamp<qint64>(limit / 32, 4096, 1 << 20);
    if (!QDir().mkpath(dir)) {
        *error = QStringLiteral("cannot create the spool directory %1").arg(dir);
        return false;
    }
    lock = std::make_unique<SpoolLock>();
    qint64 holder = 0;
    const SpoolLock::Result locked = lock->tryLock(dir + QStringLiteral("/lock"), &holder);
    if (locked != SpoolLock::Locked) {
        if (locked == SpoolLock::Failed)
            *error = QStringLiteral("cannot write in the spool directory %1").arg(dir);
        else if (holder > 0)
            *error = QStringLiteral("the spool %1 is in use by another corvane-cli (pid %2)")
                         .arg(dir)
                         .arg(holder);
        else
            *error = QStringLiteral("the spool %1 is in use by another corvane-cli").arg(dir);
        lock.reset();
        return false;
    }
    return load(error);
}

bool Spool::load(QString *error)
{
    const QStringList names =
        QDir(dir).entryList({QStringLiteral("*.seg")}, QDir::Files, QDir::Name);
    for (const QString &name : names) {
        bool ok = false;
        Segment segment;
        segment.first = segment.end = name.left(16).toULongLong(&ok, 16);
        if (!ok || name.size() != 20 || (!segments.empty() && segment.first < tail))
            continue;
        QFile file(dir + QLatin1Char('/') + name);
        if (!file.open(QIODevice::ReadWrite)) {
            *error = QStringLiteral("cannot read the spool file %1: %2")
                         .arg(file.fileName(), file.errorString());
            return false;
        }
        const QByteArray data = file.readAll();
        quint32 length = 0;
        int topicBytes = 0;
        while (wholeRecord(data, segment.bytes, &length, &topicBytes)) {
            segment.offsets.push_back(quint32(segment.bytes));
            segment.bytes += HeaderBytes + length;
            ++segment.end;
        }
        // What follows the last whole record is a write that a kill or power cut tore.
        if (segment.bytes < data.size() && !file.resize(segment.bytes)) {
            *error = QStringLiteral("cannot repair the spool file %1: %2")
                         .arg(file.fileName(), file.errorString());
            return false;
        }
        tail = segment.end;
        totalBytes += segment.bytes;
        segments.push_back(std::move(segment));
    }

    QFile cursor(dir + QStringLiteral("/cursor"));
    if (cursor.open(QIODevice::ReadOnly)) {
        const QByteArray data = cursor.read(12);
        if (data.size() == 12
            && crc32(data.constData(), 8) == qFromLittleEndian<quint32>(data.constData() + 8))
            head = savedHead = qFromLittleEndian<quint64>(data.constData());
    }
    if (!segments.empty())
        head = std::max(head, segments.front().first);
    tail = std::max(tail, head);
    for (const Segment &segment : segments)
        pendingCount += qint64(segment.end - std::min(segment.end, std::max(segment.first, head)));
    while (!segments.empty() && segments.front().end <= head)
        removeFront();
    if (segments.empty() || segments.back().bytes >= segmentBytes)
        return startSegment(error);
    writer.setFileName(segmentPath(segments.back()));
    if (!writer.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot write to the spool file %1: %2")
                     .arg(writer.fileName(), writer.errorString());
        return false;
    }
    return true;
}

QString Spool::segmentPath(const Segment &segment) const
{
    return dir + QStringLiteral("/%1.seg").arg(segment.first, 16, 16, QLatin1Char('0'));
}

bool Spool::startSegment(QString *error)
{
    // What the last segment holds reaches the disk before writing goes on elsewhere.
    sync();
    writer.close();
    Segment segment;
    segment.first = segment.end = tail;
    writer.setFileName(segmentPath(segment));
    if (!writer.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot write to the spool file %1: %2")
                     .arg(writer.fileName(), writer.errorString());
        return false;
    }
    segments.push_back(std::move(segment));
    directoryChanged = true;
    return true;
}

void Spool::removeFront()
{
    const Segment &segment = segments.front();
    const QString path = segmentPath(segment);
    const quint64 from = std::max(segment.first, head);
    if (from < segment.end) {
        const auto begin = ackedAhead.lower_bound(from);
        const auto end = ackedAhead.lower_bound(segment.end);
        pendingCount -= qint64(segment.end - from) - qint64(std::distance(begin, end));
        ackedAhead.erase(begin, end);
        head = segment.end;
    }
    totalBytes -= segment.bytes;
    if (reader.fileName() == path)
        reader.close();
    if (writer.fileName() == path)
        writer.close();
    QFile::remove(path);
    segments.pop_front();
    directoryChanged = true;
    markDirty();
}

void Spool::reclaim()
{
    while (segments.size() > 1 && segments.front().end <= head)
        removeFront();
}

bool Spool::append(const QString &topic, const QByteArray &payload, int *dropped, QString *error)
{
    const QByteArray topicBytes = topic.toUtf8();
    QByteArray record(HeaderBytes + 2, Qt::Uninitialized);
    qToLittleEndian<quint16>(quint16(topicBytes.size()), record.data() + HeaderBytes);
    record += topicBytes + payload;
    const quint32 length = quint32(record.size() - HeaderBytes);
    qToLittleEndian<quint32>(length, record.data());
    qToLittleEndian<quint32>(crc32(record.constData() + HeaderBytes, length), record.data() + 4);

    const qint64 pendingBefore = pendingCount;
    while (!segments.empty() && totalBytes + record.size() > limitBytes)
        removeFront();
    *dropped = int(pendingBefore - pendingCount);
    if (segments.empty() || segments.back().bytes >= segmentBytes) {
        if (!startSegment(error))
            return false;
        reclaim();
    }

    Segment &segment = segments.back();
    errno = 0;
    const qint64 written = writer.write(record);
    if (written != record.size()) {
        // Qt reports a short write without a reason; the system's is in errno.
        const int reason = errno;
        *error = QStringLiteral("cannot write to the spool %1: %2")
                     .arg(dir,
                          writer.error() != QFileDevice::NoError
                              ? writer.errorString()
                              : QString::fromLocal8Bit(std::strerror(reason)));
        writer.unsetError();
        writer.resize(segment.bytes);
        return false;
    }
    segment.offsets.push_back(quint32(segment.bytes));
    segment.bytes += record.size();
    ++segment.end;
    ++tail;
    totalBytes += record.size();
    ++pendingCount;
    markDirty();
    return true;
}

bool Spool::next(quint64 fromId, Message *message)
{
    quint64 id = std::max(fromId, head);
    for (const Segment &segment : segments) {
        id = std::max(id, segment.first);
        while (id < segment.end && ackedAhead.count(id) > 0)
            ++id;
        if (id >= segment.end)
            continue;
        const QString path = segmentPath(segment);
        if (reader.fileName() != path || !reader.isOpen()) {
            reader.close();
            reader.setFileName(path);
            // Unbuffered: a read-ahead buffer could hold bytes of a write that was cut off.
            if (!reader.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
                return false;
        }
        const qint64 at = segment.offsets[size_t(id - segment.first)];
        const qint64 end = segment.offsets.size() > size_t(id - segment.first + 1)
            ? segment.offsets[size_t(id - segment.first + 1)]
            : segment.bytes;
        if (!reader.seek(at))
            return false;
        const QByteArray data = reader.read(end - at);
        quint32 length = 0;
        int topicBytes = 0;
        if (!wholeRecord(data, 0, &length, &topicBytes))
            return false;
        message->id = id;
        message->topic = QString::fromUtf8(data.constData() + HeaderBytes + 2, topicBytes);
        message->payload = data.mid(HeaderBytes + 2 + topicBytes);
        return true;
    }
    return false;
}

void Spool::acknowledge(quint64 id)
{
    if (isAcknowledged(id) || id >= tail)
        return;
    ackedAhead.insert(id);
    --pendingCount;
    // The head moves over every acknowledged id, and over ids that no segment holds.
    for (;;) {
        if (!ackedAhead.empty() && *ackedAhead.begin() == head) {
            ackedAhead.erase(ackedAhead.begin());
            ++head;
            continue;
        }
        const auto holder = std::find_if(segments.begin(), segments.end(),
                                         [this](const Segment &s) { return s.end > head; });
        if (holder == segments.end() || holder->first <= head)
            break;
        head = holder->first;
    }
    reclaim();
    markDirty();
}

void Spool::markDirty()
{
    dirty = true;
    if (!syncTimer.isActive())
        syncTimer.start();
}

void Spool::sync()
{
    syncTimer.stop();
    if (!dirty)
        return;
    dirty = false;
    if (writer.isOpen())
        flushToDisk(writer.handle());
    if (head != savedHead && lock) {
        QByteArray data(12, Qt::Uninitialized);
        qToLittleEndian<quint64>(head, data.data());
        qToLittleEndian<quint32>(crc32(data.constData(), 8), data.data() + 8);
        // Replaced whole or not at all; a lost cursor only means sending again.
        QSaveFile cursor(dir + QStringLiteral("/cursor"));
        if (cursor.open(QIODevice::WriteOnly) && cursor.write(data) == data.size()
            && cursor.commit()) {
            savedHead = head;
            directoryChanged = true;
        }
    }
#ifndef Q_OS_WIN
    // New, renamed and removed files are entries of the directory, which has its own sync.
    if (directoryChanged) {
        const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }
#endif
    directoryChanged = false;
}
