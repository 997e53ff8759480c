#include "socketcontrol.h"

#include "errors.h"
#include "networklogging.h"
#include "tcpconnection.h"

#include <QTcpServer>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <utility>
#include <unistd.h>

namespace platform {

// A listener that hands over the descriptors of incoming connections as they are accepted.
class DescriptorListener : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;
    std::function<void(qintptr)> onIncoming;

protected:
    void incomingConnection(qintptr descriptor) override { onIncoming(descriptor); }
};

namespace {

constexpr qint32 kHighestPort = 65535;
// The program's server port is a 16-bit setting, so the ports a user can choose end at
// 32767; a refusal names that range, as the settings dialog does.
constexpr qint32 kHighestChoosablePort = 32767;

RuntimeError wrongState()
{
    return RuntimeError(SocketControl::kWrongState,
                        QStringLiteral("The operation is not permitted in the socket's current state"));
}

// The system's error as a socket error kind, in the numbering of the listener's errors.
Error systemError(int number)
{
    QAbstractSocket::SocketError kind = QAbstractSocket::UnknownSocketError;
    switch (number) {
    case ETIMEDOUT: kind = QAbstractSocket::SocketTimeoutError; break;
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTUNREACH: kind = QAbstractSocket::NetworkError; break;
    case ENOBUFS:
    case ENOMEM: kind = QAbstractSocket::SocketResourceError; break;
    default: break;
    }
    return {SocketControl::kNetworkErrorBase + kind, QString::fromLocal8Bit(std::strerror(number))};
}

Error unreadOutput()
{
    return {SocketControl::kNetworkErrorBase + QAbstractSocket::SocketResourceError,
            QStringLiteral("No buffer space available: the client left %1 bytes of output unread "
                           "and was disconnected")
                .arg(TcpConnection::kMaximumQueuedOutput)};
}

void refuse(qint32 requestId, qintptr descriptor, const QString &reason)
{
    qCDebug(lcPlatformNetwork).noquote()
        << QStringLiteral("refused request %1 from %2: %3").arg(requestId).arg(describePeer(descriptor), reason);
    ::close(int(descriptor));
}

// Lets the connection go, possibly from inside one of its own signals: it ends in order,
// so the client receives everything written to it, and is deleted once it has ended.
void release(TcpConnection *&connection, QObject *receiver)
{
    if (!connection)
        return;
    QObject::disconnect(connection, nullptr, receiver, nullptr);
    TcpConnection *ending = std::exchange(connection, nullptr);
    QObject::connect(ending, &TcpConnection::ended, ending, &QObject::deleteLater);
    ending->closeInOrder();
}

// Drops the connection of a client that stopped reading or failed, with the output it left
// unread; returns how many bytes that was.
qsizetype drop(TcpConnection *&connection, QObject *receiver)
{
    if (!connection)
        return 0;
    QObject::disconnect(connection, nullptr, receiver, nullptr);
    const qsizetype lost = connection->close();
    connection->deleteLater();
    connection = nullptr;
    return lost;
}

} // namespace

SocketControl::SocketControl(QObject *parent)
    : QObject(parent)
    , m_listener(new DescriptorListener(this))
    , m_finishedClientIdle(new QTimer(this))
{
    m_finishedClientIdle->setInterval(kFinishedClientIdle);
    connect(m_finishedClientIdle, &QTimer::timeout, this, [this] {
        if (m_finishedClient)
            emit finishedClientIdle();
        if (!m_finishedClient)
            m_finishedClientIdle->stop();
    });
    m_listener->onIncoming = [this](qintptr descriptor) { offer(descriptor); };
    connect(m_listener, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        emit errorOccurred(qint16(kNetworkErrorBase + error), m_listener->errorString());
    });
}

SocketControl::~SocketControl()
{
    Close();
    releaseFinishedClient();
    for (auto request = m_requests.cbegin(); request != m_requests.cend(); ++request)
        refuse(request.key(), request.value(), QStringLiteral("the server is going away"));
}

qint16 SocketControl::State() const
{
    if (m_connection)
        return m_connectionState;
    return m_listener->isListening() ? Listening : m_connectionState;
}

void SocketControl::Close()
{
    m_listener->close();
    release(m_connection, this);
    m_connectionState = Closed;
}

void SocketControl::Listen()
{
    if (State() != Closed)
        throw wrongState();
    if (m_localPort < 1 || m_localPort > kHighestPort)
        throw RuntimeError(kInvalidPort, QStringLiteral("Invalid port number %1 (ports run from 1 to %2)")
                                             .arg(m_localPort)
                                             .arg(kHighestChoosablePort));
    // Any is the dual-stack address: IPv6 and IPv4 clients alike.
    if (!m_listener->listen(QHostAddress::Any, quint16(m_localPort)))
        throw RuntimeError(kNetworkErrorBase + m_listener->serverError(), m_listener->errorString());
    const bool again = std::exchange(m_hasListened, true);
    qCDebug(lcPlatformNetwork).noquote()
        << QStringLiteral("listening%1 on port %2").arg(again ? QStringLiteral(" again") : QString()).arg(m_localPort);
}

