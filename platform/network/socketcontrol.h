#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QtGlobal>

class QTcpServer;
class QTcpSocket;

namespace platform {

// The TCP socket control of a server window: one object that either listens on a port or
// carries one accepted connection, never both. Incoming connections are offered through
// connectionRequested(); a request the handler does not Accept() is closed as soon as the
// handler returns, so a refused client sees its connection end instead of hanging.
// Text passes one byte per character (Latin-1) both ways.
class SocketControl : public QObject
{
    Q_OBJECT

public:
    // State numbers; callers compare against Closed and Listening only.
    enum StateNumber : qint16 {
        Closed = 0,
        Listening = 2,
        Connected = 3,
        Closing = 4, // the peer closed the connection; Close() has not been called yet
        Failed = 5,  // the connection failed with an error
    };

    // Numbers of the failures this control raises. A failure of the network layer carries
    // kNetworkErrorBase plus the kind of socket error (QAbstractSocket::SocketError);
    // kWrongState is raised by an operation the current state does not permit.
    static constexpr int kNetworkErrorBase = 10000;
    static constexpr int kWrongState = kNetworkErrorBase + 19;
    static constexpr int kInvalidPort = 380;

    explicit SocketControl(QObject *parent = nullptr);
    ~SocketControl() override;

    qint16 State() const;

    // Stops listening and drops the carried connection; harmless when already closed.
    void Close();

    // The port the next Listen() binds. Any number is stored; Listen() checks it.
    void setLocalPort(qint32 port) { m_localPort = port; }
    qint32 LocalPort() const { return m_localPort; }

    // Listens on every local address, IPv4 and IPv6. Throws RuntimeError when the control is
    // not closed, when LocalPort lies outside 1..65535 (the system never picks a port at
    // random here) or when the port cannot be bound.
    void Listen();

    // Takes over the connection of a request raised by connectionRequested(), which must still
    // be running its handler. The control must be closed; afterwards it carries the connection
    // with Nagle's delay off, so each reply leaves at once.
    void Accept(qint32 requestId);

    // Everything received so far, removed from the connection.
    QString GetData();

    // Queues the text for sending; throws RuntimeError without a connection.
    void SendData(const QString &text);

signals:
    void connectionRequested(qint32 requestId);
    void dataArrived(qint32 byteCount);
    // The peer closed the connection.
    void closed();
    void errorOccurred(qint16 number, const QString &description);

private:
    void offerPendingConnections();
    void attach(QTcpSocket *socket);
    void release(QTcpSocket *socket);
    void deliverWaitingEvents();
    void connectionLost();
    void connectionFailed(int socketError);

    QTcpServer *m_server = nullptr;
    QPointer<QTcpSocket> m_connection;
    QHash<qint32, QTcpSocket *> m_requests;
    qint32 m_lastRequestId = 0;
    qint32 m_localPort = 0;
    StateNumber m_connectionState = Closed;
};

} // namespace platform
