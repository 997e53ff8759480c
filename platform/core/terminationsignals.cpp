#include "terminationsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The handler only writes to this pipe; the event loop reads it. Written once in
// onTerminationSignals(), before any handler is installed.
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int number)
{
    const int savedErrno = errno;
    // The default action is back for all of them, so a second signal ends a program that
    // hangs while closing.
    struct sigaction defaultAction
    {
    };
    defaultAction.sa_handler = SIG_DFL;
    for (const int other : kSignals)
        ::sigaction(other, &defaultAction, nullptr);
    const char byte = char(number);
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

void reportFailure(const char *call)
{
    const int number = errno;
    qWarning("Termination signals keep their default action: %s failed with %d: %s", call, number,
             std::strerror(number));
}

} // namespace

void onTerminationSignals(QObject *context, std::function<void()> close)
{
    if (signalPipe[0] >= 0)
        return;
    // Close-on-exec: a program started from this one must not inherit the pipe.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        reportFailure("pipe2");
        return;
    }

    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [close = std::move(close)] {
        char bytes[sizeof kSignals];
        [[maybe_unused]] const ssize_t drained = ::read(signalPipe[0], bytes, sizeof bytes);
        close();
        // Leaves nested loops too (an open message box, a DDE call waiting for its answer).
        QCoreApplication::quit();
    });

    struct sigaction action
    {
    };
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : kSignals) {
        if (::sigaction(number, &action, nullptr) != 0)
            reportFailure("sigaction");
    }
}

} // namespace platform
