#include "childprocess.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

ChildProcess::ChildProcess(const QList<QByteArray> &command,
                           const QList<QByteArray> &environmentChanges,
                           const QByteArray &stdoutPath, const QByteArray &stderrPath,
                           bool stdinPipe)
    : outPath(stdoutPath)
    , errPath(stderrPath)
    , wantsStdin(stdinPipe)
{
    storage = command;
    for (char **variable = environ; *variable; ++variable) {
        const QByteArray entry(*variable);
        const QByteArray name = entry.left(entry.indexOf('=') + 1);
        bool changed = false;
        for (const QByteArray &change : environmentChanges)
            changed = changed || change.startsWith(name);
        if (!changed)
            storage.append(entry);
    }
    storage.append(environmentChanges);
    // storage is complete: the pointers into it stay valid from here on.
    for (int i = 0; i < storage.size(); ++i)
        (i < command.size() ? argv : envp).push_back(storage[i].data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
}

ChildProcess::~ChildProcess()
{
    closeStdin();
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

bool ChildProcess::start()
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (wantsStdin) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_adddup2(&actions, pipeFds[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.constData(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.constData(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (wantsStdin) {
        ::close(pipeFds[0]);
        stdinWrite = pipeFds[1];
    }
    if (failed) {
        pid = -1;
        std::fprintf(stderr, "corvane-bench: cannot start %s\n", argv[0]);
        return false;
    }
    return true;
}

bool ChildProcess::wait(rusage *usage)
{
    if (pid <= 0)
        return false;
    int status = 0;
    rusage ignored;
    pid_t ended;
    do {
        ended = ::wait4(pid, &status, 0, usage ? usage : &ignored);
    } while (ended < 0 && errno == EINTR);
    pid = -1;
    return ended > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool ChildProcess::waitFor(int timeoutMsecs)
{
    if (pid <= 0)
        return false;
    const timespec pause = {0, 20 * 1000 * 1000};
    for (int waited = 0; waited < timeoutMsecs; waited += 20) {
        int status = 0;
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid) {
            pid = -1;
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        ::nanosleep(&pause, nullptr);
    }
    std::fprintf(stderr, "corvane-bench: %s did not end in time; killed\n", argv[0]);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
    return false;
}

void ChildProcess::closeStdin()
{
    if (stdinWrite >= 0)
        ::close(stdinWrite);
    stdinWrite = -1;
}
