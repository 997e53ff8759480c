#include "commandbuffer.h"

CommandLineBuffer::Cut CommandLineBuffer::append(const QString &received, const QString &terminator)
{
    Cut cut;
    m_pending += received;
    if (terminator.isEmpty()) {
        if (m_pending.size() > kMaximumBufferedCommand) {
            cut.overflowed = true;
            clear();
        }
        return cut;
    }

    qsizetype start = 0;
    while (true) {
        const qsizetype found = m_pending.indexOf(terminator, qMax(start, m_searchFrom));
        if (m_discarding) {
            if (found < 0) {
                keepTerminatorTail(terminator);
                return cut;
            }
            m_discarding = false;
        } else if (found < 0) {
            if (m_pending.size() - start > kMaximumBufferedCommand) {
                cut.overflowed = true;
                m_discarding = true;
                keepTerminatorTail(terminator);
                return cut;
            }
            m_pending.remove(0, start);
            m_searchFrom = qMax<qsizetype>(0, m_pending.size() - terminator.size() + 1);
            return cut;
        } else if (found - start + 1 > kMaximumBufferedCommand) {
            // The position of a terminator counts from the front of its line.
            cut.overflowed = true;
        } else {
            cut.lines << m_pending.mid(start, found - start);
        }
        start = found + terminator.size();
        m_searchFrom = start;
    }
}

void CommandLineBuffer::keepTerminatorTail(const QString &terminator)
{
    m_pending = m_pending.right(terminator.size() - 1);
    m_searchFrom = 0;
}

void CommandLineBuffer::clear()
{
    m_pending.clear();
    m_searchFrom = 0;
    m_discarding = false;
}
