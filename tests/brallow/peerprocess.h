#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTest>

// Starts the exchange peer helper program (exchangepeer.cpp) as another process.
inline void startPeer(QProcess &process, const QStringList &arguments)
{
    process.setProgram(QStringLiteral(EXCHANGE_PEER_PATH));
    process.setArguments(arguments);
    process.start();
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
        return QTest::qWaitFor([this] {
            return m_process.canReadLine() || m_process.state() == QProcess::NotRunning;
        }, kTimeoutMs) && m_process.readLine().trimmed() == "held";
    }

    bool release()
    {
        if (m_process.state() == QProcess::NotRunning)
            return m_process.exitCode() == 0;
        m_process.write("release\n");
        m_process.closeWriteChannel();
        return m_process.waitForFinished(kTimeoutMs) && m_process.exitCode() == 0;
    }

private:
    static constexpr int kTimeoutMs = 10000;
    QProcess m_process;
};
