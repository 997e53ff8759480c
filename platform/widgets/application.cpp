#include "application.h"

#include "coreapplication.h"
#include "messagebox.h"

namespace platform {

Application::Application(int &argc, char **argv)
    : QApplication(argc, argv)
{
}

bool Application::notify(QObject *receiver, QEvent *event)
{
    bool delivered = false;
    if (const std::optional<Error> escaped =
            escapedFrom([&] { return QApplication::notify(receiver, event); }, delivered))
        reportMessage(logEscapedError(receiver, *escaped));
    return delivered;
}

} // namespace platform
