#include "cli.h"

#include "lineoutput.h"

#include <QStringList>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace Cli {

void message(const QString &text)
{
    static LineOutput stderrLines;
    if (!stderrLines.isOpen())
        stderrLines.openStream(LineOutput::StandardError);
    // A message with line breaks (a library's) still takes one line.
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    stderrLines.writeLine("corvane-cli: " + line.toUtf8());
}

void installMessageHandler()
{
    qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &text) { message(text); });
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
