#include "ddeconversation.h"

#include "ddelogging.h"
#include "ddesource.h"
#include "ddesourcehandler.h"

#include <QLocalSocket>

#include <cerrno>
#include <utility>
#include <sys/socket.h>

namespace platform {

namespace P = DdeProtocol;

namespace {
// A connection must initiate within this time, so half-open connections do not hold a place.
constexpr int kInitiateTimeout = 10000;
// A closing connection gets this long to hand its last lines to the peer.
constexpr int kCloseTimeout = 2000;
// Lines go into the socket's own buffer while it holds less than this; the others wait in
// the outbox, where they are shared with the other conversations instead of copied per client.
constexpr qint64 kSocketBufferBytes = 16 * 1024;
// A backlog that has not moved for this long is a jam.
constexpr int kJamMilliseconds = 1000;
// The refusal of an item whose text no line can carry.
const QString kItemTooLong = QStringLiteral("item too long");

QString describePeer(const QLocalSocket &socket)
{
    const qintptr descriptor = socket.socketDescriptor();
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return QStringLiteral("connection %1").arg(descriptor);
    return QStringLiteral("connection %1 (pid %2)").arg(descriptor).arg(credentials.pid);
}
} // namespace

DdeConversation::DdeConversation(QLocalSocket *socket, DdeSource *source)
    : QObject(source)
    , m_socket(socket)
    , m_peer(describePeer(*socket))
    , m_source(source)
{
    m_socket->setParent(this);
    connect(m_socket, &QLocalSocket::readyRead, this, &DdeConversation::readLines);
    connect(m_socket, &QLocalSocket::disconnected, this, [this] { end(false); });
    connect(m_socket, &QLocalSocket::bytesWritten, this, &DdeConversation::lineWritten);

    m_initiateTimer.setSingleShot(true);
    // Precise: peers are told ten seconds, and a coarse timer may fire half a second late.
    m_initiateTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_initiateTimer, &QTimer::timeout, this, [this] {
        if (!m_open)
            dropUninitiated();
    });
    m_initiateTimer.start(kInitiateTimeout);

    m_closeTimer.setSingleShot(true);
    connect(
        &m_closeTimer, &QTimer::timeout, this, [this] {
            qCDebug(lcPlatformDde).noquote()
                << QStringLiteral("cut off %1: it did not close within %2 ms of its last line; %3 bytes unread dropped")
                       .arg(m_peer)
                       .arg(kCloseTimeout)
                       .arg(m_backlogBytes + m_socket->bytesToWrite());
            m_socket->abort();
            deleteLater();
        });

    m_jamTimer.setSingleShot(true);
    m_jamTimer.setInterval(kJamMilliseconds);
    connect(
        &m_jamTimer, &QTimer::timeout, this, [this] {
            m_jammed = true;
            m_jamClock.start();
            qCDebug(lcPlatformDde).noquote()
                << QStringLiteral("output to %1 jammed: %2 bytes have not moved for %3 ms; the client does not read")
                       .arg(m_peer)
                       .arg(m_backlogBytes)
                       .arg(kJamMilliseconds);
        });
}

DdeConversation::~DdeConversation()
{
    discardBacklog();
}

void DdeConversation::send(const QByteArray &line)
{
    if (m_ended)
        return;
    if (m_backlogBytes > DdeSource::kMaximumConversationBacklogBytes) {
        qCDebug(lcPlatformDde).noquote() << QStringLiteral(
                                                "dropped %1: %2 bytes unread, more than the %3 one client may leave")
                                                .arg(m_peer)
                                                .arg(m_backlogBytes)
                                                .arg(DdeSource::kMaximumConversationBacklogBytes);
        abandon();
        return;
    }
    queue(line);
}

void DdeConversation::abandon()
{
    discardBacklog();
    if (!m_ended)
        end(false);
    m_closeTimer.stop();
    m_socket->disconnect(this);
    m_socket->abort();
    deleteLater();
}

void DdeConversation::queue(const QByteArray &line)
{
    // A line with nothing waiting before it goes to the system at once: the socket's own
    // write would cost another wake-up of the event loop and a round of switching its write
    // notifier on and off, per line.
    if (m_outbox.empty() && m_socket->bytesToWrite() == 0) {
        const qint64 sent = sendDirectly(line);
        if (sent == line.size())
            return;
        if (sent > 0) {
            queue(line.mid(sent));
            return;
        }
    }
    m_outbox.push_back(line);
    m_backlogBytes += line.size();
    watchBacklog(false);
    // The source may drop a client to keep all of them within its bound, this one too.
    if (m_source)
        m_source->backlogChanged(line.size());
    transmit();
}

