#include "exclusivefile.h"
#include "fileattributes.h"
#include "fileerrors.h"
#include "pathopen.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr mode_t kNewFileMode = 0666; // narrowed by the umask, as for any new file

} // namespace

ExclusiveFile::~ExclusiveFile()
{
    close();
}

void ExclusiveFile::open(const QString &path, Mode mode)
{
    close();
    m_path = path;
    const QString operation = QStringLiteral("opening");
    // A write lock needs a descriptor open for writing, also for reading the file. A file
    // without write permission is read under a read lock, which still keeps every writer out.
    m_descriptor = openPath(path, O_RDWR, 0, operation);
    bool readOnlyFallback = false;
    if (m_descriptor < 0 && errno == EACCES && mode == Mode::Read) {
        m_descriptor = openPath(path, O_RDONLY, 0, operation);
        readOnlyFallback = true;
    }
    if (m_descriptor < 0)
        throwFileError(errno, path, operation);
    lock(readOnlyFallback);
    if (mode == Mode::Write)
        checkMarkable();
}

void ExclusiveFile::lock(bool readOnlyFallback)
{
    struct flock region
    {
    };
    region.l_type = readOnlyFallback ? F_RDLCK : F_WRLCK;
    region.l_whence = SEEK_SET;
    region.l_start = 0;
    region.l_len = 0; // to the end, however far the file grows
    region.l_pid = 0;
    if (::fcntl(m_descriptor, F_OFD_SETLK, &region) == 0)
        return;
    const int systemError = errno;
    close();
    if (systemError == EAGAIN || systemError == EACCES)
        throw RuntimeError(lockConflictError(m_path));
    throwFileError(systemError, m_path, QStringLiteral("locking"));
}

void ExclusiveFile::checkMarkable()
{
    // Every write marks the file, and only its owner (or a privileged program) may change its
    // mode. Asked with the mode it already has, the kernel tells whether a program that is not
    // the owner may, before anything is written: a record written without its mark would be
    // overwritten unread.
    struct stat status
    {
    };
    if (::fstat(m_descriptor, &status) == 0
        && (status.st_uid == ::geteuid() || ::fchmod(m_descriptor, status.st_mode & 07777) == 0))
        return;
    const int systemError = errno;
    close();
    if (systemError != EPERM)
        throwFileError(systemError, m_path, QStringLiteral("opening"));
    throw RuntimeError(ErrorNumber::PathFileAccess,
                       QStringLiteral("Path/File access error (the file '%1' belongs to user %2; only its owner "
                                      "can mark it unread, so nothing was written)")
                           .arg(m_path)
                           .arg(status.st_uid));
}

void ExclusiveFile::close()
{
    if (m_descriptor < 0)
        return;
    ::close(m_descriptor); // the lock goes with the last descriptor of the open file
    m_descriptor = -1;
}

void ExclusiveFile::fail(int systemError, const QString &operation) const
{
    throwFileError(systemError, m_path, operation);
}

int ExclusiveFile::attributes() const
{
    struct stat status
    {
    };
    if (::fstat(m_descriptor, &status) != 0)
        fail(errno, QStringLiteral("reading the attributes of"));
    return attributesFromMode(status.st_mode);
}

void ExclusiveFile::setAttributes(int attributes)
{
    struct stat status
    {
    };
    if (::fstat(m_descriptor, &status) != 0)
        fail(errno, QStringLiteral("setting the attributes of"));
    if (::fchmod(m_descriptor, modeWithAttributes(status.st_mode, attributes) & 07777) != 0)
        fail(errno, QStringLiteral("setting the attributes of"));
}

qint64 ExclusiveFile::length() const
{
    struct stat status
    {
    };
    if (::fstat(m_descriptor, &status) != 0)
        fail(errno, QStringLiteral("taking the length of"));
    return status.st_size;
}

QByteArray ExclusiveFile::read(qint64 count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    qint64 done = 0;
    while (done < count) {
        const ssize_t got = ::pread(m_descriptor, bytes.data() + done, size_t(count - done), done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            fail(errno, QStringLiteral("reading"));
        if (got == 0)
            break; // shortened meanwhile by a program that ignores the lock
        done += got;
    }
    bytes.truncate(done);
    return bytes;
}

void ExclusiveFile::replace(const QByteArray &bytes)
{
    if (::ftruncate(m_descriptor, 0) != 0)
        fail(errno, QStringLiteral("emptying"));
    writeFrom(0, bytes);
}

void ExclusiveFile::append(const QByteArray &bytes)
{
    writeFrom(length(), bytes);
}

void ExclusiveFile::writeFrom(qint64 offset, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t written =
            ::pwrite(m_descriptor, bytes.constData() + done, size_t(bytes.size() - done), offset + done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            fail(errno, QStringLiteral("writing"));
        done += written;
    }
    markArchive();
}

void ExclusiveFile::markArchive()
{
    struct stat status
    {
    };
    if (::fstat(m_descriptor, &status) != 0)
        fail(errno, QStringLiteral("marking"));
    if (::fchmod(m_descriptor, (status.st_mode | S_IXUSR) & 07777) != 0)
        fail(errno, QStringLiteral("marking"));
}

void createEmptyFile(const QString &path)
{
    const int descriptor = openPath(path, O_WRONLY | O_CREAT | O_EXCL, kNewFileMode, QStringLiteral("creating"));
    if (descriptor < 0) {
        if (errno == EEXIST)
            return;
        throwFileError(errno, path, QStringLiteral("creating"));
    }
    struct stat status
    {
    };
    const bool marked =
        ::fstat(descriptor, &status) == 0 && ::fchmod(descriptor, (status.st_mode | S_IXUSR) & 07777) == 0;
    const int systemError = errno;
    ::close(descriptor);
    if (!marked)
        throwFileError(systemError, path, QStringLiteral("marking"));
}

} // namespace platform
