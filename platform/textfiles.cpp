#include "textfiles.h"
#include "errors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace platform {

namespace {
constexpr int kFirstFileNumber = 1;
constexpr char kCarriageReturn = '\r';
constexpr char kLineFeed = '\n';
} // namespace

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

    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly))
        throw RuntimeError(ErrorNumber::PathFileAccess,
                           QStringLiteral("Path/File access error: '%1': %2").arg(path, file->errorString()));
    m_files.emplace(fileNumber, std::move(file));
}

QFile &TextFiles::file(int fileNumber) const
{
    const auto found = m_files.find(fileNumber);
    if (found == m_files.end())
        throw RuntimeError(ErrorNumber::BadFileNumber);
    return *found->second;
}

bool TextFiles::Eof(int fileNumber) const
{
    return file(fileNumber).atEnd();
}

QString TextFiles::LineInput(int fileNumber)
{
    QFile &input = file(fileNumber);
    if (input.atEnd())
        throw RuntimeError(ErrorNumber::InputPastEnd);

    QByteArray line;
    char c = 0;
    while (input.getChar(&c)) {
        if (c == kLineFeed)
            break;
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
