#include "periodictimer.h"

#include <QPointer>
#include <QTimerEvent>
#include <algorithm>

namespace platform {

namespace {
constexpr qint64 kMillisecondsPerSecond = 1000;
constexpr qint64 kNanosecondsPerMillisecond = 1000000;
} // namespace

PeriodicTimer::PeriodicTimer(QObject *parent)
    : QObject(parent)
{
}

PeriodicTimer::~PeriodicTimer() = default;

void PeriodicTimer::setInterval(int milliseconds)
{
    m_interval = std::max(0, milliseconds);
    arm();
}

void PeriodicTimer::setEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    arm();
}

void PeriodicTimer::arm()
{
    // Disarming also forgets periods not yet delivered.
    m_wakeUp.stop();
    if (!m_enabled || m_interval <= 0)
        return;
    m_armedAt.start();
    m_periodsDelivered = 0;
    // A precise timer keeps to its period and wakes no earlier than its deadline, so each
    // wake-up finds at least one period passed on the clock, which started first.
    m_wakeUp.start(m_interval, Qt::PreciseTimer, this);
}

void PeriodicTimer::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_wakeUp.timerId())
        deliverExpirations();
    else
        QObject::timerEvent(event);
}

void PeriodicTimer::deliverExpirations()
{
    const qint64 periodsPassed = m_armedAt.nsecsElapsed() / (m_interval * kNanosecondsPerMillisecond);
    const qint64 oneSecond = std::max<qint64>(1, kMillisecondsPerSecond / m_interval);
    qint64 ticks = std::min(periodsPassed - m_periodsDelivered, oneSecond);
    // Periods beyond one second's worth are dropped, not owed.
    m_periodsDelivered = periodsPassed;

    // A handler may disable the timer, change its interval or delete it; stop delivering then.
    const QPointer<PeriodicTimer> alive(this);
    const int armedInterval = m_interval;
    while (ticks-- > 0 && alive && m_enabled && m_interval == armedInterval)
        emit timeout();
}

} // namespace platform
