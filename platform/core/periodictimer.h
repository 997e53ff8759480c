#pragma once

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QtGlobal>

namespace platform {

// The timer control: an interval in milliseconds, an enabled flag and a tick on the window
// thread. Its periods are counted on the monotonic clock from the moment it was armed, so
// they do not drift with the time the handlers take: periods that passed while the thread
// was busy are delivered as that many ticks (at most one second's worth), so the tick count
// follows the clock. An interval of 0 gives no ticks.
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

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void arm();
    void deliverExpirations();

    // Wakes the thread about once a period; the clock, not the wake-ups, tells the ticks.
    QBasicTimer m_wakeUp;
    QElapsedTimer m_armedAt;
    qint64 m_periodsDelivered = 0;
    int m_interval = 0;
    bool m_enabled = false;
};

} // namespace platform
