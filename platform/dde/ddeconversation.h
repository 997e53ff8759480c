#pragma once

#include "platform/dde/ddeprotocol.h"

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

class QLocalSocket;

namespace platform {

class DdeSource;

// The source's side of one conversation: one accepted connection, its line reader, the
// items the client advised, and the answers to its messages. It belongs to its DdeSource.
class DdeConversation : public QObject
{
    Q_OBJECT

public:
    DdeConversation(QLocalSocket *socket, DdeSource *source);
    ~DdeConversation() override;

    // The initiate was accepted and the conversation has not ended.
    bool isOpen() const { return m_open && !m_ended; }
    bool isAdvised(const QString &item) const { return m_advisedItems.contains(item.toLower()); }

    // Queues one already encoded line; a client that lets too much pile up unread is dropped.
    void send(const QByteArray &line);
    // Ends the conversation from the source's side with a terminate. Inside this
    // conversation's own execute the terminate follows the execute's acknowledgement.
    void terminate();
    // Ends at once when the source goes away: a terminate on a best-effort write, then close.
    void closeNow();
    // Turns a connection away for want of room.
    void turnAway();

private:
    void readLines();
    void handleLine(const QString &line);
    void handleInitiate(const QString &topic);
    void handleRequest(const QString &item);
    void handleAdvise(const QString &item);
    void handleUnadvise(const QString &item);
    void handleExecute(const QString &command);
    void handlePoke(const QString &rest);
    void reply(const QString &word, const QString &text = QString());
    void dropUninitiated();
    void end(bool sendTerminate);
    void closeWhenPeerHasRead();

    QLocalSocket *m_socket;
    QPointer<DdeSource> m_source;
    DdeLineReader m_reader;
    QSet<QString> m_advisedItems;
    QTimer m_initiateTimer;
    QTimer m_closeTimer;
    bool m_open = false;
    bool m_ended = false;
    bool m_peerTerminated = false;
    int m_executeDepth = 0;
    bool m_terminateAfterExecute = false;
};

} // namespace platform
