#pragma once

#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <sys/socket.h>

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

    bool waitConnected() { return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; }); }
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
