#pragma once

#include <QString>
#include <sys/types.h>

// Private per-user folders for what the programs publish to the user's other programs (DDE
// sockets, the paths of virtual serial ports): $XDG_RUNTIME_DIR/<name> where that variable is
// set, else /tmp/<name>-<uid>. Only the owner may enter one, so nothing in it needs a check
// of its own.
namespace platform::RuntimeFolder {

// The folder's path (it may not exist yet).
QString path(const QString &name);

// Why a folder with this owner and mode (st_mode) may not hold the user's files, or an empty
// text when it may: it must be a directory owned by the user and closed to group and others.
QString problem(uid_t owner, mode_t mode, uid_t user);

// Creates the folder with mode 0700 where it is missing and checks it. Raises
// platform::RuntimeError 70, "Permission denied: the <what> <path> <reason>", when it is not
// private. Returns its path.
QString ensure(const QString &name, const QString &what);

} // namespace platform::RuntimeFolder
