#include "fileerrors.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

// ENOENT means either the file or a folder on its way is missing; the program tells them apart.
bool folderExists(const QString &path)
{
    const QFileInfo info(path);
    return QFileInfo(info.absolutePath()).isDir();
}

QString describe(const QString &condition, const QString &operation, const QString &path, int systemError)
{
    return QStringLiteral("%1 (%2 '%3': %4)")
        .arg(condition, operation, path, QString::fromLocal8Bit(std::strerror(systemError)));
}

} // namespace

QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(path);
}

Error fileError(int systemError, const QString &path, const QString &operation)
{
    switch (systemError) {
    case ENOENT:
        if (!folderExists(path))
            return {ErrorNumber::PathNotFound,
                    describe(QStringLiteral("Path not found"), operation, path, systemError)};
        return {ErrorNumber::FileNotFound, describe(QStringLiteral("File not found"), operation, path, systemError)};
    case ENOTDIR:
        return {ErrorNumber::PathNotFound, describe(QStringLiteral("Path not found"), operation, path, systemError)};
    case ENOSPC:
    case EDQUOT:
        return {FileErrorNumber::DiskFull, describe(QStringLiteral("Disk full"), operation, path, systemError)};
    case EIO:
        return {FileErrorNumber::DeviceIo, describe(QStringLiteral("Device I/O error"), operation, path, systemError)};
    default:
        return {ErrorNumber::PathFileAccess,
                describe(QStringLiteral("Path/File access error"), operation, path, systemError)};
    }
}

Error lockConflictError(const QString &path)
{
    return {ErrorNumber::PermissionDenied,
            QStringLiteral("Permission denied (the file '%1' is held open by another program)").arg(path)};
}

void throwFileError(int systemError, const QString &path, const QString &operation)
{
    throw RuntimeError(fileError(systemError, path, operation));
}

} // namespace platform
