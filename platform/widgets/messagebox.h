#pragma once

#include <QString>
#include <functional>

namespace platform {

// Shows a message box with an OK button only, captioned with the program's name
// (QCoreApplication::applicationName()). It returns when the user presses OK; events of the
// program keep being handled while the box is open. A text equal to that of a box already
// open is not shown a second time: it is counted on the open box, so a fast timer or a
// remote peer cannot stack boxes without bound.
void showMessage(const QString &text);

// Shows the same box as showMessage() but returns at once, leaving the box open until the
// user presses OK. For failures a peer causes: the handler that found the failure goes on
// serving instead of waiting on the person at the screen. Repeats of an open text are
// counted as with showMessage().
void reportMessage(const QString &text);

// How many times each text currently open was asked for again while open.
int repeatsOfOpenMessage(const QString &text);

// Tests replace the box by a recorder; an empty handler restores the real box.
using MessageHandler = std::function<void(const QString &caption, const QString &text)>;
void setMessageHandler(MessageHandler handler);

} // namespace platform
