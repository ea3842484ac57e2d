#include "lineoutput.h"

#include <QFileInfo>

#include <cerrno>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

bool LineOutput::openFile(const QString &path)
{
    // The last byte is read before appending; a file that cannot be read is appended to as is.
    QFile existing(path);
    if (existing.open(QIODevice::ReadOnly) && !existing.isSequential() && existing.size() > 0
        && existing.seek(existing.size() - 1)) {
        char last = '\n';
        needsNewline = existing.getChar(&last) && last != '\n';
    }
    existing.close();
    file.setFileName(path);
    // A device or a pipe (/dev/null, a FIFO) has no end to append at, and Qt warns when asked
    // to seek it.
    const QFileInfo info(path);
    const bool appendable = !info.exists() || info.isFile();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered
                   | (appendable ? QIODevice::Append : QIODevice::NotOpen))) {
        error = file.errorString();
        return false;
    }
    empty = file.isSequential() || file.size() == 0;
    return true;
}

bool LineOutput::openStream(Stream stream)
{
#ifdef Q_OS_WIN
    // A console shows text in its own code page; it is written UTF-16 (see writeAll). Anything
    // else gets the bytes as they are, without the C library's CRLF translation, so that
    // "read > log.csv" and "read --output log.csv" give the same file.
    DWORD mode = 0;
    console =
        GetConsoleMode(
            GetStdHandle(stream == StandardOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &mode)
        != 0;
    _setmode(int(stream), _O_BINARY);
#endif
    if (!file.open(int(stream), QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        error = file.errorString();
        return false;
    }
    // A stream redirected into a file that has lines already (>>) is not empty; a pipe or a
    // terminal cannot tell, and asking it would only draw a warning from Qt.
    empty = file.isSequential() || file.size() == 0;
    return true;
}

bool LineOutput::writeLine(const QByteArray &line)
{
    const QByteArray bytes = (needsNewline ? QByteArray("\n") : QByteArray()) + line + '\n';
    const qint64 before = file.isSequential() ? -1 : file.size();
    if (!writeAll(bytes)) {
        if (before >= 0)
            file.resize(before);
        return false;
    }
    needsNewline = false;
    empty = false;
    return true;
}

bool LineOutput::writeAll(const QByteArray &bytes)
{
#ifdef Q_OS_WIN
    if (console) {
        const QString text = QString::fromUtf8(bytes);
        DWORD written = 0;
        if (WriteConsoleW(GetStdHandle(file.handle() == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE),
                          reinterpret_cast<const wchar_t *>(text.utf16()), DWORD(text.size()),
                          &written, nullptr))
            return true;
        error = qt_error_string(int(GetLastError()));
        return false;
    }
#endif
    qint64 done = 0;
    while (done < bytes.size()) {
        // Qt reports a write that stopped part of the way as done, without a reason; writing
        // the rest brings the system's reason (ENOSPC, EFBIG, EPIPE).
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0) {
            error = file.errorString();
            return false;
        }
        done += written;
    }
    return true;
}

bool LineOutput::sync()
{
#ifdef Q_OS_WIN
    const bool synced = _commit(file.handle()) == 0;
#else
    const bool synced = ::fsync(file.handle()) == 0;
#endif
    if (!synced)
        error = qt_error_string(errno);
    return synced;
}
