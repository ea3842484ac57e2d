#include "interruptwatcher.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
#ifdef Q_OS_WIN
InterruptWatcher *watcher = nullptr;

// Runs on a thread of its own that Windows starts; posting the signal is all it may do.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    QMetaObject::invokeMethod(watcher, &InterruptWatcher::interrupted, Qt::QueuedConnection);
    return TRUE;
}
#else
int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here; the event loop picks the byte up.
void onSignal(int)
{
    const char byte = 1;
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
        char drain[16];
        while (::read(signalPipe[0], drain, sizeof drain) > 0) { }
        emit interrupted();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
#endif
}
