#pragma once

#include <QApplication>

namespace platform {

// The programs' application object. It is the last-resort error boundary: each event source
// handles its own failures, and anything that still escapes a handler is caught here, logged
// and reported in one message box that does not wait, instead of unwinding through the event
// loop and ending the program.
class Application : public QApplication
{
    Q_OBJECT

public:
    Application(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;
};

} // namespace platform
