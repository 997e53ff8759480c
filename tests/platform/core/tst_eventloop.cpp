#include "eventloop.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTest>

#include <chrono>

using namespace std::chrono_literals;
using platform::Notifier;

class TestEventLoop : public QObject
{
    Q_OBJECT

private slots:
    void waitEndsOnSignalTimeoutOrDestruction_data();
    void waitEndsOnSignalTimeoutOrDestruction();
    void queuedWorkRunsOnce();
    void timersRunDuringAPause();
};

void TestEventLoop::waitEndsOnSignalTimeoutOrDestruction_data()
{
    QTest::addColumn<int>("notifyAfter"); // milliseconds, -1: never
    QTest::addColumn<int>("destroyAfter");
    QTest::addColumn<int>("timeout"); // -1: none
    QTest::addColumn<bool>("signalled");
    QTest::addColumn<int>("atLeast"); // milliseconds the wait lasts at least
    QTest::addColumn<int>("below");   // and less than

    QTest::newRow("signal before the time") << 20 << -1 << 5000 << true << 15 << 2000;
    QTest::newRow("signal, no time limit") << 20 << -1 << -1 << true << 15 << 2000;
    QTest::newRow("time runs out") << -1 << -1 << 50 << false << 45 << 2000;
    QTest::newRow("signal comes too late") << 500 << -1 << 30 << false << 25 << 400;
    QTest::newRow("sender destroyed") << -1 << 20 << 5000 << false << 15 << 2000;
    QTest::newRow("sender destroyed, no time limit") << -1 << 20 << -1 << false << 15 << 2000;
}

void TestEventLoop::waitEndsOnSignalTimeoutOrDestruction()
{
    QFETCH(int, notifyAfter);
    QFETCH(int, destroyAfter);
    QFETCH(int, timeout);

    QPointer<Notifier> notifier = new Notifier;
    QObject context;
    if (notifyAfter >= 0)
        QTimer::singleShot(notifyAfter, &context, [notifier] {
            if (notifier)
                notifier->notify();
        });
    if (destroyAfter >= 0)
        QTimer::singleShot(destroyAfter, &context, [notifier] { delete notifier.data(); });

    QElapsedTimer clock;
    clock.start();
    const bool signalled =
        platform::waitForSignal(notifier.data(), &Notifier::notified, std::chrono::milliseconds(timeout));
    const qint64 elapsed = clock.elapsed();
    delete notifier.data();

    QTEST(signalled, "signalled");
    QFETCH(int, atLeast);
    QFETCH(int, below);
    QVERIFY2(elapsed >= atLeast && elapsed < below, qPrintable(QString::number(elapsed)));
}

void TestEventLoop::queuedWorkRunsOnce()
{
    // What waits runs; what it queues in turn waits for the next turn.
    int runs = 0;
    QObject context;
    QMetaObject::invokeMethod(
        &context,
        [&] {
            ++runs;
            QMetaObject::invokeMethod(
                &context, [&runs] { ++runs; }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    platform::letEventsRun();
    QCOMPARE(runs, 1);
    platform::letEventsRun();
    QCOMPARE(runs, 2);
}

void TestEventLoop::timersRunDuringAPause()
{
    int ticks = 0;
    QTimer timer;
    timer.setInterval(5);
    connect(&timer, &QTimer::timeout, &timer, [&ticks] { ++ticks; });
    timer.start();
    QElapsedTimer clock;
    clock.start();
    platform::letEventsRunFor(60ms);
    QVERIFY(clock.elapsed() >= 55);
    QVERIFY2(ticks >= 2, qPrintable(QString::number(ticks)));
}

QTEST_GUILESS_MAIN(TestEventLoop)
#include "tst_eventloop.moc"
