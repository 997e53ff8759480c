#pragma once

#include <QObject>
#include <QPointer>
#include <deque>
#include <memory>

class QLocalSocket;

namespace platform {

class DdeLineReader;

// The client's side of a DDE conversation, without a window. The client opens a conversation
// with a DDE source ("application|topic" in LinkTopic) and keeps an automatic link on one item
// (LinkItem): every write of the item at the source raises itemUpdated, even when the new text
// equals the old one. A write too long for the protocol's lines arrives as an empty text.
//
// Calls that need an answer from the source wait at most linkTimeout() milliseconds while
// the event loop keeps running, then fail with DdeErrorNumber::TimeOut. Failures are raised
// as platform::RuntimeError with the numbers of ddeerrors.h:
//   282 no application answered the initiate,
//   293 no conversation open, or the source refused the initiate (also with link mode none),
//   285 the source refused an execute or poke, or the item (none such, or too long to send),
//       or the execute or poke is too long to send,
//   286 time-out,  70 the per-user DDE directory is not private.
class DdeClient : public QObject
{
    Q_OBJECT

public:
    static constexpr int kLinkModeNone = 0;
    static constexpr int kLinkModeAutomatic = 1;
    static constexpr int kDefaultLinkTimeout = 5000;

    explicit DdeClient(QObject *parent = nullptr);
    ~DdeClient() override; // ends the conversation with a terminate

    // "application|topic"; takes effect at the next switch to link mode 1.
    void setLinkTopic(const QString &topic);
    QString linkTopic() const { return m_linkTopic; }

    // The item linked automatically; takes effect at the next switch to link mode 1.
    void setLinkItem(const QString &item);
    QString linkItem() const { return m_linkItem; }

    // 0 ends any conversation (quietly, with a terminate). 1 opens a conversation and advises
    // the item; on success itemUpdated has carried the item's current text. When the source
    // has no room for another conversation, LinkError(7) follows (queued) and the mode stays
    // 0 without an exception. Other values raise error 380.
    void setLinkMode(int mode);
    int linkMode() const { return m_linkMode; }

    // Time-out in milliseconds for every answer the client waits for.
    void setLinkTimeout(int milliseconds);
    int linkTimeout() const { return m_linkTimeout; }

    // Sends `command` unchanged as an execute; returns when the source acknowledged it
    // positively. Raises 285 (refused), 293 (no conversation) or 286 (time-out).
    void LinkExecute(const QString &command);
    // Writes `text` into the linked item at the source; fails like LinkExecute.
    void LinkPoke(const QString &text);
    // Asks the source for the item's current text, which itemUpdated carries; fails like
    // LinkExecute.
    void LinkRequest();

    // True while a conversation is open (link mode 1).
    bool isLinked() const;

signals:
    // A link failure outside any call: 6 source vanished, 7 no room at the source.
    void LinkError(int code);
    // Raised for every write of the linked item at the source, and for the text an advise or
    // a request brought.
    void itemUpdated(const QString &text);

private:
    struct Pending;
    enum class ReplyKind { Acknowledge, Data };

    void openConversation();
    void closeConversation(bool sendTerminate);
    void transact(const QByteArray &line, const QString &operation);
    void throwOnFailure(const std::shared_ptr<Pending> &pending, const QString &operation);
    std::shared_ptr<Pending> send(const QByteArray &line, ReplyKind kind);
    void await(const std::shared_ptr<Pending> &pending);
    void readLines();
    void handleLine(const QString &line);
    void breakLink();
    void failAllPending(int number, const QString &description);
    void raiseLinkErrorLater(int code);

    QString m_linkTopic;
    QString m_linkItem;
    int m_linkMode = kLinkModeNone;
    int m_linkTimeout = kDefaultLinkTimeout;
    QPointer<QLocalSocket> m_socket;
    std::unique_ptr<DdeLineReader> m_reader;
    std::deque<std::shared_ptr<Pending>> m_pending;
    bool m_advised = false;    // the item's current text has arrived; updates apply
    bool m_terminated = false; // the source ended the conversation with a terminate
};

} // namespace platform
