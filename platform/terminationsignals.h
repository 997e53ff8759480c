#pragma once

class QWidget;

namespace platform {

// Lets SIGTERM, SIGINT and SIGHUP (the session ending) end the program as closing `window`
// does: the window is closed on the event loop, every event loop is left, and main() returns,
// so destructors run (a DDE source removes its socket file). A second of these signals
// arriving before the program has ended ends it at once, as without this call.
//
// Call once, from main(), after the window exists. When the signals cannot be caught the
// reason goes to standard error and they keep their default action.
void closeOnTerminationSignals(QWidget *window);

} // namespace platform
