#pragma once

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <chrono>

// Letting events run inside a handler. A handler normally returns to the event loop before
// anything else happens; these are for the few that must wait for a peer or the user where
// they stand (a message box that waits for OK, a DDE call that waits for its answer, a file
// exchange that waits for the other program). Whatever handles events may run meanwhile: the
// user may close the window, a socket may go, the caller's own object may be deleted or its
// handler entered again. After any of them the caller re-checks everything it relied on
// before the call (objects through QPointer, its state, whether its work is still wanted)
// before it goes on.
namespace platform {

// No time limit for waitForSignal().
inline constexpr std::chrono::milliseconds kNoTimeout{-1};

// Lets the events that are already waiting run once and returns at once, also when there
// were none; it waits for nothing. It is the pause a handler makes where its program's
// behaviour lets other handlers run in its middle. Its uses are two pauses of a TCP server
// channel: between closing its socket and listening again, and between ending its listening
// and taking a client, so that what was already waiting is handled before it goes on. A wait
// for something belongs in waitForSignal() or letEventsRunFor(), which sleep until it happens.
void letEventsRun();

// Runs a nested event loop for this long, letting every event run meanwhile: the wait of a
// poll that has to stay where it is (a file the other program has not written yet).
void letEventsRunFor(std::chrono::milliseconds duration);

// Runs a nested event loop until `sender` emits `signal`, `sender` is destroyed, or `timeout`
// passes (never with kNoTimeout). Returns true when the signal came.
template<typename Sender, typename Signal>
bool waitForSignal(const Sender *sender, Signal signal, std::chrono::milliseconds timeout = kNoTimeout)
{
    QEventLoop loop;
    bool signalled = false;
    QObject::connect(sender, signal, &loop, [&loop, &signalled] {
        signalled = true;
        loop.quit();
    });
    QObject::connect(sender, &QObject::destroyed, &loop, &QEventLoop::quit);
    if (timeout >= std::chrono::milliseconds::zero())
        QTimer::singleShot(timeout, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    return signalled;
}

// Something a handler waits for that is no signal of an object of its own, such as the answer
// to one request: the code that sees it happen calls notify(), and the waiter passes the
// notifier and &Notifier::notified to waitForSignal().
class Notifier : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    void notify() { emit notified(); }

signals:
    void notified();
};

} // namespace platform
