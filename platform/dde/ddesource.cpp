#include "ddesource.h"

#include "ddeconversation.h"
#include "ddedirectory.h"
#include "ddelogging.h"
#include "ddeprotocol.h"
#include "descriptorlimit.h"
#include "errors.h"

#include <utility>

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTimer>

#include <sys/stat.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace platform {

namespace P = DdeProtocol;

namespace {
// Connecting to a live local socket succeeds at once; this only bounds a hung peer.
constexpr int kProbeTimeout = 1000;
// Dropping at least this much unsent output gives memory back to the system after a while,
// once the clients dropped together are all gone.
constexpr qint64 kReleasedBytes = 1024 * 1024;
constexpr int kMemoryReleaseDelay = 1000;
// How often the source makes sure it still listens: the local server gives up listening, and
// removes its socket, when one accept fails (no descriptor left), and says nothing.
constexpr int kListenCheckMilliseconds = 500;

bool answers(const QString &socketPath)
{
    QLocalSocket probe;
    probe.connectToServer(socketPath);
    const bool live = probe.waitForConnected(kProbeTimeout);
    probe.abort();
    return live;
}

bool isSocket(const QString &path)
{
    struct stat status
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISSOCK(status.st_mode);
}

// Why the server stopped listening. The local server's text names the failed call and, for
// the failures it has no text of its own for (no descriptor left, say), only their number.
QString stopReason(const QLocalServer &server)
{
    static const QRegularExpression kNumberOnly(QStringLiteral("Unknown error (\\d+)$"));
    const QRegularExpressionMatch number = kNumberOnly.match(server.errorString());
    if (number.hasMatch())
        return qt_error_string(number.captured(1).toInt());
    return server.errorString().isEmpty() ? QStringLiteral("unknown reason") : server.errorString();
}
} // namespace

DdeSource::DdeSource(const QString &applicationName, QObject *parent)
    : QObject(parent)
    , m_applicationName(applicationName)
{
    m_memoryRelease = new QTimer(this);
    m_memoryRelease->setSingleShot(true);
    m_memoryRelease->setInterval(kMemoryReleaseDelay);
    connect(m_memoryRelease, &QTimer::timeout, this, &DdeSource::releaseMemory);
    m_listenCheck = new QTimer(this);
    m_listenCheck->setInterval(kListenCheckMilliseconds);
    connect(m_listenCheck, &QTimer::timeout, this, &DdeSource::checkListening);
    P::ignoreBrokenPipes();
    raiseDescriptorLimit();
    startServing();
}

DdeSource::~DdeSource()
{
    m_destroying = true;
    const QList<DdeConversation *> conversations = m_conversations;
    m_conversations.clear();
    for (DdeConversation *conversation : conversations)
        conversation->closeNow();
    if (m_server)
        m_server->close();
}

void DdeSource::startServing()
{
    if (!DdeDirectory::isValidApplicationName(m_applicationName)) {
        m_serviceProblem =
            QStringLiteral("DDE: \"%1\" cannot be served as an application name.").arg(m_applicationName);
        return;
    }
    QString directory;
    try {
        directory = DdeDirectory::ensure();
    } catch (const RuntimeError &failure) {
        m_serviceProblem = QStringLiteral("DDE: no conversations served. ") + failure.description();
        return;
    }
    m_socketPath = DdeDirectory::socketPath(directory, m_applicationName);

    // No socket options: with them the server binds elsewhere and renames the socket into
    // place, which would silently replace a live instance's socket. The private directory
    // already keeps other users out.
    m_server = new QLocalServer(this);
    m_server->setMaxPendingConnections(kDefaultMaximumConversations);
    connect(m_server, &QLocalServer::newConnection, this, &DdeSource::acceptConnections);
    if (!listen()) {
        stopServing();
        return;
    }
    m_listenCheck->start();
}

bool DdeSource::listen()
{
    bool listening = m_server->listen(m_socketPath);
    if (!listening && m_server->serverError() == QAbstractSocket::AddressInUseError) {
        // A live socket belongs to another running instance and is never taken over; one
        // that refuses connections was left behind by a program that crashed.
        if (answers(m_socketPath)) {
            m_serviceProblem =
                QStringLiteral("DDE: another %1 is running; this one serves no conversations.").arg(m_applicationName);
            m_anotherInstance = true;
            return false;
        }
        // Anything else at that path is a file of the user's, never ours to remove.
        if (!isSocket(m_socketPath)) {
            m_serviceProblem =
                QStringLiteral("DDE: no conversations served. %1 is in the way of its socket; remove it.")
                    .arg(m_socketPath);
            return false;
        }
        QLocalServer::removeServer(m_socketPath);
        listening = m_server->listen(m_socketPath);
    }
    if (!listening) {
        m_serviceProblem = QStringLiteral("DDE: no conversations served. ") + stopReason(*m_server);
        return false;
    }
    m_socketIdentity = socketIdentity();
    return true;
}

