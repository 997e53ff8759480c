#include "outputqueue.h"

#include <sys/uio.h>
#include <utility>

namespace platform {

namespace {

// Pieces handed to the system in one call; a terminal takes a few kilobytes at a time anyway.
constexpr int kPiecesPerWrite = 64;

} // namespace

void OutputQueue::append(QByteArray bytes)
{
    if (bytes.isEmpty())
        return;
    m_size += bytes.size();
    m_pieces.push_back(std::move(bytes));
}

void OutputQueue::clear()
{
    m_pieces.clear();
    m_sentOfFront = 0;
    m_size = 0;
}

qint64 OutputQueue::writeTo(int descriptor)
{
    iovec pieces[kPiecesPerWrite];
    int count = 0;
    for (auto piece = m_pieces.begin(); piece != m_pieces.end() && count < kPiecesPerWrite; ++piece, ++count) {
        const qsizetype skipped = count == 0 ? m_sentOfFront : 0;
        pieces[count].iov_base = const_cast<char *>(piece->constData() + skipped);
        pieces[count].iov_len = size_t(piece->size() - skipped);
    }
    if (count == 0)
        return 0;
    const ssize_t sent = ::writev(descriptor, pieces, count);
    if (sent <= 0)
        return sent;

    m_size -= sent;
    qint64 left = sent;
    while (left > 0) {
        const qint64 rest = m_pieces.front().size() - m_sentOfFront;
        if (left < rest) {
            m_sentOfFront += left;
            break;
        }
        left -= rest;
        m_pieces.pop_front();
        m_sentOfFront = 0;
    }
    return sent;
}

} // namespace platform
