#pragma once

#include <QString>
#include <sys/types.h>

namespace platform {

// The attribute bits of a file, as programs exchanging files expect them. Linux files carry no
// such bits; they are kept in the permission bits the way file servers keep them for their
// clients: archive = owner-execute, system = group-execute, hidden = others-execute,
// read-only = no write permission at all.
namespace FileAttribute {
constexpr int Normal = 0;
constexpr int ReadOnly = 1;
constexpr int Hidden = 2;
constexpr int System = 4;
constexpr int Archive = 32;
} // namespace FileAttribute

// The attributes a permission mode stands for, and the mode that carries `attributes`
// starting from `mode` (other permission bits kept; clearing read-only gives the owner write
// permission back).
int attributesFromMode(mode_t mode);
mode_t modeWithAttributes(mode_t mode, int attributes);

// Attributes of the file at `path`, links followed as openPath() (pathopen.h) follows them.
// Throws RuntimeError: 53 missing file, 76 missing folder, 75 other failures.
int GetAttr(const QString &path);

// Gives the file at `path` exactly `attributes`; FileAttribute::Normal clears them all.
void SetAttr(const QString &path, int attributes);

} // namespace platform
