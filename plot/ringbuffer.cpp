#include "ringbuffer.h"

#include <algorithm>

RingBuffer::RingBuffer(qsizetype capacity)
    : m_rows(std::size_t(std::max<qsizetype>(capacity, 1)))
{
}

void RingBuffer::setCapacity(qsizetype capacity)
{
    capacity = std::max<qsizetype>(capacity, 1);
    const qsizetype kept = std::min(m_size, capacity);
    std::vector<Row> rows(static_cast<std::size_t>(capacity));
    for (qsizetype i = 0; i < kept; ++i)
        rows[std::size_t(i)] = std::move(m_rows[std::size_t((m_first + m_size - kept + i) % this->capacity())]);
    m_rows = std::move(rows);
    m_first = 0;
    m_size = kept;
    ++m_generation;
}

void RingBuffer::append(Row row)
{
    if (m_size < capacity()) {
        m_rows[std::size_t((m_first + m_size) % capacity())] = std::move(row);
        ++m_size;
        ++m_appended;
        return;
    }
    m_rows[std::size_t(m_first)] = std::move(row);
    m_first = (m_first + 1) % capacity();
    ++m_appended;
}

void RingBuffer::clear()
{
    // The rows' storage goes too, so a cleared plot holds nothing of the old run.
    m_rows.assign(m_rows.size(), Row{});
    m_first = 0;
    m_size = 0;
    m_appended = 0;
    ++m_generation;
}
