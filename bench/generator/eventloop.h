#pragma once

#include <QEventLoop>
#include <QTimer>

namespace bench {

// Lets the window thread handle its events for the given time.
inline void runEventLoop(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace bench
