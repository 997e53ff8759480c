#pragma once

// A raw peer of the DDE suites: speaks the wire protocol line by line, as a hand-written
// client would.

#include "ddedirectory.h"

#include <QFile>
#include <QLocalSocket>
#include <QTest>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

// A client that opens a conversation, advises an item, reads the answers to that and never
// reads again: what the source sends it piles up. A plain socket, so no library reads for it.
class StuckPeer
{
public:
    StuckPeer(const QString &applicationName, const QByteArray &topic, const QByteArray &item)
        : m_socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray path =
            QFile::encodeName(platform::DdeDirectory::socketPath(platform::DdeDirectory::path(), applicationName));
        qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
        if (::connect(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            return;
        const QByteArray hello = "INITIATE " + topic + "\nADVISE " + item + "\n";
        m_connected = ::send(m_socket, hello.constData(), size_t(hello.size()), MSG_NOSIGNAL) == hello.size();
    }
    ~StuckPeer() { ::close(m_socket); }
    StuckPeer(const StuckPeer &) = delete;
    StuckPeer &operator=(const StuckPeer &) = delete;

    // Reads the answers, "ACK" and the item's "DATA" line. Called before the item is written
    // again, so nothing follows them yet.
    bool waitLinked()
    {
        QByteArray answers;
        const bool arrived = m_connected && QTest::qWaitFor([&] {
                                 char buffer[64 * 1024];
                                 ssize_t count;
                                 while ((count = ::recv(m_socket, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
                                     answers.append(buffer, count);
                                 return answers.count('\n') >= 2;
                             });
        return arrived && answers.startsWith("ACK\nDATA") && answers.count('\n') == 2;
    }
    // The source closed its end.
    bool isCut() const
    {
        pollfd state{m_socket, POLLRDHUP, 0};
        return ::poll(&state, 1, 0) == 1 && (state.revents & (POLLHUP | POLLRDHUP)) != 0;
    }

private:
    int m_socket;
    bool m_connected = false;
};
