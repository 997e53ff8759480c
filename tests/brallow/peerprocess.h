#pragma once

#include "clsFileComm.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <functional>

// Starts the exchange peer helper program (exchangepeer.cpp) as another process.
inline void startPeer(QProcess &process, const QStringList &arguments)
{
    process.setProgram(QStringLiteral(EXCHANGE_PEER_PATH));
    process.setArguments(arguments);
    process.start();
}

// True once the process has ended. Its end may already have been noticed while a wait of
// clsFileComm handled events, in which case waitForFinished() would report false.
inline bool hasEnded(QProcess &process, int timeoutMs = 0)
{
    return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs)
           || process.state() == QProcess::NotRunning;
}

// Runs `action` once, as soon as `comm` waits for another program; polled every few
// milliseconds, since the wait runs inside the call under test.
inline void whileWaiting(QObject *context, const clsFileComm &comm, std::function<void()> action)
{
    auto *poll = new QTimer(context);
    QObject::connect(poll, &QTimer::timeout, context, [poll, &comm, action] {
        if (!comm.isWaiting())
            return;
        poll->stop();
        action();
    });
    poll->start(5);
}

// Another process holding an exchange file locked until release() or destruction.
class HeldFile
{
public:
    HeldFile(const QString &path, const QString &lockKind = QStringLiteral("ofd"))
    {
        startPeer(m_process, {QStringLiteral("hold"), lockKind, path});
    }
    ~HeldFile() { release(); }

    // True once the other process reports the lock taken.
    bool waitUntilHeld()
    {
        return QTest::qWaitFor([this] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; },
                               kTimeoutMs)
               && m_process.readLine().trimmed() == "held";
    }

    // A safety net for tests whose waits should end otherwise: a wait that does not end
    // fails the test after some seconds instead of hanging it.
    void releaseLater(QObject *context)
    {
        QTimer::singleShot(kTimeoutMs, context, [this] { release(); });
    }

    bool release()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.write("release\n");
            m_process.closeWriteChannel();
        }
        return hasEnded(m_process, kTimeoutMs) && m_process.exitCode() == 0;
    }

private:
    static constexpr int kTimeoutMs = 10000;
    QProcess m_process;
};
