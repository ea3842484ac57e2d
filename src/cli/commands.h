#ifndef COMMANDS_H
#define COMMANDS_H

#include <QStringList>

class QCommandLineParser;

// The commands of corvane-cli, one file each: each takes the parsed options and its arguments
// and returns the exit code (cli.h).
int portsCommand(const QCommandLineParser &parser, const QStringList &arguments);
int findCommand(const QCommandLineParser &parser, const QStringList &arguments);
int readCommand(const QCommandLineParser &parser, const QStringList &arguments);
int calibrateCommand(const QCommandLineParser &parser, const QStringList &arguments);
int resetCommand(const QCommandLineParser &parser, const QStringList &arguments);
int publishCommand(const QCommandLineParser &parser, const QStringList &arguments);

#endif // COMMANDS_H
