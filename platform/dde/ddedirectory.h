#pragma once

#include <QString>
#include <sys/types.h>

// Where DDE applications are reached: one socket per application in a private per-user
// directory, $XDG_RUNTIME_DIR/dde/ where that variable is set, else /tmp/dde-<uid>/.
namespace platform::DdeDirectory {

// The directory's path (it may not exist yet).
QString path();

// Why a directory with this owner and mode (st_mode) may not hold the user's sockets, or an
// empty text when it may: it must be a directory owned by the user and closed to group and
// others.
QString problem(uid_t owner, mode_t mode, uid_t user);

// Creates the directory with mode 0700 where it is missing and checks it. Raises
// platform::RuntimeError 70 with the reason when it is not private.
QString ensure();

// True for names a socket can carry: not empty, at most 64 characters, no '/', no NUL, not
// "." or "..".
bool isValidApplicationName(const QString &name);

// The socket path of an application inside `directory`: its name in lower case.
QString socketPath(const QString &directory, const QString &applicationName);

} // namespace platform::DdeDirectory