void DdeSource::stopServing()
{
    m_listenCheck->stop();
    delete m_server;
    m_server = nullptr;
}

DdeSource::SocketIdentity DdeSource::socketIdentity() const
{
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(m_socketPath).constData(), &status) != 0)
        return {};
    return {status.st_dev, status.st_ino};
}

void DdeSource::checkListening()
{
    if (m_server->isListening() && socketIdentity() == m_socketIdentity)
        return;
    const QString reason =
        m_server->isListening() ? QStringLiteral("its socket was removed or replaced") : stopReason(*m_server);
    m_server->close();
    if (listen()) {
        const bool told = std::exchange(m_interruptionTold, false);
        qCWarning(lcPlatformDde) << m_applicationName << "listening again" << (told ? "" : "after: ") << reason;
        emit serviceMessage(
            told ? QStringLiteral("DDE: conversations served again.")
                 : QStringLiteral("DDE: conversations were refused for a moment (%1); served again.").arg(reason));
        return;
    }
    if (m_anotherInstance) {
        stopServing();
        qCWarning(lcPlatformDde) << m_serviceProblem;
        emit serviceMessage(m_serviceProblem);
        return;
    }
    // No descriptor left, say: tried again at the next check, and told once.
    if (!std::exchange(m_interruptionTold, true)) {
        qCWarning(lcPlatformDde) << m_applicationName << "stopped listening:" << reason;
        emit serviceMessage(
            QStringLiteral("DDE: conversations are refused (%1); served again as soon as they can be.").arg(reason));
    }
}

bool DdeSource::isServing() const
{
    return m_server != nullptr;
}

void DdeSource::setHandler(DdeSourceHandler *handler)
{
    m_handler = handler;
}

void DdeSource::setLinkTopic(const QString &topic)
{
    m_linkTopic = topic;
}

void DdeSource::setLinkMode(int mode)
{
    if (mode != kLinkModeNone && mode != kLinkModeSource)
        throw RuntimeError(ErrorNumber::InvalidPropertyValue);
    m_linkMode = mode;
    if (mode == kLinkModeNone) {
        const QList<DdeConversation *> conversations = m_conversations;
        for (DdeConversation *conversation : conversations)
            conversation->terminate();
    }
}

void DdeSource::setPokeEnabled(bool enabled)
{
    m_pokeEnabled = enabled;
}

void DdeSource::setMaximumConversations(int count)
{
    m_maximumConversations = qMax(0, count);
}

int DdeSource::conversationCount() const
{
    int count = 0;
    for (const DdeConversation *conversation : m_conversations) {
        if (conversation->isOpen())
            ++count;
    }
    return count;
}

QString DdeSource::addItem(const QString &name, const QString &value)
{
    if (const Item *item = findItem(name))
        return item->name;
    m_items.insert(name, Item{name, value});
    return name;
}

void DdeSource::removeItem(const QString &name)
{
    if (const Item *item = findItem(name))
        m_items.remove(item->name);
}

bool DdeSource::hasItem(const QString &name) const
{
    return findItem(name) != nullptr;
}

QString DdeSource::itemValue(const QString &name) const
{
    const Item *item = findItem(name);
    return item ? item->value : QString();
}

void DdeSource::setItemReadOnly(const QString &name, bool readOnly)
{
    if (Item *item = findItem(name))
        item->readOnly = readOnly;
}

bool DdeSource::isItemReadOnly(const QString &name) const
{
    const Item *item = findItem(name);
    return item && item->readOnly;
}

void DdeSource::setItemValue(const QString &name, const QString &text)
{
    const Item *item = findItem(name);
    if (!item || item->value != text)
        writeItem(name, text);
}

void DdeSource::writeItem(const QString &name, const QString &text)
{
    Item *item = findItem(name);
    if (!item)
        item = &m_items.insert(name, Item{name, QString()}).value();
    item->value = text;
    // Sending may drop a client, whose LinkClose runs the program's code: the item may be
    // gone or moved by the time the signal goes out.
    const QString itemName = item->name;
    publish(itemName, text);
    emit itemChanged(itemName);
}

