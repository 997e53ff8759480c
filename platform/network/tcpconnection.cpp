#include "tcpconnection.h"

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <utility>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

// What one read notification takes in: a peer that floods costs at most this much per
// event, and the rest waits in the system's buffer for the next notification.
constexpr int kReadChunk = 16 * 1024;
// Input discarded at close, at most, before the descriptor is closed regardless.
constexpr int kDiscardChunks = 16;

} // namespace

bool isHangUp(int systemError)
{
    return systemError == ECONNRESET || systemError == EPIPE || systemError == ECONNABORTED;
}

TcpConnection::TcpConnection(qintptr descriptor, QObject *parent)
    : QObject(parent)
    , m_descriptor(int(descriptor))
{
    ::fcntl(m_descriptor, F_SETFL, ::fcntl(m_descriptor, F_GETFL) | O_NONBLOCK);
    // Nagle's delay off: each reply leaves at once.
    const int on = 1;
    ::setsockopt(m_descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    m_readNotifier = new QSocketNotifier(m_descriptor, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &TcpConnection::readAvailable);
    m_writeNotifier = new QSocketNotifier(m_descriptor, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &TcpConnection::sendQueued);
}

TcpConnection::~TcpConnection()
{
    close();
}

QByteArray TcpConnection::readAll()
{
    return std::exchange(m_received, QByteArray());
}

int TcpConnection::write(const QByteArray &bytes)
{
    if (m_descriptor < 0 || m_hungUp)
        return 0;
    m_outgoing += bytes;
    while (!m_outgoing.isEmpty()) {
        const ssize_t sent = ::send(m_descriptor, m_outgoing.constData(), size_t(m_outgoing.size()), MSG_NOSIGNAL);
        if (sent > 0) {
            m_outgoing.remove(0, sent);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            m_writeNotifier->setEnabled(true);
            return m_outgoing.size() >= kMaximumQueuedOutput ? ENOBUFS : 0;
        }
        if (isHangUp(errno)) {
            reportHangUp();
            return 0;
        }
        return errno;
    }
    m_writeNotifier->setEnabled(false);
    return 0;
}

void TcpConnection::sendQueued()
{
    const int error = write(QByteArray());
    if (m_closingInOrder) {
        // A full queue is no failure here: the peer is given time to take it.
        if (m_hungUp || (error != 0 && error != ENOBUFS))
            closeNow();
        else
            shutDownSendingWhenSent();
        return;
    }
    if (error != 0)
        emit failed(error);
}

void TcpConnection::readAvailable()
{
    if (m_closingInOrder) {
        discardInput();
        return;
    }
    char chunk[kReadChunk];
    const ssize_t received = ::recv(m_descriptor, chunk, sizeof chunk, 0);
    if (received > 0) {
        m_received.append(chunk, received);
        emit readyRead();
        return;
    }
    if (received == 0) {
        m_peerFinished = true;
        m_readNotifier->setEnabled(false);
        emit peerFinishedSending();
        return;
    }
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
        return;
    m_readNotifier->setEnabled(false);
    if (isHangUp(errno))
        reportHangUp();
    else
        emit failed(errno);
}

void TcpConnection::discardInput()
{
    char chunk[kReadChunk];
    const ssize_t received = ::recv(m_descriptor, chunk, sizeof chunk, 0);
    if (received > 0)
        return;
    if (received == 0) {
        m_peerFinished = true;
        m_readNotifier->setEnabled(false);
        if (m_sendingShutDown)
            closeNow();
        return;
    }
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
        return;
    // Reset or failed: nothing more reaches the peer.
    closeNow();
}

void TcpConnection::reportHangUp()
{
    if (m_hungUp)
        return;
    m_hungUp = true;
    m_outgoing.clear();
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    // Raised from the event loop, not from inside the write that found the peer gone.
    QMetaObject::invokeMethod(this, &TcpConnection::hungUp, Qt::QueuedConnection);
}

void TcpConnection::closeInOrder()
{
    if (m_descriptor < 0 || m_closingInOrder)
        return;
    m_closingInOrder = true;
    QTimer::singleShot(kOrderlyCloseTimeout, this, &TcpConnection::closeNow);
    sendQueued();
}

void TcpConnection::shutDownSendingWhenSent()
{
    if (!m_outgoing.isEmpty())
        return;
    if (!m_sendingShutDown) {
        ::shutdown(m_descriptor, SHUT_WR);
        m_sendingShutDown = true;
    }
    if (m_peerFinished)
        closeNow();
}

void TcpConnection::closeNow()
{
    if (m_descriptor < 0)
        return;
    close();
    emit ended();
}

void TcpConnection::close()
{
    if (m_descriptor < 0)
        return;
    if (!m_hungUp && !m_outgoing.isEmpty())
        ::send(m_descriptor, m_outgoing.constData(), size_t(m_outgoing.size()), MSG_NOSIGNAL);
    // Unread input would turn the close into a reset that can overtake the last output.
    char discard[kReadChunk];
    for (int chunk = 0; chunk<kDiscardChunks && ::recv(m_descriptor, discard, sizeof discard, 0)> 0; ++chunk) {
    }
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    ::close(m_descriptor);
    m_descriptor = -1;
    m_outgoing.clear();
}

} // namespace platform
