#include "spoollock.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {
constexpr int PidBytes = 20;

qint64 pidIn(const char *text, qint64 size)
{
    return size > 0 ? QByteArray(text, int(size)).trimmed().toLongLong() : 0;
}
} // namespace

SpoolLock::~SpoolLock()
{
    unlock();
}

#ifdef Q_OS_WIN

SpoolLock::Result SpoolLock::tryLock(const QString &path, qint64 *holder)
{
    unlock();
    const HANDLE file =
        CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Failed;
    // A byte far past the pid is locked: Windows locks are mandatory, and others read the pid.
    OVERLAPPED lockedByte{};
    lockedByte.OffsetHigh = 1;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &lockedByte)) {
        const bool held = GetLastError() == ERROR_LOCK_VIOLATION;
        char text[PidBytes];
        DWORD read = 0;
        *holder = ReadFile(file, text, PidBytes, &read, nullptr) ? pidIn(text, read) : 0;
        CloseHandle(file);
        return held ? Held : Failed;
    }
    const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid()) + '\n';
    DWORD written = 0;
    // The pid only words a message: the lock holds without it.
    if (SetEndOfFile(file))
        WriteFile(file, pid.constData(), DWORD(pid.size()), &written, nullptr);
    handle = file;
    return Locked;
}

void SpoolLock::unlock()
{
    if (handle)
        CloseHandle(handle);
    handle = nullptr;
}

#else

SpoolLock::Result SpoolLock::tryLock(const QString &path, qint64 *holder)
{
    unlock();
    const int file =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (file < 0)
        return Failed;
    if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        char text[PidBytes];
        *holder = pidIn(text, ::pread(file, text, PidBytes, 0));
        ::close(file);
        return held ? Held : Failed;
    }
    const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid()) + '\n';
    // The pid only words a message: the lock holds without it.
    QFile text;
    if (text.open(file, QIODevice::WriteOnly, QFileDevice::DontCloseHandle) && text.resize(0))
        text.write(pid);
    fd = file;
    return Locked;
}

void SpoolLock::unlock()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

#endif
