#pragma once

#include "lineparser.h"

#include <vector>

// The last N lines the plot shows: data rows and markers, oldest first. Appending beyond the
// capacity overwrites the oldest row, so memory stays bounded by the window size.
class RingBuffer
{
public:
    struct Row
    {
        ParsedLine::Kind kind = ParsedLine::Kind::Data; // Data, Accepted or Refused
        double x = 0.0;
        QList<double> values;
    };

    explicit RingBuffer(qsizetype capacity);

    qsizetype capacity() const { return qsizetype(m_rows.size()); }
    qsizetype size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }

    // Keeps the newest rows that fit.
    void setCapacity(qsizetype capacity);
    void append(Row row);
    void clear();

    // Row i counted from the oldest held.
    const Row &at(qsizetype i) const { return m_rows[std::size_t((m_first + i) % capacity())]; }

private:
    std::vector<Row> m_rows;
    qsizetype m_first = 0;
    qsizetype m_size = 0;
};
