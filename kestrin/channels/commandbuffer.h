#pragma once

#include <QString>
#include <QStringList>

// Cutting the received text of a byte-stream channel (serial port, TCP connection) into
// command lines at the line terminator. Each channel keeps a buffer of its own, so what one
// peer sends can never become part of another peer's command.

// Positions in the buffer are 16-bit: a terminator must stand within the first 32767
// characters of a line, and text without a terminator may not grow beyond that.
constexpr int kMaximumBufferedCommand = 32767;

class CommandLineBuffer
{
public:
    struct Cut
    {
        QStringList lines;       // the complete lines, in order, without their terminators
        bool overflowed = false; // an over-long line was dropped
    };

    // Appends received text and removes every complete line, with its terminator, from the
    // front; a trailing partial line stays. An empty terminator cuts nothing.
    // A line longer than kMaximumBufferedCommand is dropped whole: once the limit is passed,
    // everything up to and including the next terminator is discarded as it arrives, so no
    // piece of it is ever taken for a command and a peer that never sends a terminator costs
    // bounded memory. Lines before and after it are cut as usual.
    Cut append(const QString &received, const QString &terminator);

    void clear();
    bool isEmpty() const { return m_pending.isEmpty() && !m_discarding; }

private:
    // Keeps only what could begin a terminator split across arrivals.
    void keepTerminatorTail(const QString &terminator);

    QString m_pending;
    // Where the search for the next terminator goes on, so text arriving a character at a
    // time is not searched again from the front.
    qsizetype m_searchFrom = 0;
    bool m_discarding = false;
};