DdeSource::Item *DdeSource::findItem(const QString &name)
{
    return const_cast<Item *>(std::as_const(*this).findItem(name));
}

const DdeSource::Item *DdeSource::findItem(const QString &name) const
{
    if (name.isEmpty())
        return nullptr;
    const auto exact = m_items.constFind(name);
    if (exact != m_items.cend())
        return &exact.value();
    for (const Item &item : m_items) {
        if (item.name.compare(name, Qt::CaseInsensitive) == 0)
            return &item;
    }
    return nullptr;
}

void DdeSource::pokeItem(const QString &name, const QString &text)
{
    writeItem(name, text);
    emit itemPoked(name, text);
}

void DdeSource::acceptConnections()
{
    while (m_server && m_server->hasPendingConnections()) {
        QLocalSocket *socket = m_server->nextPendingConnection();
        auto *conversation = new DdeConversation(socket, this);
        if (m_conversations.size() >= m_maximumConversations) {
            conversation->turnAway();
            continue;
        }
        m_conversations.append(conversation);
    }
}

void DdeSource::publish(const QString &item, const QString &text)
{
    // The line is made once for all its receivers, and not at all when nobody advised the item.
    QByteArray line;
    // Sending may drop a client that stopped reading; walk a copy.
    const QList<DdeConversation *> conversations = m_conversations;
    for (DdeConversation *conversation : conversations) {
        if (!conversation->receivesUpdates(item))
            continue;
        if (line.isEmpty()) {
            line = P::updateLine(item, text);
            if (line.isEmpty())
                line = P::line(P::kTooLong, P::escape(item));
        }
        conversation->send(line);
    }
}

void DdeSource::conversationOpened()
{
    emit conversationCountChanged(conversationCount());
}

void DdeSource::conversationClosed()
{
    if (m_destroying)
        return;
    emit LinkClose();
    emit conversationCountChanged(conversationCount());
}

void DdeSource::conversationEnded(DdeConversation *conversation)
{
    m_conversations.removeOne(conversation);
}

void DdeSource::connectionClosing(DdeConversation *conversation)
{
    m_closingConnections.erase(std::remove(m_closingConnections.begin(), m_closingConnections.end(), nullptr),
                               m_closingConnections.end());
    m_closingConnections.push_back(conversation);
    // Each waits a short while for its peer to read the last line; a peer that opens
    // connections faster than that would otherwise hold descriptors without bound.
    while (int(m_closingConnections.size()) > kMaximumClosingConnections) {
        const QPointer<DdeConversation> oldest = m_closingConnections.front();
        m_closingConnections.pop_front();
        if (oldest) {
            qCDebug(lcPlatformDde).noquote()
                << QStringLiteral("cut off %1 of %2: more than %3 connections wait for their peers to read a last line")
                       .arg(oldest->peer(), m_applicationName)
                       .arg(kMaximumClosingConnections);
            oldest->abandon();
        }
    }
}

void DdeSource::backlogChanged(qint64 delta)
{
    m_backlogBytes += delta;
    if (-delta >= kReleasedBytes && !m_destroying && !m_memoryRelease->isActive())
        m_memoryRelease->start();
    // Connections that are closing count too: their last lines are still held here.
    while (delta > 0 && m_backlogBytes > kMaximumBacklogBytes) {
        DdeConversation *furthestBehind = nullptr;
        const QList<DdeConversation *> conversations =
            findChildren<DdeConversation *>(QString(), Qt::FindDirectChildrenOnly);
        for (DdeConversation *conversation : conversations) {
            if (!furthestBehind || conversation->backlogBytes() > furthestBehind->backlogBytes())
                furthestBehind = conversation;
        }
        if (!furthestBehind || furthestBehind->backlogBytes() == 0)
            return;
        qCDebug(lcPlatformDde).noquote()
            << QStringLiteral("dropped %1, the client furthest behind: %2 bytes unread; all clients of %3 have %4, "
                              "more than %5")
                   .arg(furthestBehind->peer())
                   .arg(furthestBehind->backlogBytes())
                   .arg(m_applicationName)
                   .arg(m_backlogBytes)
                   .arg(kMaximumBacklogBytes);
        furthestBehind->abandon();
    }
}

void DdeSource::releaseMemory()
{
#if defined(__GLIBC__)
    // The lines of dropped clients are many small blocks spread over the heap; without this
    // the allocator keeps the pages they lay on, and the program stays at its peak size.
    malloc_trim(0);
#endif
}

} // namespace platform
