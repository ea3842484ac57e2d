#ifndef CLI_H
#define CLI_H

#include <QString>

// What every command of corvane-cli shares: the exit codes that --help and the README list, and
// the one-line messages on stderr.
namespace Cli {

enum Exit {
    Done = 0,
    UnitFailed = 1,
    Usage = 2,
    CannotOpen = 3,
    NoUnit = 4,
    Unsettled = 5,
    CannotWrite = 6,
    // 128 + the signal's number: a calibration stopped by a signal after its pack went out.
    Signalled = 128,
};

// One line on stderr, prefixed with the program's name, so that a script's log shows who spoke.
void message(const QString &text);
// Qt's own messages (the link's trace lines, a library's warnings) become such lines too, one
// line each, so that stderr holds nothing else.
void installMessageHandler();
// stdin or stderr is a terminal: a person is there to answer or to watch.
bool isTerminal(int fd);

} // namespace Cli

#endif // CLI_H
