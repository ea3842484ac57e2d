/* Modem lines for pseudo-terminals, preloaded into Wine's processes by scripts/windows.sh only.
 *
 * Wine 10 polls a serial port's modem lines (TIOCMGET) while a program waits for received bytes,
 * as QtSerialPort does for every read, and cancels the wait when the poll fails. A pseudo-terminal
 * has no modem lines (ENOTTY), so on the simulated unit's pseudo-terminal no byte would ever reach
 * the Windows programs. Here a pseudo-terminal answers the four modem-line requests like a port
 * with a cable plugged in and the far end ready: DSR, CTS and CD up, never changing; setting DTR
 * or RTS is accepted and changes nothing. Every other call, and every other file, goes through
 * unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#include <termios.h>

/* The file system type of devpts, the pseudo-terminals' own. */
#define DEVPTS_MAGIC 0x1cd1

typedef int (*ioctl_function)(int, unsigned long, ...);

static int is_pseudo_terminal(int fd)
{
    struct statfs fs;
    return fstatfs(fd, &fs) == 0 && fs.f_type == DEVPTS_MAGIC;
}

int ioctl(int fd, unsigned long request, ...)
{
    static ioctl_function next;
    va_list args;
    void *argument;

    va_start(args, request);
    argument = va_arg(args, void *);
    va_end(args);

    switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        if (!is_pseudo_terminal(fd))
            break;
        if (!argument) {
            errno = EFAULT;
            return -1;
        }
        if (request == TIOCMGET)
            *(int *)argument = TIOCM_DSR | TIOCM_CTS | TIOCM_CD;
        return 0;
    default:
        break;
    }

    if (!next)
        next = (ioctl_function)dlsym(RTLD_NEXT, "ioctl");
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, request, argument);
}
