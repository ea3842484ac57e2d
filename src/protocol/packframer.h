#ifndef PACKFRAMER_H
#define PACKFRAMER_H

#include <QByteArray>

// Cuts the bytes received from the unit into packs. A pack is handed on only when it starts with
// 0x21 and sums to 0; everything else is dropped, so that a stray, lost or flipped byte costs at
// most the answers it touched and the cutting finds the next answer by itself.
//
// The state is read afresh by every call, so a caller may be re-entered between two calls (a
// receiver of a pack that runs a nested event loop) and both runs go on where the other left off.
class PackFramer
{
public:
    struct Cut
    {
        enum Kind { Waiting, Pack, Dropped };
        Kind kind;
        QByteArray bytes;
    };

    void append(const QByteArray &bytes);
    // The next pack at the front, or the next run of bytes that were skipped on the way to it;
    // Waiting when what is left needs more bytes.
    Cut next();
    // The line went quiet: the incomplete packs held now will never be completed. The next
    // calls drop them byte by byte, so that answers behind a bad length byte still come out.
    void lineIdle();
    // Bytes are held that wait for more.
    bool isWaiting() const { return buffer.size() > offset; }
    void clear();

private:
    QByteArray buffer;
    // Bytes at the front of buffer that are already cut; compacted once per run so that a
    // burst of many packs costs linear, not quadratic, time.
    int offset = 0;
    // Incomplete packs starting before this position are given up.
    int idleEnd = 0;
};

#endif // PACKFRAMER_H
