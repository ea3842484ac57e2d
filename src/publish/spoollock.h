#ifndef SPOOLLOCK_H
#define SPOOLLOCK_H

#include <QString>

// The lock of a spool directory: an advisory lock on an open file, which the system lets go
// however its holder ends. A lock file naming a pid would shut out a gateway restarted under the
// pid of its earlier run, as pid 1 in a container always is. The holder writes its pid into the
// file for the message of a second one.
class SpoolLock
{
public:
    enum Result { Locked, Held, Failed };

    SpoolLock() = default;
    ~SpoolLock();
    SpoolLock(const SpoolLock &) = delete;
    SpoolLock &operator=(const SpoolLock &) = delete;

    // Held: a live process holds it, *holder its pid (0 if it has not written it yet).
    Result tryLock(const QString &path, qint64 *holder);
    void unlock();

private:
#ifdef Q_OS_WIN
    void *handle = nullptr;
#else
    int fd = -1;
#endif
};

#endif // SPOOLLOCK_H
