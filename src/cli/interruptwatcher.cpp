#include "interruptwatcher.h"

#include <csignal>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
#ifdef Q_OS_WIN
InterruptWatcher *watcher = nullptr;

// Runs on a thread of its own that Windows starts; posting the signal is all it may do.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        QMetaObject::invokeMethod(watcher, "interrupted", Qt::QueuedConnection, Q_ARG(int, SIGINT));
        return TRUE;
    }
    // A closed console window, a logoff or a shutdown: Windows ends the process as soon as this
    // returns, so it waits while the event loop ends the command in order (the system allows
    // about five seconds).
    QMetaObject::invokeMethod(watcher, "interrupted", Qt::QueuedConnection, Q_ARG(int, SIGTERM));
    Sleep(4000);
    return TRUE;
}
#else
const int Watched[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[sizeof Watched / sizeof *Watched];
int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here; the event loop picks the byte up.
void onSignal(int number)
{
    const char byte = char(number);
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    static_cast<void>(written);
}
#endif
} // namespace

InterruptWatcher::InterruptWatcher(QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_WIN
    watcher = this;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char number = 0;
        while (::read(signalPipe[0], &number, 1) > 0)
            emit interrupted(number);
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < sizeof Watched / sizeof *Watched; ++i) {
        // A signal ignored from the start (nohup's SIGHUP, a shell's for a background job) is the
        // caller's choice and stays ignored.
        ::sigaction(Watched[i], nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN)
            ::sigaction(Watched[i], &action, nullptr);
    }
#endif
}

InterruptWatcher::~InterruptWatcher()
{
#ifdef Q_OS_WIN
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    watcher = nullptr;
#else
    if (signalPipe[0] < 0)
        return;
    for (size_t i = 0; i < sizeof Watched / sizeof *Watched; ++i)
        ::sigaction(Watched[i], &previous[i], nullptr);
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
#endif
}
