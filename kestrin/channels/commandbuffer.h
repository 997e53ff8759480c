#pragma once

#include <QString>
#include <QStringList>

// Cutting the received text of the byte-stream channels (serial port, TCP connection) into
// command lines at the line terminator. One routine serves both channels.

// Positions in the buffer are 16-bit: a terminator must stand within the first 32767
// characters, and text without a terminator may not grow beyond that.
constexpr int kMaximumBufferedCommand = 32767;

// Removes every complete line, with its terminator, from the front of buffer and returns the
// lines in order; a trailing partial line stays. An empty terminator cuts nothing.
// Throws platform::RuntimeError 6 (overflow) when a terminator stands beyond position
// kMaximumBufferedCommand or the text left without one is longer than that; the caller then
// empties the buffer, so a peer that never sends a terminator costs bounded memory.
QStringList takeCompleteLines(QString &buffer, const QString &terminator);
