#include "ddedirectory.h"

#include "runtimefolder.h"

namespace platform::DdeDirectory {

namespace {
constexpr int kMaximumNameLength = 64;
} // namespace

QString path()
{
    return RuntimeFolder::path(QStringLiteral("dde"));
}

QString problem(uid_t owner, mode_t mode, uid_t user)
{
    return RuntimeFolder::problem(owner, mode, user);
}

QString ensure()
{
    return RuntimeFolder::ensure(QStringLiteral("dde"), QStringLiteral("DDE directory"));
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
