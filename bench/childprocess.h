#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QByteArray>
#include <QList>

#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

// A program run as a child with its own environment changes and its standard output and error
// in files. Everything is prepared when it is built, so that start() costs only the spawn.
class ChildProcess
{
public:
    ChildProcess(const QList<QByteArray> &command, const QList<QByteArray> &environmentChanges,
                 const QByteArray &stdoutPath, const QByteArray &stderrPath,
                 bool stdinPipe = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool start();
    // Blocks until the child has ended; true when it exited with status 0.
    bool wait(rusage *usage = nullptr);
    // As wait(), but kills the child after timeoutMsecs.
    bool waitFor(int timeoutMsecs);
    void closeStdin();

private:
    QList<QByteArray> storage;
    std::vector<char *> argv;
    std::vector<char *> envp;
    QByteArray outPath;
    QByteArray errPath;
    bool wantsStdin;
    int stdinWrite = -1;
    pid_t pid = -1;
};

#endif // CHILDPROCESS_H
