#include "ddesource.h"

#include "ddeconversation.h"
#include "ddedirectory.h"
#include "ddeprotocol.h"
#include "errors.h"

#include <utility>

#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QWidget>

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

bool answers(const QString &socketPath)
{
    QLocalSocket probe;
    probe.connectToServer(socketPath);
    const bool live = probe.waitForConnected(kProbeTimeout);
    probe.abort();
    return live;
}
} // namespace

DdeSource::DdeSource(const QString &applicationName, QWidget *window)
    : QObject(window)
    , m_applicationName(applicationName)
    , m_window(window)
    , m_frame(new QTimer(this))
{
    m_frame->setSingleShot(true);
    m_frame->setInterval(kFrameInterval);
    connect(m_frame, &QTimer::timeout, this, &DdeSource::showWrittenValues);
    m_memoryRelease = new QTimer(this);
    m_memoryRelease->setSingleShot(true);
    m_memoryRelease->setInterval(kMemoryReleaseDelay);
    connect(m_memoryRelease, &QTimer::timeout, this, &DdeSource::releaseMemory);
    P::ignoreBrokenPipes();
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
        m_serviceProblem = QStringLiteral("DDE: \"%1\" cannot be served as an application name.").arg(m_applicationName);
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
    bool listening = m_server->listen(m_socketPath);
    if (!listening && m_server->serverError() == QAbstractSocket::AddressInUseError) {
        // A live socket belongs to another running instance and is never taken over; one
        // that refuses connections was left behind by a program that crashed.
        if (answers(m_socketPath)) {
            m_serviceProblem = QStringLiteral("DDE: another %1 is running; this one serves no conversations.")
                                   .arg(m_applicationName);
            delete m_server;
            m_server = nullptr;
            return;
        }
        QLocalServer::removeServer(m_socketPath);
        listening = m_server->listen(m_socketPath);
    }
    if (!listening) {
        m_serviceProblem = QStringLiteral("DDE: no conversations served. ") + m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, &DdeSource::acceptConnections);
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

QLineEdit *DdeSource::servedItem(const QString &item) const
{
    if (!m_window || item.isEmpty())
        return nullptr;
    const QList<QLineEdit *> boxes = m_window->findChildren<QLineEdit *>();
    for (QLineEdit *box : boxes) {
        if (box->window() == m_window && box->objectName().compare(item, Qt::CaseInsensitive) == 0)
            return box;
    }
    return nullptr;
}

void DdeSource::writeItem(QLineEdit *box, const QString &text)
{
    if (box->isVisible()) {
        m_valuesToShow.insert(box, {box, text});
        if (!m_frame->isActive())
            m_frame->start();
    } else if (box->text() != text) {
        // The box's textChanged would publish as well; this write publishes once, below, so
        // a watched and an unwatched box behave alike.
        m_writingBox = box;
        box->setText(text);
        m_writingBox = nullptr;
    }
    publish(box, text);
}

QString DdeSource::itemValue(const QLineEdit *box) const
{
    const auto written = m_valuesToShow.constFind(box);
    return written != m_valuesToShow.cend() ? written->text : box->text();
}

void DdeSource::showWrittenValues()
{
    const QHash<const QLineEdit *, ValueToShow> values = std::exchange(m_valuesToShow, {});
    for (const ValueToShow &value : values) {
        if (!value.box)
            continue;
        m_writingBox = value.box;
        value.box->setText(value.text);
    }
    m_writingBox = nullptr;
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

void DdeSource::watchItem(QLineEdit *box)
{
    m_watchedItems.removeAll(nullptr);
    if (m_watchedItems.contains(box))
        return;
    m_watchedItems.append(box);
    connect(box, &QLineEdit::textChanged, this, [this, box](const QString &text) {
        if (box == m_writingBox)
            return;
        // Set in another way, the box holds the item's value from now on.
        m_valuesToShow.remove(box);
        publish(box, text);
    });
}

void DdeSource::publish(QLineEdit *box, const QString &text)
{
    if (m_conversations.isEmpty())
        return;
    const QString item = box->objectName();
    QByteArray line = P::updateLine(item, text);
    if (line.isEmpty())
        line = P::line(P::kTooLong, P::escape(item));
    // Sending may drop a client that stopped reading; walk a copy.
    const QList<DdeConversation *> conversations = m_conversations;
    for (DdeConversation *conversation : conversations) {
        if (conversation->receivesUpdates(item))
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
