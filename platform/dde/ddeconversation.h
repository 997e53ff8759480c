#pragma once

#include "ddeprotocol.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <deque>

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

    // "connection <descriptor> (pid <n>)", for log lines.
    QString peer() const { return m_peer; }

    // The initiate was accepted and the conversation has not ended.
    bool isOpen() const { return m_open && !m_closing && !m_ended; }
    // Writes of the item (named in the source's spelling) are sent here: the client advised
    // it, and the conversation's terminate has not gone out yet.
    bool receivesUpdates(const QString &item) const { return m_open && !m_ended && m_advisedItems.contains(item); }

    // Queues one already encoded line; a client that lets too much pile up unread is dropped.
    void send(const QByteArray &line);
    // Bytes sent here that the system has not taken yet: the lines waiting in the outbox and
    // what the socket still buffers.
    qint64 backlogBytes() const { return m_backlogBytes; }
    // Drops a client that fell too far behind: what it has not read is discarded at once and
    // the connection cut, without a terminate it would not read anyway.
    void abandon();
    // Ends the conversation from the source's side: for the program at once (LinkClose), on
    // the wire with a terminate once the running handler has returned, so that what the
    // handler still writes into advised items, and the acknowledgement of this
    // conversation's own execute, reach the client first.
    void terminate();
    // Ends at once when the source goes away: a terminate on a best-effort write, then close.
    void closeNow();
    // Turns a connection away for want of room.
    void turnAway();

private:
    void queue(const QByteArray &line);
    void transmit();
    void lineWritten(qint64 bytes);
    void discardBacklog();
    void readLines();
    void handleLine(const QString &line);
    void handleInitiate(const QString &topic);
    void handleRequest(const QString &item);
    void handleAdvise(const QString &item);
    void handleUnadvise(const QString &item);
    void handleExecute(const QString &command);
    void handlePoke(const QString &rest);
    void reply(const QString &word, const QString &text = QString());
    void replyData(const QString &text);
    // Hands as much of `line` as the system takes at once straight to it; returns how much.
    qint64 sendDirectly(const QByteArray &line);
    void dropUninitiated();
    // Called whenever the backlog changed: notices a jam starting and ending.
    void watchBacklog(bool moved);
    void end(bool sendTerminate);
    void closeWhenPeerHasRead();

    QLocalSocket *m_socket;
    QString m_peer;
    QPointer<DdeSource> m_source;
    DdeLineReader m_reader;
    // Lines waiting for room in the socket's buffer. An update line is one array shared by
    // every conversation it goes to, so a hundred clients behind cost the lines once.
    std::deque<QByteArray> m_outbox;
    qint64 m_backlogBytes = 0;
    // In the source's spelling, whatever spelling the client used.
    QSet<QString> m_advisedItems;
    QTimer m_initiateTimer;
    QTimer m_closeTimer;
    // Runs while a backlog waits and restarts whenever some of it leaves: a backlog that has
    // not moved for kJamMilliseconds is a jam, logged when it starts and when it ends.
    QTimer m_jamTimer;
    QElapsedTimer m_jamClock; // since the jam began
    bool m_jammed = false;
    bool m_open = false;
    bool m_closing = false; // ended for the program; the terminate is still to go out
    bool m_ended = false;
    bool m_peerTerminated = false;
    int m_executeDepth = 0;
};

} // namespace platform
