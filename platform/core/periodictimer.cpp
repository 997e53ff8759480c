#include "periodictimer.h"

#include <QPointer>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <sys/timerfd.h>
#include <unistd.h>

namespace platform {

namespace {
constexpr qint64 kMillisecondsPerSecond = 1000;
constexpr long kNanosecondsPerMillisecond = 1000000;
} // namespace

PeriodicTimer::PeriodicTimer(QObject *parent)
    : QObject(parent)
    , m_fd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
{
    if (m_fd < 0)
        qFatal("PeriodicTimer: timerfd_create failed (errno %d)", errno);
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PeriodicTimer::deliverExpirations);
}

PeriodicTimer::~PeriodicTimer()
{
    delete m_notifier;
    ::close(m_fd);
}

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
    itimerspec period{};
    if (m_enabled && m_interval > 0) {
        period.it_interval.tv_sec = m_interval / kMillisecondsPerSecond;
        period.it_interval.tv_nsec = (m_interval % kMillisecondsPerSecond) * kNanosecondsPerMillisecond;
        period.it_value = period.it_interval;
    }
    // A zero it_value disarms the timer and discards expirations not yet read.
    ::timerfd_settime(m_fd, 0, &period, nullptr);
}

void PeriodicTimer::deliverExpirations()
{
    std::uint64_t expirations = 0;
    if (::read(m_fd, &expirations, sizeof expirations) != sizeof expirations || m_interval <= 0)
        return;
    const std::uint64_t oneSecond = std::max<std::uint64_t>(1, kMillisecondsPerSecond / m_interval);
    std::uint64_t ticks = std::min(expirations, oneSecond);

    // A handler may disable the timer, change its interval or delete it; stop delivering then.
    const QPointer<PeriodicTimer> alive(this);
    const int armedInterval = m_interval;
    while (ticks-- > 0 && alive && m_enabled && m_interval == armedInterval)
        emit timeout();
}

} // namespace platform
