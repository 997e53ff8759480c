#include "tcpconnection.h"

#include "networklogging.h"

#include <QHostAddress>
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

QString describePeer(qintptr descriptor)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QStringLiteral("client (descriptor %1)").arg(descriptor);
    const QHostAddress host(reinterpret_cast<const sockaddr *>(&address));
    const quint16 port = address.ss_family == AF_INET6
                             ? ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port)
                             : ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
    // An IPv4 client of the dual-stack listener reads as ::ffff:a.b.c.d; the plain form is
    // what the user typed.
    bool isIpv4 = false;
    const QHostAddress ipv4(host.toIPv4Address(&isIpv4));
    const QString shown = isIpv4 ? ipv4.toString() : QLatin1Char('[') + host.toString() + QLatin1Char(']');
    return QStringLiteral("client %1:%2 (descriptor %3)").arg(shown).arg(port).arg(descriptor);
}

TcpConnection::TcpConnection(qintptr descriptor, QObject *parent)
    : QObject(parent)
    , m_peer(describePeer(descriptor))
    , m_descriptor(int(descriptor))
    , m_jamTimer(new QTimer(this))
{
    m_jamTimer->setSingleShot(true);
    m_jamTimer->setInterval(kJamMilliseconds);
    connect(m_jamTimer, &QTimer::timeout, this, [this] {
        m_jammed = true;
        m_jamClock.start();
        qCDebug(lcPlatformNetwork).noquote()
            << QStringLiteral("output to %1 jammed: %2 bytes have not moved for %3 ms; the socket's buffer is "
                              "full, the client does not read")
                   .arg(m_peer)
                   .arg(m_outgoing.size())
                   .arg(kJamMilliseconds);
    });
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
    bool moved = false;
    while (!m_outgoing.isEmpty()) {
        const ssize_t sent = ::send(m_descriptor, m_outgoing.constData(), size_t(m_outgoing.size()), MSG_NOSIGNAL);
        if (sent > 0) {
            m_outgoing.remove(0, sent);
            moved = true;
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            m_writeNotifier->setEnabled(true);
            watchOutput(moved);
            return m_outgoing.size() >= kMaximumQueuedOutput ? ENOBUFS : 0;
        }
        if (isHangUp(errno)) {
            reportHangUp();
            return 0;
        }
        return errno;
    }
    m_writeNotifier->setEnabled(false);
    watchOutput(moved);
    return 0;
}

void TcpConnection::watchOutput(bool moved)
{
    if (m_outgoing.isEmpty()) {
        m_jamTimer->stop();
        if (std::exchange(m_jammed, false))
            qCDebug(lcPlatformNetwork).noquote() << QStringLiteral("output to %1 flows again after a jam of %2 ms")
                                                        .arg(m_peer)
                                                        .arg(m_jamClock.elapsed());
        return;
    }
    // Restarted while output moves, so only output that stands still for the whole
    // interval counts as a jam.
    if (!m_jammed && (moved || !m_jamTimer->isActive()))
        m_jamTimer->start();
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
    m_jamTimer->stop();
    if (!m_outgoing.isEmpty())
        qCDebug(lcPlatformNetwork).noquote() << QStringLiteral("%1 hung up: %2 bytes of output queued for it dropped")
                                                    .arg(m_peer)
                                                    .arg(m_outgoing.size());
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
    QTimer::singleShot(kOrderlyCloseTimeout, this, [this] {
        if (m_descriptor < 0)
            return;
        const qsizetype lost = close();
        qCDebug(lcPlatformNetwork).noquote()
            << QStringLiteral("cut off %1: its connection did not end within %2 ms of closing; %3 bytes of output "
                              "dropped")
                   .arg(m_peer)
                   .arg(kOrderlyCloseTimeout)
                   .arg(lost);
        emit ended();
    });
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

qsizetype TcpConnection::close()
{
    if (m_descriptor < 0)
        return 0;
    qsizetype lost = m_outgoing.size();
    if (!m_hungUp && !m_outgoing.isEmpty()) {
        const ssize_t sent = ::send(m_descriptor, m_outgoing.constData(), size_t(m_outgoing.size()), MSG_NOSIGNAL);
        lost -= qMax<ssize_t>(sent, 0);
    }
    // Unread input would turn the close into a reset that can overtake the last output.
    char discard[kReadChunk];
    for (int chunk = 0; chunk<kDiscardChunks && ::recv(m_descriptor, discard, sizeof discard, 0)> 0; ++chunk) {
    }
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    m_jamTimer->stop();
    ::close(m_descriptor);
    m_descriptor = -1;
    m_outgoing.clear();
    return lost;
}

} // namespace platform
