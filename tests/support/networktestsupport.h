#pragma once

#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A port that is free at this moment and that the instrument's 16-bit server port can hold
// (the system's own ephemeral ports all lie above 32767).
inline qint16 freeServerPort()
{
    constexpr int kLowest = 20000;
    constexpr int kHighest = 32767;
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto port = quint16(QRandomGenerator::global()->bounded(kLowest, kHighest + 1));
        QTcpServer probe;
        if (probe.listen(QHostAddress::Any, port))
            return qint16(port);
    }
    qFatal("no free port between %d and %d", kLowest, kHighest);
}

// A client of the instrument that collects everything it receives.
class TestClient
{
public:
    explicit TestClient(qint16 port, const QHostAddress &address = QHostAddress::LocalHost)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket,
                         [this] { received += QString::fromLatin1(socket.readAll()); });
        socket.connectToHost(address, quint16(port));
    }

    bool waitConnected()
    {
        return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; });
    }
    bool waitDisconnected()
    {
        return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::UnconnectedState; });
    }
    // Reads nothing more: what the instrument sends piles up in the system's buffers.
    void stopReading()
    {
        QObject::disconnect(&socket, &QTcpSocket::readyRead, &socket, nullptr);
        socket.setReadBufferSize(1);
    }
    // Shuts the sending side only, as `nc` does at the end of its input.
    void finishSending() { ::shutdown(int(socket.socketDescriptor()), SHUT_WR); }
    void send(const QString &text)
    {
        socket.write(text.toLatin1());
        socket.flush();
    }

    QTcpSocket socket;
    QString received;
};

// A client on a plain non-blocking descriptor, for what a QTcpSocket hides: how the
// connection ended (the end of the stream, or a reset), and sending without reading.
class StreamClient
{
public:
    enum class Ending { Open, EndOfStream, Reset };

    // receiveBufferBytes: a buffer so small (when given) that output for this client soon
    // waits in the connection's queue instead of the system's buffers.
    explicit StreamClient(qint16 port, int receiveBufferBytes = 0)
        : m_socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        if (receiveBufferBytes > 0)
            ::setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        ::fcntl(m_socket, F_SETFL, ::fcntl(m_socket, F_GETFL) | O_NONBLOCK);
    }
    ~StreamClient() { ::close(m_socket); }
    StreamClient(const StreamClient &) = delete;
    StreamClient &operator=(const StreamClient &) = delete;

    // The connection is made in the constructor, at once on the loopback.
    bool waitConnected() const { return m_connected; }
    // Sends all the bytes, waiting (with events handled) while the connection is full.
    bool send(const QByteArray &bytes)
    {
        qsizetype done = 0;
        return m_connected && QTest::qWaitFor([&] {
                   done += qMax<ssize_t>(
                       0, ::send(m_socket, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL));
                   return done == bytes.size();
               });
    }
    // Sends until the system takes no more; returns the count.
    qsizetype sendUntilFull()
    {
        const QByteArray chunk(64 * 1024, 'X');
        qsizetype total = 0;
        while (m_connected) {
            const ssize_t sent = ::send(m_socket, chunk.constData(), size_t(chunk.size()), MSG_NOSIGNAL);
            if (sent <= 0)
                break;
            total += sent;
        }
        return total;
    }
    // Shuts the sending side only, as `nc` and `socat` do at the end of their input.
    bool finishSending() { return ::shutdown(m_socket, SHUT_WR) == 0; }

    // Takes in what has arrived and tells how the connection ended, if it has.
    Ending read()
    {
        char chunk[64 * 1024];
        while (m_ending == Ending::Open) {
            const ssize_t got = ::recv(m_socket, chunk, sizeof chunk, 0);
            if (got > 0)
                m_received.append(chunk, got);
            else if (got == 0)
                m_ending = Ending::EndOfStream;
            else if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            else if (errno != EINTR)
                m_ending = Ending::Reset;
        }
        return m_ending;
    }
    QByteArray received() const { return m_received; }

private:
    int m_socket = -1;
    bool m_connected = false;
    QByteArray m_received;
    Ending m_ending = Ending::Open;
};