void SocketControl::Accept(qint32 requestId)
{
    if (State() != Closed)
        throw wrongState();
    const auto request = m_requests.constFind(requestId);
    if (request == m_requests.cend())
        throw RuntimeError(ErrorNumber::InvalidArgument,
                           QStringLiteral("No connection request %1 is waiting").arg(requestId));
    const qintptr descriptor = request.value();
    m_requests.erase(request);
    releaseFinishedClient();
    attach(descriptor);
    qCDebug(lcPlatformNetwork).noquote()
        << QStringLiteral("accepted request %1 from %2").arg(requestId).arg(m_connection->peer());
}

QString SocketControl::GetData()
{
    if (!m_connection)
        throw wrongState();
    return QString::fromLatin1(m_connection->readAll());
}

void SocketControl::SendData(const QString &text)
{
    TcpConnection *reader = m_connection ? m_connection : m_finishedClient;
    if (!hasReader())
        throw wrongState();
    if (reader == m_finishedClient)
        m_finishedClientIdle->start();
    const int error = reader->write(text.toLatin1());
    if (error == 0)
        return;
    const Error failure = error == ENOBUFS ? unreadOutput() : systemError(error);
    const QString peer = reader->peer();
    const qsizetype lost = dropReader(reader);
    qCDebug(lcPlatformNetwork).noquote() << QStringLiteral("dropped %1 (error %2: %3); %4 bytes of output dropped")
                                                .arg(peer)
                                                .arg(failure.number)
                                                .arg(failure.description)
                                                .arg(lost);
    throw RuntimeError(failure);
}

qsizetype SocketControl::dropReader(TcpConnection *reader)
{
    if (reader == m_finishedClient) {
        const qsizetype lost = drop(m_finishedClient, this);
        m_finishedClientIdle->stop();
        return lost;
    }
    const qsizetype lost = drop(m_connection, this);
    m_connectionState = Closing;
    // Raised from the event loop, not from inside the send: the owner typically listens
    // again, which must not happen in the middle of handing out a line.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_connection && m_connectionState == Closing)
                emit closed();
        },
        Qt::QueuedConnection);
    return lost;
}

void SocketControl::releaseFinishedClient()
{
    release(m_finishedClient, this);
    m_finishedClientIdle->stop();
}

bool SocketControl::hasReader() const
{
    return m_connection ? m_connectionState == Connected : m_finishedClient != nullptr;
}

void SocketControl::offer(qintptr descriptor)
{
    m_lastRequestId = m_lastRequestId == std::numeric_limits<qint32>::max() ? 1 : m_lastRequestId + 1;
    const qint32 requestId = m_lastRequestId;
    m_requests.insert(requestId, descriptor);
    emit connectionRequested(requestId);
    // A request its handler did not take is refused at once.
    if (m_requests.contains(requestId))
        refuse(requestId, m_requests.take(requestId),
               State() == Listening ? QStringLiteral("the server did not accept it")
                                    : QStringLiteral("the server carries another client or is closed"));
}

void SocketControl::attach(qintptr descriptor)
{
    m_connection = new TcpConnection(descriptor, this);
    m_connectionState = Connected;
    connect(m_connection, &TcpConnection::readyRead, this, [this] {
        emit dataArrived(qint32(qMin<qint64>(m_connection->bytesAvailable(), std::numeric_limits<qint32>::max())));
    });
    connect(m_connection, &TcpConnection::peerFinishedSending, this, &SocketControl::clientFinished);
    connect(m_connection, &TcpConnection::hungUp, this, &SocketControl::clientGone);
    connect(m_connection, &TcpConnection::failed, this, &SocketControl::connectionFailed);
}

void SocketControl::clientFinished()
{
    releaseFinishedClient();
    m_finishedClient = std::exchange(m_connection, nullptr);
    disconnect(m_finishedClient, nullptr, this, nullptr);
    // Once the system reports it gone, the finished client is let go quietly.
    connect(m_finishedClient, &TcpConnection::hungUp, this, &SocketControl::releaseFinishedClient);
    connect(m_finishedClient, &TcpConnection::failed, this, &SocketControl::releaseFinishedClient);
    m_finishedClientIdle->start();
    m_connectionState = Closing;
    emit closed();
}

void SocketControl::clientGone()
{
    release(m_connection, this);
    m_connectionState = Closing;
    emit closed();
}

void SocketControl::connectionFailed(int systemErrorNumber)
{
    m_connectionState = Failed;
    const Error error = systemError(systemErrorNumber);
    emit errorOccurred(qint16(error.number), error.description);
}

} // namespace platform
