#include "packframer.h"

#include "sensorprotocol.h"

#include <cstring>

void PackFramer::append(const QByteArray &bytes)
{
    buffer.append(bytes);
}

PackFramer::Cut PackFramer::next()
{
    const int runStart = offset;
    const char *const data = buffer.constData();
    while (offset < buffer.size()) {
        const int available = buffer.size() - offset;
        if (quint8(data[offset]) != SensorProtocol::StartByte) {
            const void *start =
                std::memchr(data + offset, SensorProtocol::StartByte, size_t(available));
            offset = start ? int(static_cast<const char *>(start) - data) : buffer.size();
            continue;
        }
        // Nothing is cut from fewer than four bytes; the length byte counts all but the checksum.
        const int size = available >= 4 ? quint8(data[offset + 2]) + 1 : 4;
        if (available < size) {
            if (offset >= idleEnd)
                break;
            ++offset;
            continue;
        }
        if (SensorProtocol::byteSum(QByteArray::fromRawData(data + offset, size)) != 0) {
            // A bad start can hide a good answer: the search goes on from its second byte.
            ++offset;
            continue;
        }
        // The skipped run is reported first; the pack is found again by the next call.
        if (offset > runStart)
            return {Cut::Dropped, buffer.mid(runStart, offset - runStart)};
        offset += size;
        return {Cut::Pack, buffer.mid(offset - size, size)};
    }
    if (offset > runStart)
        return {Cut::Dropped, buffer.mid(runStart, offset - runStart)};
    buffer.remove(0, offset);
    idleEnd = qMax(0, idleEnd - offset);
    offset = 0;
    return {Cut::Waiting, QByteArray()};
}

void PackFramer::lineIdle()
{
    idleEnd = buffer.size();
}

void PackFramer::clear()
{
    buffer.clear();
    offset = 0;
    idleEnd = 0;
}
