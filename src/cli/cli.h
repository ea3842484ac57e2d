#ifndef CLI_H
#define CLI_H

#include "readingformat.h"
#include "unitfailure.h"

#include <QString>
#include <QStringList>

class QCommandLineParser;

// What every command of corvane-cli shares: the exit codes that --help and the README list, the
// one-line messages on stderr, and the checks of the options the commands share.
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

// A command line option: its name, help and, for a number, the range it takes. The table is
// main.cpp's.
struct Option
{
    const char *name;
    const char *valueName; // nullptr: a switch
    const char *help;
    double minimum = 0;
    double maximum = 0; // 0: not a number
};
const Option *optionNamed(const QString &name);

// One line on stderr, prefixed with the program's name, so that a script's log shows who spoke.
void message(const QString &text);
// Qt's own messages (the link's trace lines, a library's warnings) become such lines too, one
// line each, so that stderr holds nothing else.
void installMessageHandler();
// stdin or stderr is a terminal: a person is there to answer or to watch.
bool isTerminal(int fd);
// The exit code of a unit that could not be talked to.
Exit exitFor(UnitFailure failure);

// The option's value as a number in its range, or the default when it is not given; false, said
// on stderr, when it is no such number.
bool numberOption(const QCommandLineParser &parser, const char *name, double *value);
// --format, one of the names; false, said on stderr, for another.
bool formatOption(const QCommandLineParser &parser, const QStringList &names,
                  ReadingFormat::Format *format);
// Text for a person at a terminal, JSON lines for a script or a file.
ReadingFormat::Format defaultFormat(bool toFile);
// False, said on stderr, for a --port left empty (an unset variable in a script), which must
// never mean "whichever unit answers".
bool portNotEmpty(const QCommandLineParser &parser);
// The port to use: the one named, or the one port where a unit answers; Usage when several
// answer (they are named), NoUnit when none does.
int choosePort(const QCommandLineParser &parser, QString *port);

} // namespace Cli

#endif // CLI_H
