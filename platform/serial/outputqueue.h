#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <deque>

namespace platform {

// Bytes waiting to leave through a file descriptor, kept as the pieces they were queued in:
// sending part of them moves nothing, so a queue of megabytes drains in time that grows with
// what is sent, not with what waits.
class OutputQueue
{
public:
    qint64 size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    void append(QByteArray bytes);
    void clear();

    // Writes from the front as much as the descriptor takes at once; returns how much that
    // was, or -1 with errno set.
    qint64 writeTo(int descriptor);

private:
    std::deque<QByteArray> m_pieces;
    qsizetype m_sentOfFront = 0;
    qint64 m_size = 0;
};

} // namespace platform
