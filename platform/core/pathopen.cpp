#include "pathopen.h"
#include "fileerrors.h"

#include <QByteArrayList>
#include <QFile>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

constexpr int kMaxLinks = 40; // as many as the kernel follows in one path

// A descriptor closed when it goes out of scope.
class Descriptor
{
public:
    explicit Descriptor(int descriptor = -1)
        : m_descriptor(descriptor)
    {
    }
    ~Descriptor() { reset(-1); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const { return m_descriptor; }
    int release() { return std::exchange(m_descriptor, -1); }
    void reset(int descriptor)
    {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
        m_descriptor = descriptor;
    }

private:
    int m_descriptor;
};

// The names to walk. A path ending in a slash or a dot names a folder, so it keeps a final
// "." and the last real name is walked as a folder.
QByteArrayList namesOf(const QByteArray &path)
{
    QByteArrayList names;
    const QByteArrayList parts = path.split('/');
    for (const QByteArray &part : parts) {
        if (!part.isEmpty() && part != ".")
            names << part;
    }
    if (names.isEmpty() || parts.constLast().isEmpty() || parts.constLast() == ".")
        names << QByteArrayLiteral(".");
    return names;
}

// Most paths have no link on the way: then the kernel resolves the whole path in one call and
// fails with ELOOP at the first link it meets. ENOSYS (before Linux 5.6) and EPERM (some
// sandboxes refuse unknown calls so) leave the path to the walk too.
int openWithoutLinks(const QByteArray &path, int flags, unsigned mode)
{
    struct open_how how
    {
    };
    how.flags = std::uint64_t(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? mode : 0; // refused unless something is created
    how.resolve = RESOLVE_NO_SYMLINKS;
    return int(::syscall(SYS_openat2, AT_FDCWD, path.constData(), &how, sizeof how));
}

// The rule of fs.protected_symlinks.
bool mayFollow(const struct stat &folder, const struct stat &link)
{
    if (link.st_uid == ::geteuid())
        return true;
    if ((folder.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH))
        return true;
    return folder.st_uid == link.st_uid;
}

} // namespace

int openPath(const QString &path, int flags, unsigned mode, const QString &operation)
{
    const QByteArray native = nativePath(path);
    if (native.isEmpty()) {
        errno = ENOENT;
        return -1;
    }
    const int direct = openWithoutLinks(native, flags, mode);
    if (direct >= 0 || (errno != ELOOP && errno != ENOSYS && errno != EPERM))
        return direct;

    QByteArrayList names = namesOf(native);
    Descriptor folder(::open(native.startsWith('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0)
        return -1;

    int linksFollowed = 0;
    // Never out of names here: a path and a link's target each give one at least.
    for (;;) {
        const QByteArray name = names.takeFirst();
        const bool last = names.isEmpty();
        // Most names are no link: one call opens them, and O_NOFOLLOW leaves a link to the
        // walk below (ELOOP).
        if (last && !(flags & O_PATH)) {
            const int descriptor = ::openat(folder.get(), name.constData(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
            if (descriptor >= 0 || errno != ELOOP)
                return descriptor;
        }
        Descriptor entry(::openat(folder.get(), name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat status
        {
        };
        if (entry.get() < 0 || ::fstat(entry.get(), &status) != 0)
            return -1;

        if (S_ISLNK(status.st_mode)) {
            struct stat folderStatus
            {
            };
            if (::fstat(folder.get(), &folderStatus) != 0)
                return -1;
            if (!mayFollow(folderStatus, status)) {
                throw RuntimeError(ErrorNumber::PathFileAccess,
                                   QStringLiteral("Path/File access error (%1 '%2': '%3' is a symbolic link of user %4 "
                                                  "in a sticky folder everybody may write, which is not followed)")
                                       .arg(operation, path, QFile::decodeName(name))
                                       .arg(status.st_uid));
            }
            if (++linksFollowed > kMaxLinks) {
                errno = ELOOP;
                return -1;
            }
            // Read through the descriptor: the link read is the link whose owner was checked.
            char target[PATH_MAX];
            const ssize_t length = ::readlinkat(entry.get(), "", target, sizeof target);
            if (length < 0)
                return -1;
            if (length == ssize_t(sizeof target)) {
                errno = ENAMETOOLONG;
                return -1;
            }
            const QByteArray targetPath(target, length);
            QByteArrayList targetNames = namesOf(targetPath);
            // The link stands for the names of its target; a target naming a folder keeps
            // its final "." only where nothing follows it.
            if (!last && targetNames.constLast() == ".")
                targetNames.removeLast();
            names = targetNames + names;
            if (targetPath.startsWith('/')) {
                folder.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (folder.get() < 0)
                    return -1;
            }
            continue;
        }
        if (last) {
            if (flags & O_PATH)
                return entry.release();
            // It was a link a moment ago; taken for one still rather than looked at again.
            errno = ELOOP;
            return -1;
        }
        if (!S_ISDIR(status.st_mode)) {
            errno = ENOTDIR;
            return -1;
        }
        folder.reset(entry.release());
    }
}

} // namespace platform
