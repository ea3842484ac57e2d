#include "stderrredirect.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

StderrRedirect::StderrRedirect(const char *path)
{
    std::fflush(stderr);
    saved = ::dup(STDERR_FILENO);
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
}

StderrRedirect::~StderrRedirect()
{
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
}
