#pragma once

#include <QObject>
#include <QtGlobal>

class QSocketNotifier;

namespace platform {

// The timer control: an interval in milliseconds, an enabled flag and a tick on the window
// thread. It runs on the kernel's periodic timer (timerfd), whose period does not drift with
// the time the handlers take: expirations that pile up while the thread was busy are
// delivered as that many ticks (at most one second's worth), so the tick count follows the
// clock. An interval of 0 gives no ticks.
class PeriodicTimer : public QObject
{
    Q_OBJECT

public:
    explicit PeriodicTimer(QObject *parent = nullptr);
    ~PeriodicTimer() override;

    int interval() const { return m_interval; }
    // Setting the interval while enabled restarts the period.
    void setInterval(int milliseconds);

    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled);

signals:
    void timeout();

private:
    void arm();
    void deliverExpirations();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    int m_interval = 0;
    bool m_enabled = false;
};

} // namespace platform