void DdeConversation::transmit()
{
    while (!m_outbox.empty() && m_socket->bytesToWrite() < kSocketBufferBytes) {
        m_socket->write(m_outbox.front());
        m_outbox.pop_front();
    }
}

qint64 DdeConversation::sendDirectly(const QByteArray &line)
{
    const qintptr descriptor = m_socket->socketDescriptor();
    if (descriptor < 0 || m_socket->state() != QLocalSocket::ConnectedState)
        return 0;
    qint64 sent = -1;
    do {
        sent = ::send(int(descriptor), line.constData(), size_t(line.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    // A full buffer or a failed connection: the socket's own write queues the line, or finds
    // the failure and reports it as it always does.
    return qMax<qint64>(sent, 0);
}

void DdeConversation::lineWritten(qint64 bytes)
{
    const qint64 taken = qMin(bytes, m_backlogBytes);
    m_backlogBytes -= taken;
    watchBacklog(taken > 0);
    if (m_source)
        m_source->backlogChanged(-taken);
    transmit();
}

void DdeConversation::watchBacklog(bool moved)
{
    if (m_backlogBytes == 0) {
        m_jamTimer.stop();
        if (std::exchange(m_jammed, false))
            qCDebug(lcPlatformDde).noquote() << QStringLiteral("output to %1 flows again after a jam of %2 ms")
                                                    .arg(m_peer)
                                                    .arg(m_jamClock.elapsed());
        return;
    }
    // Restarted while the backlog moves, so only a backlog that stands still for the whole
    // interval counts as a jam.
    if (!m_jammed && (moved || !m_jamTimer.isActive()))
        m_jamTimer.start();
}

void DdeConversation::discardBacklog()
{
    m_jamTimer.stop();
    if (std::exchange(m_jammed, false))
        qCDebug(lcPlatformDde).noquote() << QStringLiteral("output to %1 no longer jammed after %2 ms: its %3 bytes "
                                                           "unread dropped")
                                                .arg(m_peer)
                                                .arg(m_jamClock.elapsed())
                                                .arg(m_backlogBytes);
    m_outbox = {};
    if (m_source)
        m_source->backlogChanged(-m_backlogBytes);
    m_backlogBytes = 0;
}

void DdeConversation::terminate()
{
    if (m_ended || m_closing)
        return;
    m_closing = true;
    m_initiateTimer.stop();
    if (m_open && m_source)
        m_source->conversationClosed();
    QTimer::singleShot(0, this, [this] {
        // An execute still running sends the terminate itself, after its acknowledgement.
        if (m_executeDepth == 0)
            end(true);
    });
}

void DdeConversation::closeNow()
{
    if (m_ended)
        return;
    m_ended = true;
    m_socket->disconnect(this);
    // Best effort: what still waits in the outbox is not worth holding the program's end up.
    discardBacklog();
    if (m_socket->state() == QLocalSocket::ConnectedState) {
        m_socket->write(P::line(P::kTerminate));
        m_socket->flush();
    }
    m_socket->abort();
}

void DdeConversation::turnAway()
{
    qCDebug(lcPlatformDde).noquote() << QStringLiteral("turned %1 away with BUSY: %2 conversations at most")
                                            .arg(m_peer)
                                            .arg(m_source ? m_source->maximumConversations() : 0);
    m_ended = true;
    m_socket->write(P::line(P::kBusy));
    closeWhenPeerHasRead();
}

void DdeConversation::readLines()
{
    QPointer<DdeConversation> self(this);
    m_reader.append(m_socket->readAll());
    QString line;
    bool valid = true;
    while (self && !m_ended && !m_closing && m_reader.nextLine(line, valid)) {
        if (valid)
            handleLine(line);
        else
            reply(P::kNack, QStringLiteral("text is not UTF-8"));
    }
    if (self && !m_ended && !m_closing && m_reader.overflowed()) {
        qCDebug(lcPlatformDde).noquote()
            << QStringLiteral("dropped %1: it sent a line longer than %2 bytes").arg(m_peer).arg(P::kMaximumLineBytes);
        reply(P::kError, QStringLiteral("line too long"));
        end(false);
    }
}

void DdeConversation::handleLine(const QString &line)
{
    const P::Message message = P::split(line);
    if (message.word == P::kTerminate) {
        m_peerTerminated = true;
        end(false);
        return;
    }
    if (message.word == P::kInitiate) {
        if (m_open) {
            reply(P::kNack, QStringLiteral("conversation already open"));
            return;
        }
        const std::optional<QString> topic = P::unescape(message.rest);
        if (!topic)
            reply(P::kNack, QStringLiteral("bad escape"));
        else
            handleInitiate(*topic);
        return;
    }
    static const QStringList kConversationWords = {P::kRequest, P::kAdvise, P::kUnadvise, P::kExecute, P::kPoke};
    if (!kConversationWords.contains(message.word)) {
        reply(P::kNack, QStringLiteral("unknown message"));
        return;
    }
    if (!m_open) {
        reply(P::kNack, QStringLiteral("no conversation"));
        return;
    }
    if (message.word == P::kPoke) {
        handlePoke(message.rest);
        return;
    }
    const std::optional<QString> argument = P::unescape(message.rest);
    if (!argument)
        reply(P::kNack, QStringLiteral("bad escape"));
    else if (message.word == P::kRequest)
        handleRequest(*argument);
    else if (message.word == P::kAdvise)
        handleAdvise(*argument);
    else if (message.word == P::kUnadvise)
        handleUnadvise(*argument);
    else
        handleExecute(*argument);
}

void DdeConversation::handleInitiate(const QString &topic)
{
    const auto refuse =
        [this, &topic](const QString &reason, const QString &why) {
            qCDebug(lcPlatformDde).noquote()
                << QStringLiteral("refused the initiate of %1 on topic \"%2\": %3").arg(m_peer, topic, why);
            reply(P::kNack, reason);
        };
    if (!m_source || m_source->linkMode() != DdeSource::kLinkModeSource) {
        refuse(QStringLiteral("no source"), QStringLiteral("the link mode is not source"));
        return;
    }
    if (topic.compare(m_source->linkTopic(), Qt::CaseInsensitive) != 0) {
        refuse(QStringLiteral("unknown topic"),
               QStringLiteral("the topic served is \"%1\"").arg(m_source->linkTopic()));
        return;
    }
    QPointer<DdeConversation> self(this);
    bool cancel = false;
    if (DdeSourceHandler *handler = m_source->handler())
        handler->Form_LinkOpen(cancel);
    if (!self || m_ended || m_closing)
        return;
    // The handler may have switched the link mode to none meanwhile.
    if (cancel || !m_source || m_source->linkMode() != DdeSource::kLinkModeSource) {
        refuse(QStringLiteral("refused"),
               cancel ? QStringLiteral("the program refused it") : QStringLiteral("the link mode is no longer source"));
        return;
    }
    m_open = true;
    m_initiateTimer.stop();
    reply(P::kAck);
    m_source->conversationOpened();
}

void DdeConversation::handleRequest(const QString &item)
{
    const DdeSource::Item *served = m_source ? m_source->findItem(item) : nullptr;
    if (!served)
        reply(P::kNack, QStringLiteral("no such item"));
    else
        replyData(served->value);
}

void DdeConversation::handleAdvise(const QString &item)
{
    const DdeSource::Item *served = m_source ? m_source->findItem(item) : nullptr;
    if (!served) {
        reply(P::kNack, QStringLiteral("no such item"));
        return;
    }
    const QByteArray data = P::dataLine(served->value);
    if (data.isEmpty()) {
        reply(P::kNack, kItemTooLong);
        return;
    }
    m_advisedItems.insert(served->name);
    send(data);
}

void DdeConversation::handleUnadvise(const QString &item)
{
    for (auto advised = m_advisedItems.begin(); advised != m_advisedItems.end(); ++advised) {
        if (advised->compare(item, Qt::CaseInsensitive) == 0) {
            m_advisedItems.erase(advised);
            reply(P::kAck);
            return;
        }
    }
    reply(P::kNack, QStringLiteral("not advised"));
}

void DdeConversation::handleExecute(const QString &command)
{
    QPointer<DdeConversation> self(this);
    QPointer<DdeSource> source(m_source);
    bool cancel = false;
    ++m_executeDepth;
    if (DdeSourceHandler *handler = m_source->handler())
        handler->Form_LinkExecute(command, cancel);
    if (!self)
        return;
    --m_executeDepth;
    if (m_ended)
        return;
    if (cancel)
        reply(P::kNack, QStringLiteral("refused"));
    else
        reply(P::kAck);
    if (m_closing && m_executeDepth == 0)
        end(true);
}

void DdeConversation::handlePoke(const QString &rest)
{
    QString item;
    QString escapedText;
    P::splitItem(rest, item, escapedText);
    const std::optional<QString> text = P::unescape(escapedText);
    if (!text) {
        reply(P::kNack, QStringLiteral("bad escape"));
        return;
    }
    const DdeSource::Item *served = m_source ? m_source->findItem(item) : nullptr;
    if (!served) {
        reply(P::kNack, QStringLiteral("no such item"));
        return;
    }
    if (!m_source->pokeEnabled() || served->readOnly) {
        reply(P::kNack, QStringLiteral("refused"));
        return;
    }
    const QString name = served->name;
    // A text that the item's updates could not carry is not taken: the poking client keeps it.
    if (P::updateLine(name, *text).isEmpty()) {
        reply(P::kNack, QStringLiteral("too long"));
        return;
    }
    QPointer<DdeConversation> self(this);
    bool cancel = false;
    if (DdeSourceHandler *handler = m_source->handler()) {
        const QString refusal = handler->pokeRefusal(name, *text);
        if (!refusal.isEmpty()) {
            reply(P::kNack, refusal);
            return;
        }
        handler->Form_LinkPoke(name, *text, cancel);
    }
    if (!self || m_ended || m_closing)
        return;
    if (cancel || !m_source || !m_source->hasItem(name)) {
        reply(P::kNack, QStringLiteral("refused"));
        return;
    }
    m_source->pokeItem(name, *text);
    if (self && !m_ended)
        reply(P::kAck);
}

void DdeConversation::reply(const QString &word, const QString &text)
{
    send(P::line(word, P::escape(text)));
}

void DdeConversation::replyData(const QString &text)
{
    const QByteArray data = P::dataLine(text);
    if (data.isEmpty())
        reply(P::kNack, kItemTooLong);
    else
        send(data);
}

void DdeConversation::dropUninitiated()
{
    // Nothing is owed to a connection that never opened a conversation: it is cut at once.
    qCDebug(lcPlatformDde).noquote()
        << QStringLiteral("dropped %1: no conversation initiated within %2 ms").arg(m_peer).arg(kInitiateTimeout);
    m_ended = true;
    m_socket->disconnect(this);
    m_socket->abort();
    if (m_source)
        m_source->conversationEnded(this);
    deleteLater();
}

void DdeConversation::end(bool sendTerminate)
{
    if (m_ended)
        return;
    m_ended = true;
    const bool closesNow = m_open && !m_closing;
    m_initiateTimer.stop();
    if (m_socket->state() == QLocalSocket::UnconnectedState) {
        deleteLater();
    } else if (m_peerTerminated) {
        // The peer asked to end: it gets what the socket holds already, nothing more.
        discardBacklog();
        m_socket->flush();
        connect(m_socket, &QLocalSocket::disconnected, this, &QObject::deleteLater);
        m_closeTimer.start(kCloseTimeout);
        m_socket->disconnectFromServer();
        if (m_source && m_socket->state() != QLocalSocket::UnconnectedState)
            m_source->connectionClosing(this);
    } else {
        if (sendTerminate)
            queue(P::line(P::kTerminate));
        closeWhenPeerHasRead();
    }
    if (m_source) {
        if (closesNow)
            m_source->conversationClosed();
        m_source->conversationEnded(this);
    }
}

void DdeConversation::closeWhenPeerHasRead()
{
    // Closing at once while the peer may still be writing would make its next write fail,
    // and the peer would lose the last line sent here (TERMINATE, BUSY, ERROR) unread. The
    // peer closes when it has read it; a peer that does not is cut off after a short while.
    m_socket->disconnect(this);
    QLocalSocket *socket = m_socket;
    connect(socket, &QLocalSocket::readyRead, this, [socket] { socket->readAll(); });
    connect(socket, &QLocalSocket::bytesWritten, this, &DdeConversation::lineWritten);
    connect(socket, &QLocalSocket::disconnected, this, &QObject::deleteLater);
    socket->flush();
    m_closeTimer.start(kCloseTimeout);
    if (m_source)
        m_source->connectionClosing(this);
}

} // namespace platform
