#pragma once

#include <QObject>

#include <functional>

namespace platform {

// Lets SIGTERM, SIGINT and SIGHUP (the session ending) end the program in order: `close` runs
// on the event loop of `context`, every event loop is left, and main() returns, so destructors
// run (a DDE source removes its socket file). A second of these signals arriving before the
// program has ended ends it at once, as without this call.
//
// Call once, from main(). When the signals cannot be caught the reason goes to standard error
// and they keep their default action.
void onTerminationSignals(QObject *context, std::function<void()> close);

// The same for a window: the signals end the program as closing `window` does. Call after the
// window exists.
template<typename Window>
void closeOnTerminationSignals(Window *window)
{
    onTerminationSignals(window, [window] { window->close(); });
}

} // namespace platform
