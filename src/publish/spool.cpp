#include "spool.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

// A segment file, named after an id in 16 hex digits, holds records one after another: a marker
// (4 bytes) by which a record is found again past damage, the body's length, the CRC-32 of what
// follows it, the record's id less the file's (4 bytes each, little-endian), then the body: the
// topic's length (2 bytes), the topic in UTF-8 and the payload. Files written before the marker
// hold records of the body's length, its CRC-32 and the body, numbered from the file's id. The
// file "cursor" holds the first id not yet acknowledged (8 bytes) and their CRC-32.

namespace {
constexpr char Marker[] = "\xfe"
                          "cvr";
constexpr int MarkerBytes = 4;
constexpr int HeaderBytes = 16;
constexpr int UnmarkedHeaderBytes = 8;
constexpr int TopicLengthBytes = 2;
constexpr int MinRecordBytes = HeaderBytes + TopicLengthBytes;
// Longer than any reading; a larger length is taken for a torn or foreign record.
constexpr quint32 MaxBodyBytes = 16 << 20;
// A file is loaded a window at a time, so that a huge or endless one cannot exhaust memory.
constexpr qint64 WindowBytes = 1 << 20;
// Ids in a file emptied in place keep counting from its name; past this it is replaced.
constexpr quint64 MaxIndex = 1u << 31;
constexpr quint32 Gone = std::numeric_limits<quint32>::max(); // the offset of a skipped record
constexpr int SyncMsecs = 900;

// Eight bytes a step with eight tables, which keeps loading a full spool well under a second.
quint32 crc32(const char *data, qint64 size)
{
    using Table = std::array<quint32, 256>;
    static const std::array<Table, 8> t = [] {
        std::array<Table, 8> tables{};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            tables[0][i] = c;
        }
        for (size_t k = 1; k < tables.size(); ++k)
            for (quint32 i = 0; i < 256; ++i)
                tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF];
        return tables;
    }();
    const auto *p = reinterpret_cast<const uchar *>(data);
    quint32 c = 0xFFFFFFFFu;
    for (; size >= 8; p += 8, size -= 8) {
        const quint32 low = c ^ qFromLittleEndian<quint32>(p);
        const quint32 high = qFromLittleEndian<quint32>(p + 4);
        c = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24]
            ^ t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF]
            ^ t[0][high >> 24];
    }
    for (; size > 0; ++p, --size)
        c = t[0][(c ^ *p) & 0xFF] ^ (c >> 8);
    return ~c;
}

quint32 bodyLength(const char *record, bool unmarked)
{
    return qFromLittleEndian<quint32>(record + (unmarked ? 0 : MarkerBytes));
}

