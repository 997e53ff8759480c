#pragma once

// A raw peer of the DDE suites: speaks the wire protocol line by line, as a hand-written
// client would.

#include "platform/dde/ddedirectory.h"

#include <QLocalSocket>
#include <QTest>

class RawPeer
{
public:
    explicit RawPeer(const QString &applicationName)
    {
        m_socket.connectToServer(platform::DdeDirectory::socketPath(platform::DdeDirectory::path(), applicationName));
        m_socket.waitForConnected(1000);
    }

    bool isConnected() const { return m_socket.state() == QLocalSocket::ConnectedState; }
    void send(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }
    // The next line from the source without its LF; empty when none came within the time.
    QByteArray nextLine(int timeout = 3000)
    {
        if (!QTest::qWaitFor([this] { return m_socket.canReadLine() || !isConnected(); }, timeout))
            return QByteArray();
        if (!m_socket.canReadLine())
            return QByteArray();
        return m_socket.readLine().chopped(1);
    }
    // Sends one line and returns the answer.
    QByteArray ask(const QByteArray &line)
    {
        send(line + '\n');
        return nextLine();
    }
    bool waitForClose(int timeout = 3000)
    {
        return QTest::qWaitFor([this] { return !isConnected(); }, timeout);
    }
    QLocalSocket &socket() { return m_socket; }

private:
    QLocalSocket m_socket;
};
