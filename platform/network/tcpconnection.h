#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QtGlobal>

class QSocketNotifier;
class QTimer;

namespace platform {

// One accepted TCP connection on a non-blocking descriptor, driven by the window thread's
// event loop. Unlike QTcpSocket it keeps sending after the peer has finished sending (a
// half-close, as `nc` and `socat` do at the end of their input), so a client that sends
// its command and shuts its side still receives the reply and the lines that follow.
class TcpConnection : public QObject
{
    Q_OBJECT

public:
    // Takes ownership of the descriptor.
    TcpConnection(qintptr descriptor, QObject *parent = nullptr);
    ~TcpConnection() override;

    // The peer's address and port and the descriptor, for log lines.
    QString peer() const { return m_peer; }

    // Everything received so far, removed from the connection.
    QByteArray readAll();
    qint64 bytesAvailable() const { return m_received.size(); }

    // Output the peer has left unread, at most: reaching it means the peer has stopped
    // reading, and write() reports ENOBUFS. A stalled client thus costs at most this much
    // plus one write.
    static constexpr qsizetype kMaximumQueuedOutput = 1024 * 1024;
    // Queued output that has not moved for this long is jammed; the jam is logged when it
    // starts and when the queue has emptied, so a slow reader costs two lines, not one a line.
    static constexpr int kJamMilliseconds = 1000;

    // Queues the bytes and hands what the system takes at once to it. Returns 0, or the
    // system's error number when the connection failed (ENOBUFS when the unread output has
    // reached kMaximumQueuedOutput); after a hang-up the bytes are dropped and hungUp()
    // follows from the event loop.
    int write(const QByteArray &bytes);

    // True once the peer has finished sending.
    bool peerFinished() const { return m_peerFinished; }

    // Ends the connection in order: what is still queued is handed to the system as the peer
    // takes it, then the end of the stream follows it, and what the peer still sends is
    // read and thrown away until it closes too, so that the end never turns into a reset that
    // would discard output the peer has not read yet. A peer that takes nothing for
    // kOrderlyCloseTimeout is cut off. ended() follows once the descriptor is closed.
    void closeInOrder();
    static constexpr int kOrderlyCloseTimeout = 2000; // milliseconds

    // Closes the descriptor at once: one last attempt hands what is queued to the system,
    // and whatever the system cannot take is dropped. Returns how many bytes that was.
    qsizetype close();

signals:
    void readyRead();
    // The peer finished sending; the connection still carries output.
    void peerFinishedSending();
    // The peer is gone: reset, or closed while output was still coming.
    void hungUp();
    void failed(int systemError);
    // The descriptor is closed.
    void ended();

private:
    void readAvailable();
    void discardInput();
    void sendQueued();
    void reportHangUp();
    // Once everything queued is with the system: the end of the stream follows it.
    void shutDownSendingWhenSent();
    void closeNow();
    // Called after each attempt to send: notices a jam starting and ending.
    void watchOutput(bool moved);

    QString m_peer;
    int m_descriptor = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_jamTimer = nullptr;
    QElapsedTimer m_jamClock; // since the jam began
    bool m_jammed = false;
    QByteArray m_received;
    QByteArray m_outgoing;
    bool m_peerFinished = false;
    bool m_hungUp = false;
    bool m_closingInOrder = false;
    bool m_sendingShutDown = false;
};

// True for the system errors that mean the peer has gone rather than a failure.
bool isHangUp(int systemError);

// "client <address>:<port> (descriptor <n>)" for the connection on the descriptor.
QString describePeer(qintptr descriptor);

} // namespace platform
