#include "ddedirectory.h"

#include "platform/dde/ddeerrors.h"
#include "platform/errors.h"

#include <QDir>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::DdeDirectory {

namespace {
constexpr mode_t kPrivateMode = 0700;
constexpr mode_t kGroupAndOthers = 0077;
constexpr int kMaximumNameLength = 64;
} // namespace

QString path()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return QFile::decodeName(runtime) + QStringLiteral("/dde");
    return QStringLiteral("/tmp/dde-") + QString::number(geteuid());
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

QString ensure()
{
    const QString directory = path();
    const QByteArray encoded = QFile::encodeName(directory);
    auto refuse = [&directory](const QString &reason) {
        return RuntimeError(DdeErrorNumber::DirectoryNotPrivate,
                            QStringLiteral("Permission denied: the DDE directory %1 %2").arg(directory, reason));
    };

    if (::mkdir(encoded.constData(), kPrivateMode) != 0 && errno != EEXIST) {
        const int failure = errno;
        if (failure == ENOENT) {
            // $XDG_RUNTIME_DIR itself is missing; create it privately as well.
            if (!QDir().mkpath(directory) || ::chmod(encoded.constData(), kPrivateMode) != 0)
                throw refuse(QStringLiteral("cannot be created"));
        } else {
            throw refuse(QStringLiteral("cannot be created: ") + QString::fromLocal8Bit(std::strerror(failure)));
        }
    }
    // lstat: a symbolic link planted in place of the directory is refused, not followed.
    struct stat status {};
    if (::lstat(encoded.constData(), &status) != 0)
        throw refuse(QStringLiteral("cannot be examined"));
    const QString reason = problem(status.st_uid, status.st_mode, geteuid());
    if (!reason.isEmpty())
        throw refuse(reason);
    return directory;
}

bool isValidApplicationName(const QString &name)
{
    return !name.isEmpty() && name.size() <= kMaximumNameLength && !name.contains(QLatin1Char('/'))
           && !name.contains(QChar(0)) && name != QLatin1String(".") && name != QLatin1String("..");
}

QString socketPath(const QString &directory, const QString &applicationName)
{
    return directory + QLatin1Char('/') + applicationName.toLower();
}

} // namespace platform::DdeDirectory
