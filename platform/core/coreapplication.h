#pragma once

#include "errors.h"

#include <QCoreApplication>

#include <exception>
#include <optional>

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

// The error boundary of both application objects: runs an event's delivery and returns what
// escaped it, if anything, with `delivered` set to the delivery's result.
template<typename Deliver>
std::optional<Error> escapedFrom(Deliver &&deliver, bool &delivered)
{
    try {
        delivered = deliver();
        return std::nullopt;
    } catch (const RuntimeError &failure) {
        return failure.error();
    } catch (const std::exception &failure) {
        return Error{0, QString::fromLocal8Bit(failure.what())};
    }
}

// "Error (<receiver>) <number>: <description>", the receiver by its object or class name; the
// same line is logged to the category platform.application.
QString logEscapedError(const QObject *receiver, const Error &escaped);

} // namespace platform
