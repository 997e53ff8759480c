#pragma once

#include <QString>

namespace platform {

// Opens `path` as open(2) does with `flags` (O_PATH included) and `mode`, but resolves it one
// name at a time and follows symbolic links itself, so that it can apply the rule of the
// kernel's fs.protected_symlinks whether or not the kernel has it on: a link in a sticky
// folder that everybody may write (/tmp, say) is followed only when it belongs to this
// program's user or to the folder's owner. Another user could otherwise plant a link there
// under the name of an exchange file and make this program write or reset a file of its
// choice.
//
// Returns the descriptor, always close-on-exec. Throws RuntimeError 75 for such a link; any
// other failure returns -1 with errno set as open(2) sets it.
int openPath(const QString &path, int flags, unsigned mode, const QString &operation);

} // namespace platform
