#ifndef MONOTONIC_H
#define MONOTONIC_H

#include <QtGlobal>

#include <ctime>

// CLOCK_MONOTONIC is the clock behind QElapsedTimer on Linux and is shared by all processes, so a
// stamp taken in the unit's process and one taken in the window's process compare directly.
inline qint64 monotonicNanos()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

#endif // MONOTONIC_H
