#include "fileattributes.h"
#include "fileerrors.h"

#include <cerrno>
#include <sys/stat.h>

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
    struct stat status {};
    if (::stat(nativePath(path).constData(), &status) != 0)
        throwFileError(errno, path, QStringLiteral("reading the attributes of"));
    return attributesFromMode(status.st_mode);
}

void SetAttr(const QString &path, int attributes)
{
    const QByteArray native = nativePath(path);
    struct stat status {};
    if (::stat(native.constData(), &status) != 0)
        throwFileError(errno, path, QStringLiteral("setting the attributes of"));
    if (::chmod(native.constData(), modeWithAttributes(status.st_mode, attributes) & 07777) != 0)
        throwFileError(errno, path, QStringLiteral("setting the attributes of"));
}

} // namespace platform