// The size of the whole and intact record at data, with available bytes there; 0 if there is none.
qint64 recordSize(const char *data, qint64 available, bool unmarked, quint32 *index,
                  int *topicBytes)
{
    const int header = unmarked ? UnmarkedHeaderBytes : HeaderBytes;
    if (available < header + TopicLengthBytes
        || (!unmarked && std::memcmp(data, Marker, MarkerBytes) != 0))
        return 0;
    const quint32 length = bodyLength(data, unmarked);
    const char *sum = data + (unmarked ? 4 : 8);
    const char *summed = sum + 4; // the body, or the index and the body
    if (length < TopicLengthBytes || length > MaxBodyBytes || available < header + qint64(length))
        return 0;
    *topicBytes = qFromLittleEndian<quint16>(data + header);
    if (quint32(*topicBytes) + TopicLengthBytes > length
        || crc32(summed, data + header + length - summed) != qFromLittleEndian<quint32>(sum))
        return 0;
    *index = unmarked ? 0 : qFromLittleEndian<quint32>(data + 12);
    return header + length;
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
    QFile cursor(dir + QStringLiteral("/cursor"));
    if (cursor.open(QIODevice::ReadOnly)) {
        const QByteArray data = cursor.read(12);
        if (data.size() == 12
            && crc32(data.constData(), 8) == qFromLittleEndian<quint32>(data.constData() + 8))
            head = savedHead = qFromLittleEndian<quint64>(data.constData());
    }

    const auto unacknowledged = [this](quint64 from, quint64 to) {
        return qint64(to - std::min(to, std::max(from, head)));
    };
    // A file skipped, reported once the readings it held are known: at the next file loaded.
    QString gapFile, gapProblem;
    bool cut = false; // the end of the file loaded last was damaged and cut off
    const QFileInfoList files =
        QDir(dir).entryInfoList({QStringLiteral("*.seg")}, QDir::Files | QDir::System, QDir::Name);
    for (const QFileInfo &info : files) {
        bool ok = false;
        Segment segment;
        segment.name = info.fileName().left(16).toULongLong(&ok, 16);
        if (!ok || info.fileName().size() != 20 || (!segments.empty() && segment.name < tail))
            continue;
        QFile file(info.filePath());
        QString problem;
        if (!info.isFile())
            problem = QStringLiteral("is not a regular file");
        else if (!file.open(QIODevice::ReadWrite))
            problem = QStringLiteral("cannot be read (%1)").arg(file.errorString());
        if (!problem.isEmpty()) {
            if (!gapProblem.isEmpty())
                skipped(gapFile, gapProblem, -1);
            gapFile = file.fileName();
            gapProblem = problem;
            // Never written to: new files are named past it.
            tail = std::max(tail, segment.name + 1);
            continue;
        }
        const quint64 end = segments.empty() ? segment.name : segments.back().end;
        const qint64 lost = unacknowledged(end, segment.name);
        if (!gapProblem.isEmpty())
            skipped(gapFile, gapProblem, lost);
        else if (lost > 0)
            skipped(segmentPath(cut ? segments.back().name : end),
                    cut ? QStringLiteral("is damaged") : QStringLiteral("is missing"), lost);
        gapProblem.clear();
        if (!loadSegment(file, &segment, &cut, error))
            return false;
        tail = std::max(tail, segment.end);
        totalBytes += segment.bytes;
        segments.push_back(std::move(segment));
    }
    if (!gapProblem.isEmpty())
        skipped(gapFile, gapProblem, -1);

    if (!segments.empty())
        head = std::max(head, segments.front().first);
    tail = std::max(tail, head);
    // Skipped records are taken for acknowledged: all of them are at or past the head.
    pendingCount = -qint64(ackedAhead.size());
    for (const Segment &segment : segments)
        pendingCount += unacknowledged(segment.first, segment.end);
    advanceHead();
    reclaim();
    const Segment *last = segments.empty() ? nullptr : &segments.back();
    if (!last || last->unmarked || last->end != tail || last->bytes >= segmentBytes)
        return startSegment(error);
    writer.setFileName(segmentPath(last->name));
    if (!writer.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot write to the spool file %1: %2")
                     .arg(writer.fileName(), writer.errorString());
        return false;
    }
    return true;
}

