#pragma once

#include "errors.h"

#include <QString>

namespace platform {

// Error numbers of the file layer beyond the common ones in errors.h.
namespace FileErrorNumber {
constexpr int OutOfMemory = 7;
constexpr int OutOfStringSpace = 14;
constexpr int DeviceIo = 57;
constexpr int DiskFull = 61;
} // namespace FileErrorNumber

// Turns a failed system call on `path` (its errno) into the program's error numbers:
// a missing file 53, a missing or non-folder directory 76, a full disk 61, an input/output
// fault 57, a permission refusal or any other access failure 75.
Error fileError(int systemError, const QString &path, const QString &operation);

// Another opener holds the file exclusively: 70, which callers wait out.
Error lockConflictError(const QString &path);

// The same, raised.
[[noreturn]] void throwFileError(int systemError, const QString &path, const QString &operation);

// The path in the file system's own encoding.
QByteArray nativePath(const QString &path);

} // namespace platform
