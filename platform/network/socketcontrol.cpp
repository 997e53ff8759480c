#include "socketcontrol.h"

#include "platform/errors.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <limits>

namespace platform {

namespace {

constexpr qint32 kHighestPort = 65535;

RuntimeError wrongState()
{
    return RuntimeError(SocketControl::kWrongState,
                        QStringLiteral("The operation is not permitted in the socket's current state"));
}

} // namespace

SocketControl::SocketControl(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &SocketControl::offerPendingConnections);
    connect(m_server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        emit errorOccurred(qint16(kNetworkErrorBase + error), m_server->errorString());
    });
}

SocketControl::~SocketControl()
{
    Close();
}

qint16 SocketControl::State() const
{
    return m_server->isListening() ? Listening : m_connectionState;
}

void SocketControl::Close()
{
    m_server->close();
    if (m_connection)
        release(m_connection);
    m_connection = nullptr;
    m_connectionState = Closed;
}

void SocketControl::Listen()
{
    if (State() != Closed)
        throw wrongState();
    if (m_localPort < 1 || m_localPort > kHighestPort)
        throw RuntimeError(kInvalidPort, QStringLiteral("Invalid port number %1 (ports run from 1 to %2)")
                                             .arg(m_localPort)
                                             .arg(kHighestPort));
    // Any is the dual-stack address: IPv6 and IPv4 clients alike.
    if (!m_server->listen(QHostAddress::Any, quint16(m_localPort)))
        throw RuntimeError(kNetworkErrorBase + m_server->serverError(), m_server->errorString());
}

void SocketControl::Accept(qint32 requestId)
{
    if (State() != Closed)
        throw wrongState();
    QTcpSocket *socket = m_requests.take(requestId);
    if (!socket)
        throw RuntimeError(ErrorNumber::InvalidArgument, QStringLiteral("No connection request %1 is waiting").arg(requestId));
    attach(socket);
}

QString SocketControl::GetData()
{
    if (!m_connection)
        throw wrongState();
    return QString::fromLatin1(m_connection->readAll());
}

void SocketControl::SendData(const QString &text)
{
    if (!m_connection || m_connectionState != Connected)
        throw wrongState();
    if (m_connection->write(text.toLatin1()) < 0)
        throw RuntimeError(kNetworkErrorBase + m_connection->error(), m_connection->errorString());
}

void SocketControl::offerPendingConnections()
{
    while (m_server->isListening() && m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        socket->setParent(this);
        m_lastRequestId = m_lastRequestId == std::numeric_limits<qint32>::max() ? 1 : m_lastRequestId + 1;
        const qint32 requestId = m_lastRequestId;
        m_requests.insert(requestId, socket);
        emit connectionRequested(requestId);
        // A request its handler did not take is refused at once.
        if (QTcpSocket *refused = m_requests.take(requestId))
            release(refused);
    }
}

void SocketControl::attach(QTcpSocket *socket)
{
    m_connection = socket;
    m_connectionState = Connected;
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QTcpSocket::readyRead, this, [this] {
        if (m_connection)
            emit dataArrived(qint32(qMin<qint64>(m_connection->bytesAvailable(), std::numeric_limits<qint32>::max())));
    });
    connect(socket, &QTcpSocket::disconnected, this, &SocketControl::connectionLost);
    connect(socket, &QTcpSocket::errorOccurred, this, &SocketControl::connectionFailed);
    // Bytes or a hang-up that came while the request was still being offered raised their
    // notifications before anyone listened; deliver them once the caller is done.
    QMetaObject::invokeMethod(this, &SocketControl::deliverWaitingEvents, Qt::QueuedConnection);
}

void SocketControl::deliverWaitingEvents()
{
    if (!m_connection || m_connectionState != Connected)
        return;
    if (m_connection->bytesAvailable() > 0)
        emit dataArrived(qint32(qMin<qint64>(m_connection->bytesAvailable(), std::numeric_limits<qint32>::max())));
    if (m_connection && m_connection->state() == QAbstractSocket::UnconnectedState)
        connectionLost();
}

void SocketControl::release(QTcpSocket *socket)
{
    disconnect(socket, nullptr, this, nullptr);
    // Hand what is still queued to the system, which delivers it before the end of the
    // connection; reading what is left unread keeps the end an orderly one.
    socket->readAll();
    socket->flush();
    socket->abort();
    socket->deleteLater();
}

void SocketControl::connectionLost()
{
    if (!m_connection || (m_connectionState != Connected && m_connectionState != Failed))
        return;
    release(m_connection);
    m_connection = nullptr;
    m_connectionState = Closing;
    emit closed();
}

void SocketControl::connectionFailed(int socketError)
{
    // The peer's ordinary hang-up is reported by closed(), not as an error.
    if (socketError == QAbstractSocket::RemoteHostClosedError || !m_connection)
        return;
    const QString description = m_connection->errorString();
    m_connectionState = Failed;
    emit errorOccurred(qint16(kNetworkErrorBase + socketError), description);
}

} // namespace platform
