#pragma once

#include "lineparser.h"

#include <vector>

// The last N lines the plot shows: data rows and markers, oldest first. Appending beyond the
// capacity overwrites the oldest row, so memory stays bounded by the window size. Every row also
// has an index, its place in the stream since the last clear, which is how a drawing that keeps
// its picture between frames tells the rows it has drawn from the new ones.
class RingBuffer
{
public:
    struct Row
    {
        ParsedLine::Kind kind = ParsedLine::Kind::Data; // Data, Accepted or Refused
        double x = 0.0;
        QList<double> values; // finite numbers only, as parseLine gives them
    };

    explicit RingBuffer(qsizetype capacity);

    qsizetype capacity() const { return qsizetype(m_rows.size()); }
    qsizetype size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    // The index of the oldest row held; the newest is firstIndex() + size() - 1.
    qint64 firstIndex() const { return m_appended - m_size; }
    // Changes whenever rows go other than by being pushed out: by clear() or setCapacity().
    quint64 generation() const { return m_generation; }

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
    qint64 m_appended = 0;
    quint64 m_generation = 0;
};