bool Spool::loadSegment(QFile &file, Segment *segment, bool *cut, QString *error)
{
    QByteArray data; // the file from offset base on
    qint64 base = 0;
    bool atEnd = false;
    const auto fill = [&](qint64 to) {
        while (!atEnd && base + data.size() < to) {
            const QByteArray more = file.read(std::max(WindowBytes, to - base - data.size()));
            atEnd = more.isEmpty();
            data += more;
        }
    };
    quint32 index = 0;
    const auto recordAt = [&](qint64 at, bool unmarked) {
        const int header = unmarked ? UnmarkedHeaderBytes : HeaderBytes;
        fill(at + header);
        if (base + data.size() < at + header || at > std::numeric_limits<quint32>::max())
            return qint64(0);
        const char *record = data.constData() + (at - base);
        fill(at + header + std::min(bodyLength(record, unmarked), MaxBodyBytes));
        int topicBytes = 0;
        return recordSize(data.constData() + (at - base), base + data.size() - at, unmarked, &index,
                          &topicBytes);
    };
    // The offset of the next marker from the offset on, or -1.
    const auto nextMarker = [&](qint64 from) {
        for (;;) {
            const int found = data.indexOf(Marker, int(from - base));
            if (found >= 0 || atEnd)
                return found >= 0 ? base + found : qint64(-1);
            from = std::max(from, base + data.size() - (MarkerBytes - 1));
            data.remove(0, int(from - base));
            base = from;
            fill(base + data.size() + 1);
        }
    };

    fill(MarkerBytes);
    segment->unmarked = !data.startsWith(Marker) && recordAt(0, true) > 0;
    segment->first = segment->end = segment->name;
    qint64 at = 0;
    qint64 damaged = -1; // where the bytes skipped to find the next record began
    for (;;) {
        if (at - base > WindowBytes) {
            data.remove(0, int(at - base));
            base = at;
        }
        const qint64 size = recordAt(at, segment->unmarked);
        const quint64 id = segment->unmarked ? segment->end : segment->name + index;
        const bool first = segment->offsets.empty();
        // Past damage, as many ids as the skipped bytes could have held records.
        const bool inOrder = first
            || (id >= segment->end
                && id - segment->end
                    <= (damaged < 0 ? 0 : quint64((at - damaged) / MinRecordBytes)));
        if (size > 0 && inOrder) {
            if (damaged >= 0) {
                const quint64 from = first ? segment->name : segment->end;
                const qint64 lost = qint64(id - std::min(id, std::max(from, head)));
                for (quint64 gone = segment->end; !first && gone < id; ++gone) {
                    segment->offsets.push_back(Gone);
                    if (gone >= head)
                        ackedAhead.insert(gone);
                }
                if (lost > 0)
                    skipped(file.fileName(), QStringLiteral("is damaged"), lost);
                damaged = -1;
            }
            if (first)
                segment->first = id;
            segment->offsets.push_back(quint32(at));
            segment->end = id + 1;
            at += size;
            segment->bytes = at;
            continue;
        }
        // Files written the old way have no marker to look for: the rest is a torn write.
        if ((atEnd && at >= base + data.size()) || segment->unmarked)
            break;
        if (damaged < 0)
            damaged = at;
        at = nextMarker(at + 1);
        if (at < 0)
            break;
    }
    // What follows the last whole record is damage or a write that a kill or power cut tore.
    *cut = file.size() > segment->bytes;
    if (*cut && file.error() == QFileDevice::NoError && !file.resize(segment->bytes)) {
        *error = QStringLiteral("cannot repair the spool file %1: %2")
                     .arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

QString Spool::segmentPath(quint64 name) const
{
    return dir + QStringLiteral("/%1.seg").arg(name, 16, 16, QLatin1Char('0'));
}

bool Spool::startSegment(QString *error)
{
    // What the last segment holds reaches the disk before writing goes on elsewhere.
    sync();
    writer.close();
    Segment segment;
    segment.name = segment.first = segment.end = tail;
    writer.setFileName(segmentPath(segment.name));
    if (!writer.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot write to the spool file %1: %2")
                     .arg(writer.fileName(), writer.errorString());
        return false;
    }
    segments.push_back(std::move(segment));
    directoryChanged = true;
    return true;
}

qint64 Spool::release(Segments::iterator segment)
{
    qint64 count = 0;
    const quint64 from = std::max(segment->first, head);
    if (from < segment->end) {
        const auto begin = ackedAhead.lower_bound(from);
        const auto end = ackedAhead.lower_bound(segment->end);
        count = qint64(segment->end - from) - qint64(std::distance(begin, end));
        ackedAhead.erase(begin, end);
        pendingCount -= count;
    }
    totalBytes -= segment->bytes;
    const QString path = segmentPath(segment->name);
    if (reader.fileName() == path)
        reader.close();
    if (writer.fileName() == path)
        writer.close();
    segments.erase(segment);
    return count;
}

void Spool::removeFront()
{
    const QString path = segmentPath(segments.front().name);
    const quint64 end = segments.front().end;
    release(segments.begin());
    head = std::max(head, end);
    QFile::remove(path);
    directoryChanged = true;
    markDirty();
}

void Spool::reclaim()
{
    while (!segments.empty() && segments.front().end <= head) {
        Segment &last = segments.front();
        if (segments.size() > 1 || !writer.isOpen() || last.end - last.name >= MaxIndex) {
            removeFront();
            continue;
        }
        // The file written on is emptied in place: no new file for each reading delivered.
        if (last.bytes > 0 && writer.resize(0)) {
            totalBytes -= last.bytes;
            last.bytes = 0;
            last.first = last.end;
            last.offsets.clear();
        }
        return;
    }
}

bool Spool::append(const QString &topic, const QByteArray &payload, int *dropped, QString *error)
{
    *dropped = 0;
    const QByteArray topicBytes = topic.toUtf8();
    const qint64 length = TopicLengthBytes + topicBytes.size() + payload.size();
    // Refused rather than written as a record that could not be read back.
    if (topicBytes.size() > std::numeric_limits<quint16>::max() || length > MaxBodyBytes) {
        *error = QStringLiteral("cannot spool a reading with a topic of %1 bytes and a payload of "
                                "%2 bytes: at most 65535 and 16 MB")
                     .arg(topicBytes.size())
                     .arg(payload.size());
        return false;
    }

    const qint64 pendingBefore = pendingCount;
    while (!segments.empty() && totalBytes + HeaderBytes + length > limitBytes)
        removeFront();
    *dropped = int(pendingBefore - pendingCount);
    if (segments.empty() || !writer.isOpen() || segments.back().bytes >= segmentBytes) {
        if (!startSegment(error))
            return false;
    }

    Segment &segment = segments.back();
    QByteArray record(HeaderBytes + TopicLengthBytes, Qt::Uninitialized);
    std::memcpy(record.data(), Marker, MarkerBytes);
    qToLittleEndian<quint32>(quint32(length), record.data() + 4);
    qToLittleEndian<quint32>(quint32(tail - segment.name), record.data() + 12);
    qToLittleEndian<quint16>(quint16(topicBytes.size()), record.data() + HeaderBytes);
    record += topicBytes + payload;
    qToLittleEndian<quint32>(crc32(record.constData() + 12, record.size() - 12), record.data() + 8);

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
    segment.end = ++tail;
    totalBytes += record.size();
    ++pendingCount;
    markDirty();
    return true;
}

bool Spool::next(quint64 fromId, Message *message)
{
    for (auto segment = segments.begin(); segment != segments.end();) {
        quint64 id = std::max({fromId, head, segment->first});
        while (id < segment->end && ackedAhead.count(id) > 0)
            ++id;
        if (id >= segment->end) {
            ++segment;
            continue;
        }
        const QString path = segmentPath(segment->name);
        if (reader.fileName() != path || !reader.isOpen()) {
            reader.close();
            reader.setFileName(path);
            // Unbuffered: a read-ahead buffer could hold bytes of a write that was cut off.
            if (!reader.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
                const QString problem = QFile::exists(path)
                    ? QStringLiteral("cannot be read (%1)").arg(reader.errorString())
                    : QStringLiteral("is missing");
                skipped(path, problem, release(segment));
                advanceHead();
                reclaim();
                markDirty();
                segment = segments.begin();
                continue;
            }
        }
        if (readRecord(*segment, id, message))
            return true;
        // Given up like a reading delivered; that may reclaim files, so the search starts over.
        skipped(path, QStringLiteral("is damaged"), 1);
        acknowledge(id);
        segment = segments.begin();
    }
    return false;
}

bool Spool::readRecord(const Segment &segment, quint64 id, Message *message)
{
    const int header = segment.unmarked ? UnmarkedHeaderBytes : HeaderBytes;
    if (!reader.seek(segment.offsets[size_t(id - segment.first)]))
        return false;
    QByteArray data = reader.read(header);
    if (data.size() < header)
        return false;
    data += reader.read(std::min(bodyLength(data.constData(), segment.unmarked), MaxBodyBytes));
    quint32 index = 0;
    int topicBytes = 0;
    if (recordSize(data.constData(), data.size(), segment.unmarked, &index, &topicBytes) == 0
        || (!segment.unmarked && segment.name + index != id))
        return false;
    message->id = id;
    message->topic = QString::fromUtf8(data.constData() + header + TopicLengthBytes, topicBytes);
    message->payload = data.mid(header + TopicLengthBytes + topicBytes);
    return true;
}

void Spool::acknowledge(quint64 id)
{
    if (isAcknowledged(id) || id >= tail || !isHeld(id))
        return;
    ackedAhead.insert(id);
    --pendingCount;
    advanceHead();
    reclaim();
    markDirty();
}

bool Spool::isHeld(quint64 id) const
{
    return std::any_of(segments.begin(), segments.end(),
                       [id](const Segment &s) { return s.first <= id && id < s.end; });
}

void Spool::advanceHead()
{
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
}

void Spool::skipped(const QString &path, const QString &problem, qint64 count)
{
    const QString text = QStringLiteral("the spool file %1 %2: ").arg(path, problem);
    if (count < 0)
        emit notice(text + QStringLiteral("skipped"));
    else
        emit notice(
            text
            + QStringLiteral("%1 %2 skipped")
                  .arg(count)
                  .arg(count == 1 ? QStringLiteral("reading") : QStringLiteral("readings")));
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
