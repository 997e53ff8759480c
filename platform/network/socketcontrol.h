#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QtGlobal>

class QTimer;

namespace platform {

class DescriptorListener;
class TcpConnection;

// The TCP socket control of a server window: one object that either listens on a port or
// carries one accepted connection. Incoming connections are offered through
// connectionRequested(); a request the handler does not Accept() is closed as soon as the
// handler returns, so a refused client sees its connection end instead of hanging.
// When the client finishes sending (it closes, or only shuts its sending side as `nc` and
// `socat` do at the end of their input; the two look alike), closed() is raised and the
// owner may listen again, but the connection stays open for output: a client that still
// reads receives the replies and lines that follow, until a new client is accepted, the
// system reports the old one gone, or the owner lets it go (releaseFinishedClient()), which
// it is asked to consider whenever no output went to that client for a second.
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
        Closing = 4, // the client finished; Close() has not been called yet
        Failed = 5,  // the connection failed with an error
    };

    // Numbers of the failures this control raises. A failure of the network layer carries
    // kNetworkErrorBase plus the kind of socket error (QAbstractSocket::SocketError);
    // kWrongState is raised by an operation the current state does not permit.
    static constexpr int kNetworkErrorBase = 10000;
    static constexpr int kWrongState = kNetworkErrorBase + 19;
    static constexpr int kInvalidPort = 380;

    static constexpr int kFinishedClientIdle = 1000; // milliseconds

    explicit SocketControl(QObject *parent = nullptr);
    ~SocketControl() override;

    qint16 State() const;

    // Stops listening and ends the carried connection in order (its client receives what
    // was written to it); harmless when already closed. A client that has finished sending
    // keeps receiving output.
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
    // with Nagle's delay off, so each reply leaves at once. A finished client is let go.
    void Accept(qint32 requestId);

    // Everything received so far, removed from the connection.
    QString GetData();

    // Queues the text for the client that reads output (see hasReader()); throws RuntimeError
    // without one or when the connection failed. Text for a client the system reports gone
    // is dropped; for the connected client closed() follows. A client that has left a
    // mebibyte of output unread, or whose connection failed, is disconnected before the
    // error is thrown (10004 for the unread output); for the connected one, closed() follows
    // from the event loop.
    void SendData(const QString &text);

    // True while a client can receive output: the connected one, or one that has finished
    // sending and is not known to be gone.
    bool hasReader() const;

    // Closes the connection of a client that has finished sending, which ends its wait.
    void releaseFinishedClient();

signals:
    void connectionRequested(qint32 requestId);
    void dataArrived(qint32 byteCount);
    // The client finished sending or is gone.
    void closed();
    // No output went to the client that finished sending for kFinishedClientIdle; raised
    // again after each such interval until the client is let go.
    void finishedClientIdle();
    void errorOccurred(qint16 number, const QString &description);

private:
    void offer(qintptr descriptor);
    void attach(qintptr descriptor);
    void clientFinished();
    void clientGone();
    void connectionFailed(int systemError);
    // Returns how many bytes of output the reader left undelivered.
    qsizetype dropReader(TcpConnection *reader);

    DescriptorListener *m_listener = nullptr;
    TcpConnection *m_connection = nullptr;
    // The client that finished sending, kept for output.
    TcpConnection *m_finishedClient = nullptr;
    QTimer *m_finishedClientIdle = nullptr;
    QHash<qint32, qintptr> m_requests;
    qint32 m_lastRequestId = 0;
    qint32 m_localPort = 0;
    bool m_hasListened = false;
    StateNumber m_connectionState = Closed;
};

} // namespace platform
