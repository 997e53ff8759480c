#include "periodictimer.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

using platform::PeriodicTimer;

class TestPeriodicTimer : public QObject
{
    Q_OBJECT

private slots:
    void ticksAtItsInterval()
    {
        PeriodicTimer timer;
        QSignalSpy ticks(&timer, &PeriodicTimer::timeout);
        timer.setInterval(10);
        timer.setEnabled(true);
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 20, 5000);
        // Twenty periods of 10 ms cannot come sooner than 200 ms.
        QVERIFY(clock.elapsed() >= 190);
    }

    void disabledOrZeroIntervalGivesNoTicks()
    {
        PeriodicTimer timer;
        QSignalSpy ticks(&timer, &PeriodicTimer::timeout);
        timer.setInterval(0);
        timer.setEnabled(true);
        QVERIFY(!ticks.wait(100));

        timer.setInterval(5);
        QVERIFY(ticks.wait(1000));
        timer.setEnabled(false);
        ticks.clear();
        QVERIFY(!ticks.wait(100));
    }

    void busyThreadCatchesUpBoundedToOneSecond()
    {
        PeriodicTimer timer;
        QSignalSpy ticks(&timer, &PeriodicTimer::timeout);
        timer.setInterval(1);
        timer.setEnabled(true);
        // Blocking the thread piles up expirations; they arrive as ticks, at most 1000.
        QThread::msleep(1500);
        QVERIFY(ticks.wait(1000));
        QVERIFY2(ticks.count() >= 1000 && ticks.count() <= 1010, qPrintable(QString::number(ticks.count())));
    }

    void handlerDisablingStopsDelivery()
    {
        PeriodicTimer timer;
        int delivered = 0;
        connect(&timer, &PeriodicTimer::timeout, &timer, [&] {
            ++delivered;
            timer.setEnabled(false);
        });
        timer.setInterval(1);
        timer.setEnabled(true);
        QThread::msleep(50);
        QTRY_COMPARE(delivered, 1);
        QTest::qWait(50);
        QCOMPARE(delivered, 1);
    }
};

QTEST_GUILESS_MAIN(TestPeriodicTimer)
#include "tst_periodictimer.moc"
