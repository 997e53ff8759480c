#pragma once

#include <QApplication>

namespace platform {

// The programs' application object. It is the last-resort error boundary: each event source
// handles its own failures, and anything that still escapes a handler is caught here, logged
// and reported in one message box that does not wait, instead of unwinding through the event
// loop and ending the program.
//
// A program that cannot open its display (none set, or nobody serving it) says so in one line
// on standard error, "<program>: cannot open the display ...: <why>", and exits with 1,
// instead of the toolkit's abort. What the toolkit logs while it starts is held until the
// display is open and then logged as usual.
class Application : public QApplication
{
    Q_OBJECT

public:
    Application(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;

    static constexpr int kNoDisplayExitCode = 1;

private:
    static int &holdStartUpMessages(int &argc, char **argv);
    static void releaseStartUpMessages();
};

} // namespace platform
