#include "eventloop.h"

#include <QCoreApplication>

namespace platform {

void letEventsRun()
{
    QCoreApplication::processEvents();
}

void letEventsRunFor(std::chrono::milliseconds duration)
{
    QEventLoop loop;
    QTimer::singleShot(duration, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace platform
