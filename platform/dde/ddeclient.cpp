#include "ddeclient.h"

#include "ddedirectory.h"
#include "ddeerrors.h"
#include "ddeprotocol.h"
#include "descriptorlimit.h"
#include "errors.h"
#include "eventloop.h"

#include <QFileInfo>
#include <QLocalSocket>
#include <QTimer>

namespace platform {

namespace P = DdeProtocol;

struct DdeClient::Pending
{
    enum class State { Waiting, Acknowledged, Refused, Data, Busy, Failed, TimedOut };

    ReplyKind kind;
    State state = State::Waiting;
    QString text; // the reason of a refusal, or the item's text
    int failureNumber = 0;
    QString failureDescription;
    Notifier settled;

    void settle(State answer)
    {
        state = answer;
        settled.notify();
    }
};

namespace {

RuntimeError noConversation()
{
    return RuntimeError(DdeErrorNumber::NoConversation, QStringLiteral("No DDE conversation is open"));
}

RuntimeError busyInConversation(const QString &operation)
{
    return RuntimeError(
        DdeErrorNumber::NoConversation,
        QStringLiteral("The DDE source answered the %1 with BUSY, which ends the conversation").arg(operation));
}

} // namespace

DdeClient::DdeClient(QObject *parent)
    : QObject(parent)
{
    P::ignoreBrokenPipes();
    // A program that links many conversations holds a descriptor for each.
    raiseDescriptorLimit();
}

DdeClient::~DdeClient()
{
    closeConversation(true);
}

void DdeClient::setLinkTopic(const QString &topic)
{
    m_linkTopic = topic;
}

void DdeClient::setLinkItem(const QString &item)
{
    m_linkItem = item;
}

void DdeClient::setLinkTimeout(int milliseconds)
{
    m_linkTimeout = qMax(1, milliseconds);
}

bool DdeClient::isLinked() const
{
    return m_linkMode == kLinkModeAutomatic && m_socket;
}

void DdeClient::setLinkMode(int mode)
{
    if (mode != kLinkModeNone && mode != kLinkModeAutomatic)
        throw RuntimeError(ErrorNumber::InvalidPropertyValue);
    if (mode == m_linkMode && (mode == kLinkModeNone || m_socket))
        return;
    if (mode == kLinkModeNone) {
        closeConversation(true);
        return;
    }
    openConversation();
}

void DdeClient::openConversation()
{
    closeConversation(true);

    const qsizetype bar = m_linkTopic.indexOf(QLatin1Char('|'));
    const QString application = bar < 0 ? m_linkTopic : m_linkTopic.left(bar);
    const QString topic = bar < 0 ? QString() : m_linkTopic.mid(bar + 1);
    const RuntimeError noApplication(
        DdeErrorNumber::NoApplication,
        QStringLiteral("No DDE application \"%1\" answered the initiate").arg(application));
    if (!DdeDirectory::isValidApplicationName(application))
        throw noApplication;
    const QString socketPath = DdeDirectory::socketPath(DdeDirectory::ensure(), application);
    if (!QFileInfo::exists(socketPath))
        throw noApplication;

    auto *socket = new QLocalSocket(this);
    m_socket = socket;
    m_reader = std::make_unique<DdeLineReader>();
    m_terminated = false;
    connect(socket, &QLocalSocket::readyRead, this, &DdeClient::readLines);
    connect(socket, &QLocalSocket::disconnected, this, &DdeClient::breakLink);

    // A local connect completes or fails at once unless the source's backlog is full.
    socket->connectToServer(socketPath);
    if (socket->state() == QLocalSocket::ConnectingState)
        waitForSignal(socket, &QLocalSocket::stateChanged, std::chrono::milliseconds(m_linkTimeout));
    if (m_socket != socket || socket->state() != QLocalSocket::ConnectedState) {
        closeConversation(false);
        throw noApplication;
    }

    const std::shared_ptr<Pending> initiate = send(P::line(P::kInitiate, P::escape(topic)), ReplyKind::Acknowledge);
    await(initiate);
    switch (initiate->state) {
    case Pending::State::Acknowledged: break;
    case Pending::State::Busy:
        closeConversation(false);
        raiseLinkErrorLater(DdeLinkError::NoRoom);
        return;
    case Pending::State::Refused:
        closeConversation(false);
        throw RuntimeError(DdeErrorNumber::NoConversation,
                           QStringLiteral("The DDE source refused the conversation (%1)").arg(initiate->text));
    case Pending::State::TimedOut:
        closeConversation(false);
        throw RuntimeError(DdeErrorNumber::TimeOut,
                           QStringLiteral("The DDE source did not answer the initiate in time"));
    default: closeConversation(false); throw noApplication;
    }

    const std::shared_ptr<Pending> advise = send(P::line(P::kAdvise, P::escape(m_linkItem)), ReplyKind::Data);
    await(advise);
    switch (advise->state) {
    case Pending::State::Data: m_linkMode = kLinkModeAutomatic; return;
    case Pending::State::Refused:
        closeConversation(true);
        throw RuntimeError(DdeErrorNumber::Refused,
                           QStringLiteral("The DDE source refused the item \"%1\" (%2)").arg(m_linkItem, advise->text));
    case Pending::State::TimedOut:
        closeConversation(true);
        throw RuntimeError(DdeErrorNumber::TimeOut, QStringLiteral("The DDE source did not answer the advise in time"));
    case Pending::State::Busy: closeConversation(false); throw busyInConversation(QStringLiteral("advise"));
    default: closeConversation(false); throw RuntimeError(advise->failureNumber, advise->failureDescription);
    }
}

void DdeClient::closeConversation(bool sendTerminate)
{
    m_linkMode = kLinkModeNone;
    m_advised = false;
    if (!m_socket)
        return;
    QLocalSocket *socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    if (sendTerminate && socket->state() == QLocalSocket::ConnectedState) {
        socket->write(P::line(P::kTerminate));
        socket->flush();
    }
    socket->abort();
    socket->deleteLater();
    failAllPending(DdeErrorNumber::NoConversation, QStringLiteral("The DDE conversation was ended"));
}

void DdeClient::LinkExecute(const QString &command)
{
    transact(P::line(P::kExecute, P::escape(command)), QStringLiteral("execute"));
}

void DdeClient::LinkPoke(const QString &text)
{
    transact(P::line(P::kPoke, P::escape(m_linkItem) + QLatin1Char(' ') + P::escape(text)), QStringLiteral("poke"));
}

void DdeClient::LinkRequest()
{
    if (!isLinked())
        throw noConversation();
    const std::shared_ptr<Pending> request = send(P::line(P::kRequest, P::escape(m_linkItem)), ReplyKind::Data);
    await(request);
    throwOnFailure(request, QStringLiteral("request"));
}

void DdeClient::transact(const QByteArray &line, const QString &operation)
{
    if (!isLinked())
        throw noConversation();
    if (!P::fits(line))
        throw RuntimeError(DdeErrorNumber::Refused,
                           QStringLiteral("The %1 is too long for a DDE message").arg(operation));
    const std::shared_ptr<Pending> pending = send(line, ReplyKind::Acknowledge);
    await(pending);
    throwOnFailure(pending, operation);
}

void DdeClient::throwOnFailure(const std::shared_ptr<Pending> &pending, const QString &operation)
{
    switch (pending->state) {
    case Pending::State::Acknowledged:
    case Pending::State::Data: return;
    case Pending::State::Refused:
        throw RuntimeError(DdeErrorNumber::Refused, QStringLiteral("The DDE source refused the %1").arg(operation));
    case Pending::State::TimedOut:
        throw RuntimeError(DdeErrorNumber::TimeOut,
                           QStringLiteral("The DDE source did not answer the %1 in time").arg(operation));
    case Pending::State::Busy:
        // A source says BUSY only instead of a conversation and answers nothing after it, so
        // one that says it inside a conversation has ended it: treated as a break.
        breakLink();
        throw busyInConversation(operation);
    default: throw RuntimeError(pending->failureNumber, pending->failureDescription);
    }
}

std::shared_ptr<DdeClient::Pending> DdeClient::send(const QByteArray &line, ReplyKind kind)
{
    auto pending = std::make_shared<Pending>();
    pending->kind = kind;
    m_pending.push_back(pending);
    m_socket->write(line);
    return pending;
}

void DdeClient::await(const std::shared_ptr<Pending> &pending)
{
    if (pending->state != Pending::State::Waiting)
        return;
    // The event loop keeps running; a late answer still finds its place in the queue.
    waitForSignal(&pending->settled, &Notifier::notified, std::chrono::milliseconds(m_linkTimeout));
    if (pending->state == Pending::State::Waiting)
        pending->state = Pending::State::TimedOut;
}

void DdeClient::readLines()
{
    QPointer<DdeClient> self(this);
    QLocalSocket *socket = m_socket;
    if (!socket)
        return;
    m_reader->append(socket->readAll());
    QString line;
    bool valid = true;
    while (self && m_socket == socket && m_reader->nextLine(line, valid)) {
        if (!valid) {
            breakLink();
            return;
        }
        handleLine(line);
    }
    if (self && m_socket == socket && m_reader->overflowed())
        breakLink();
}

void DdeClient::handleLine(const QString &line)
{
    const P::Message message = P::split(line);
    if (message.word == P::kUpdate) {
        QString item;
        QString escapedText;
        P::splitItem(message.rest, item, escapedText);
        const std::optional<QString> value = P::unescape(escapedText);
        if (!value) {
            breakLink();
            return;
        }
        if (m_advised && item.compare(m_linkItem, Qt::CaseInsensitive) == 0)
            emit itemUpdated(*value);
        return;
    }
    if (message.word == P::kTooLong) {
        // The item's text cannot travel; an empty text is truer than the previous one.
        const std::optional<QString> item = P::unescape(message.rest);
        if (!item) {
            breakLink();
            return;
        }
        if (m_advised && item->compare(m_linkItem, Qt::CaseInsensitive) == 0)
            emit itemUpdated(QString());
        return;
    }
    if (message.word == P::kTerminate) {
        m_terminated = true;
        closeConversation(false);
        return;
    }

    // Everything else answers the oldest message still waiting, in order.
    static const QStringList kReplies = {P::kAck, P::kNack, P::kData, P::kBusy, P::kError};
    const std::optional<QString> text = P::unescape(message.rest);
    if (!kReplies.contains(message.word) || !text || m_pending.empty()) {
        breakLink();
        return;
    }
    const std::shared_ptr<Pending> pending = m_pending.front();
    m_pending.pop_front();
    pending->text = *text;
    if (pending->state == Pending::State::TimedOut)
        return;
    if (message.word == P::kAck && pending->kind == ReplyKind::Acknowledge) {
        pending->settle(Pending::State::Acknowledged);
    } else if (message.word == P::kData && pending->kind == ReplyKind::Data) {
        // The current text of an advised or requested item is delivered at once, before any
        // update that follows it on the wire.
        m_advised = true;
        emit itemUpdated(*text);
        pending->settle(Pending::State::Data);
    } else if (message.word == P::kNack) {
        pending->settle(Pending::State::Refused);
    } else if (message.word == P::kBusy) {
        pending->settle(Pending::State::Busy);
    } else {
        m_pending.push_front(pending);
        breakLink();
    }
}

void DdeClient::breakLink()
{
    // The source went away without a terminate, or spoke what no source says.
    const bool wasLinked = m_linkMode == kLinkModeAutomatic;
    closeConversation(false);
    if (wasLinked && !m_terminated)
        raiseLinkErrorLater(DdeLinkError::SourceVanished);
}

void DdeClient::failAllPending(int number, const QString &description)
{
    std::deque<std::shared_ptr<Pending>> pending;
    pending.swap(m_pending);
    for (const std::shared_ptr<Pending> &waiting : pending) {
        if (waiting->state != Pending::State::Waiting)
            continue;
        waiting->failureNumber = number;
        waiting->failureDescription = description;
        waiting->settle(Pending::State::Failed);
    }
}

void DdeClient::raiseLinkErrorLater(int code)
{
    QTimer::singleShot(0, this, [this, code] { emit LinkError(code); });
}

} // namespace platform
