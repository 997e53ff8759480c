#include "fileattributes.h"
#include "fileerrors.h"
#include "pathopen.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {
constexpr mode_t kAnyWrite = S_IWUSR | S_IWGRP | S_IWOTH;
} // namespace

int attributesFromMode(mode_t mode)
{
    int attributes = FileAttribute::Normal;
    if (!(mode & kAnyWrite))
        attributes |= FileAttribute::ReadOnly;
    if (mode & S_IXOTH)
        attributes |= FileAttribute::Hidden;
    if (mode & S_IXGRP)
        attributes |= FileAttribute::System;
    if (mode & S_IXUSR)
        attributes |= FileAttribute::Archive;
    return attributes;
}

mode_t modeWithAttributes(mode_t mode, int attributes)
{
    mode &= ~(S_IXUSR | S_IXGRP | S_IXOTH);
    if (attributes & FileAttribute::Archive)
        mode |= S_IXUSR;
    if (attributes & FileAttribute::System)
        mode |= S_IXGRP;
    if (attributes & FileAttribute::Hidden)
        mode |= S_IXOTH;
    if (attributes & FileAttribute::ReadOnly)
        mode &= ~kAnyWrite;
    else
        mode |= S_IWUSR;
    return mode;
}

int GetAttr(const QString &path)
{
    const QString operation = QStringLiteral("reading the attributes of");
    const int descriptor = openPath(path, O_PATH, 0, operation);
    struct stat status
    {
    };
    const bool read = descriptor >= 0 && ::fstat(descriptor, &status) == 0;
    const int systemError = errno;
    if (descriptor >= 0)
        ::close(descriptor);
    if (!read)
        throwFileError(systemError, path, operation);
    return attributesFromMode(status.st_mode);
}

void SetAttr(const QString &path, int attributes)
{
    const QString operation = QStringLiteral("setting the attributes of");
    const int descriptor = openPath(path, O_PATH, 0, operation);
    struct stat status
    {
    };
    // A descriptor opened with O_PATH cannot be changed through fchmod(), but its entry in
    // /proc names exactly the file the walk found.
    const QByteArray entry = "/proc/self/fd/" + QByteArray::number(descriptor);
    const bool set = descriptor >= 0 && ::fstat(descriptor, &status) == 0
                     && ::chmod(entry.constData(), modeWithAttributes(status.st_mode, attributes) & 07777) == 0;
    const int systemError = errno;
    if (descriptor >= 0)
        ::close(descriptor);
    if (!set)
        throwFileError(systemError, path, operation);
}

} // namespace platform
