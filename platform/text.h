#pragma once

#include <QString>

namespace platform {

// Removes leading and trailing space characters (U+0020 only: tabs, carriage returns and line
// feeds stay), as the programs trim typed text and command lines.
QString trimSpaces(const QString &text);

} // namespace platform
