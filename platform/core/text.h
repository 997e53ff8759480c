#pragma once

#include <QString>

namespace platform {

// Removes leading and trailing space characters (U+0020 only: tabs, carriage returns and line
// feeds stay), as the programs trim typed text and command lines.
QString trimSpaces(const QString &text);

// Upper-cases one character at a time, as a byte channel carries text: a Latin-1 letter whose
// capital is Latin-1 too takes it (a to A, à to À); every other character stays as it is (ß,
// ÿ and µ, whose capitals are two letters or lie beyond Latin-1, and whatever lies beyond
// Latin-1 itself, such as ſ). So a command reads the same whichever channel brought it, and
// the word a reply quotes goes back byte for byte.
QString toUpperLatin1(const QString &text);

} // namespace platform
