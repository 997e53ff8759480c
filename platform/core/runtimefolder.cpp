#include "runtimefolder.h"

#include "errors.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::RuntimeFolder {

namespace {
constexpr mode_t kPrivateMode = 0700;
constexpr mode_t kGroupAndOthers = 0077;
} // namespace

QString path(const QString &name)
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return QFile::decodeName(runtime) + QLatin1Char('/') + name;
    return QStringLiteral("/tmp/") + name + QLatin1Char('-') + QString::number(geteuid());
}

QString problem(uid_t owner, mode_t mode, uid_t user)
{
    if (!S_ISDIR(mode))
        return QStringLiteral("is not a directory");
    if (owner != user)
        return QStringLiteral("belongs to user %1, not to user %2").arg(owner).arg(user);
    if (mode & kGroupAndOthers)
        return QStringLiteral("is open to group or others (mode %1)").arg(mode & 07777, 4, 8, QLatin1Char('0'));
    return QString();
}

QString ensure(const QString &name, const QString &what)
{
    const QString folder = path(name);
    const QByteArray encoded = QFile::encodeName(folder);
    auto refuse = [&folder, &what](const QString &reason) {
        return RuntimeError(ErrorNumber::PermissionDenied,
                            QStringLiteral("Permission denied: the %1 %2 %3").arg(what, folder, reason));
    };

    if (::mkdir(encoded.constData(), kPrivateMode) != 0 && errno != EEXIST) {
        const int failure = errno;
        if (failure == ENOENT) {
            // $XDG_RUNTIME_DIR itself is missing; create it privately as well.
            if (!QDir().mkpath(folder) || ::chmod(encoded.constData(), kPrivateMode) != 0)
                throw refuse(QStringLiteral("cannot be created"));
        } else {
            throw refuse(QStringLiteral("cannot be created: ") + QString::fromLocal8Bit(std::strerror(failure)));
        }
    }
    // lstat: a symbolic link planted in place of the folder is refused, not followed.
    struct stat status
    {
    };
    if (::lstat(encoded.constData(), &status) != 0)
        throw refuse(QStringLiteral("cannot be examined"));
    const QString reason = problem(status.st_uid, status.st_mode, geteuid());
    if (!reason.isEmpty())
        throw refuse(reason);
    return folder;
}

} // namespace platform::RuntimeFolder
