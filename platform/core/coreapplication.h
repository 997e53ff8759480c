#pragma once

#include <QCoreApplication>

namespace platform {

// The application object of a program without a window. It is the last-resort error boundary:
// anything that escapes an event handler is caught here and logged in one line, instead of
// unwinding through the event loop and ending the program.
class CoreApplication : public QCoreApplication
{
    Q_OBJECT

public:
    CoreApplication(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;
};

} // namespace platform
