#include "cli.h"

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace Cli {

void message(const QString &text)
{
    const QByteArray line = "corvane-cli: " + text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

bool isTerminal(int fd)
{
#ifdef Q_OS_WIN
    return _isatty(fd) != 0;
#else
    return ::isatty(fd) == 1;
#endif
}

} // namespace Cli
