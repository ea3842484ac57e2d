// The line as file descriptors: the master side of a pseudo-terminal or a serial device.

#include "simulatedunit.h"

#include <QSocketNotifier>
#include <QtDebug>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

void setNonBlockingCloexec(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

} // namespace

bool SimulatedUnit::openPty()
{
    closeLine();
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        qWarning("SimulatedUnit: posix_openpt: %s", std::strerror(errno));
        return false;
    }
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0
        || ::ptsname_r(master, name, sizeof name) != 0) {
        qWarning("SimulatedUnit: cannot unlock the pseudo-terminal: %s", std::strerror(errno));
        ::close(master);
        return false;
    }
    // Terminal attributes set through the master belong to the slave's line discipline: raw
    // mode keeps it from echoing answers back to us and from translating CR and LF bytes.
    termios tio;
    if (::tcgetattr(master, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(master, TCSANOW, &tio);
    }
    setNonBlockingCloexec(master);

    // Our own hold on the slave: without it the master reads EIO, and polls as readable for
    // ever, whenever the host has its side closed.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        qWarning("SimulatedUnit: cannot open %s: %s", name, std::strerror(errno));
        ::close(master);
        return false;
    }
    slaveFd = slave;
    return serve(master, QString::fromLocal8Bit(name));
}

bool SimulatedUnit::openDevice(const QString &path)
{
    closeLine();
    const QByteArray localPath = path.toLocal8Bit();
    const int fd = ::open(localPath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        qWarning("SimulatedUnit: cannot open %s: %s", localPath.constData(), std::strerror(errno));
        return false;
    }
    termios tio;
    if (::tcgetattr(fd, &tio) != 0) {
        qWarning("SimulatedUnit: %s is not a serial device: %s", localPath.constData(),
                 std::strerror(errno));
        ::close(fd);
        return false;
    }
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    tio.c_cflag &= ~tcflag_t(CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_iflag &= ~tcflag_t(IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        qWarning("SimulatedUnit: cannot configure %s: %s", localPath.constData(),
                 std::strerror(errno));
        ::close(fd);
        return false;
    }
    ::tcflush(fd, TCIOFLUSH);
    return serve(fd, path);
}

bool SimulatedUnit::serve(int fd, const QString &path)
{
    masterFd = fd;
    devicePath = path;
    notifier = new QSocketNotifier(masterFd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SimulatedUnit::onReadable);
    writeNotifier = new QSocketNotifier(masterFd, QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(writeNotifier, &QSocketNotifier::activated, this, &SimulatedUnit::flushBacklog);
    return true;
}

bool SimulatedUnit::isServing() const
{
    return masterFd >= 0 && notifier && notifier->isEnabled();
}

void SimulatedUnit::releaseLine()
{
    // Notifiers may be the very sender we are called from, so they are only disabled here.
    for (QSocketNotifier **n : {&notifier, &writeNotifier}) {
        if (*n) {
            (*n)->setEnabled(false);
            (*n)->deleteLater();
            *n = nullptr;
        }
    }
    if (masterFd >= 0)
        ::close(masterFd);
    if (slaveFd >= 0)
        ::close(slaveFd);
    masterFd = -1;
    slaveFd = -1;
}

void SimulatedUnit::lose(const char *call, int error)
{
    qWarning("SimulatedUnit: %s on %s failed (%s); the line is lost", call, qPrintable(devicePath),
             error ? std::strerror(error) : "end of file");
    closeLine();
}

void SimulatedUnit::onReadable()
{
    char buffer[4096];
    while (masterFd >= 0) {
        const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            lose("read", n == 0 ? 0 : errno);
            return;
        }
        receive(QByteArray(buffer, int(n)));
    }
}

void SimulatedUnit::flushBacklog()
{
    while (!writeBacklog.isEmpty() && masterFd >= 0) {
        const QByteArray &chunk = writeBacklog.first();
        const ssize_t n =
            ::write(masterFd, chunk.constData() + writeOffset, size_t(chunk.size() - writeOffset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            writeNotifier->setEnabled(true);
            return;
        }
        if (n < 0) {
            lose("write", errno);
            return;
        }
        writeOffset += int(n);
        if (writeOffset < chunk.size())
            continue;
        const QByteArray written = writeBacklog.takeFirst();
        writeOffset = 0;
        emit answerWritten(written);
    }
    if (writeNotifier)
        writeNotifier->setEnabled(false);
}
