#include "textfiles.h"
#include "errors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {
constexpr int kFirstFileNumber = 1;
constexpr char kCarriageReturn = '\r';
constexpr char kLineFeed = '\n';

QString kindOfFile(mode_t mode)
{
    if (S_ISFIFO(mode))
        return QStringLiteral("a named pipe");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    return QStringLiteral("not a regular file");
}

} // namespace

struct TextFiles::OpenFile
{
    QFile file;
    QString path; // a QFile opened on a descriptor has no name of its own
};

TextFiles::TextFiles() = default;
TextFiles::~TextFiles() = default;

int TextFiles::FreeFile() const
{
    int number = kFirstFileNumber;
    while (m_files.count(number))
        ++number;
    return number;
}

void TextFiles::OpenForInput(int fileNumber, const QString &path)
{
    if (m_files.count(fileNumber))
        throw RuntimeError(ErrorNumber::FileAlreadyOpen);
    const QFileInfo info(path);
    if (path.isEmpty() || info.isDir())
        throw RuntimeError(ErrorNumber::FileNotFound, QStringLiteral("File not found: '%1'").arg(path));
    if (!info.absoluteDir().exists())
        throw RuntimeError(ErrorNumber::PathNotFound, QStringLiteral("Path not found: '%1'").arg(path));
    if (!info.exists())
        throw RuntimeError(ErrorNumber::FileNotFound, QStringLiteral("File not found: '%1'").arg(path));

    // Without blocking: opening a named pipe would otherwise wait for a writer, and the
    // kind of file is checked on what was opened, not on what the name meant a moment ago.
    const QByteArray name = QFile::encodeName(path);
    const int descriptor = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status = {};
    const int examined = descriptor >= 0 ? ::fstat(descriptor, &status) : ::stat(name.constData(), &status);
    if (examined == 0 && !S_ISREG(status.st_mode)) {
        // A socket cannot even be opened; it is refused for what it is all the same.
        if (descriptor >= 0)
            ::close(descriptor);
        throw RuntimeError(ErrorNumber::PathFileAccess,
                           QStringLiteral("Path/File access error: '%1' is %2, not a data file")
                               .arg(path, kindOfFile(status.st_mode)));
    }
    if (descriptor < 0 || examined != 0) {
        const int failure = errno;
        if (descriptor >= 0)
            ::close(descriptor);
        throw RuntimeError(ErrorNumber::PathFileAccess,
                           QStringLiteral("Path/File access error: '%1': %2").arg(path, qt_error_string(failure)));
    }
    auto opened = std::make_unique<OpenFile>();
    opened->path = path;
    if (!opened->file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        throw RuntimeError(ErrorNumber::PathFileAccess,
                           QStringLiteral("Path/File access error: '%1': %2").arg(path, opened->file.errorString()));
    }
    m_files.emplace(fileNumber, std::move(opened));
}

TextFiles::OpenFile &TextFiles::openFile(int fileNumber) const
{
    const auto found = m_files.find(fileNumber);
    if (found == m_files.end())
        throw RuntimeError(ErrorNumber::BadFileNumber);
    return *found->second;
}

bool TextFiles::Eof(int fileNumber) const
{
    // Asked of what a read returns, not of the file's size, which QFile::atEnd() compares with.
    OpenFile &input = openFile(fileNumber);
    char next = 0;
    const qint64 peeked = input.file.peek(&next, 1);
    if (peeked < 0)
        throw RuntimeError(ErrorNumber::DeviceIO,
                           QStringLiteral("Device I/O error: '%1': %2").arg(input.path, input.file.errorString()));
    return peeked == 0;
}

QString TextFiles::LineInput(int fileNumber)
{
    if (Eof(fileNumber))
        throw RuntimeError(ErrorNumber::InputPastEnd);
    QFile &input = openFile(fileNumber).file;

    QByteArray line;
    char c = 0;
    while (input.getChar(&c)) {
        if (c == kLineFeed)
            break;
        if (line.size() == kMaximumLineLength)
            throw RuntimeError(
                ErrorNumber::Overflow,
                QStringLiteral("Overflow: a line of the file is longer than %1 characters").arg(kMaximumLineLength));
        if (c == kCarriageReturn) {
            char next = 0;
            if (input.peek(&next, 1) == 1 && next == kLineFeed)
                input.getChar(&next);
            break;
        }
        line.append(c);
    }
    return QString::fromLatin1(line);
}

void TextFiles::Close(int fileNumber)
{
    m_files.erase(fileNumber);
}

void TextFiles::CloseAll()
{
    m_files.clear();
}

} // namespace platform
