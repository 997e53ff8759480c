#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// One exchange file opened exclusively: right after opening, before anything is read or
// written, the whole file is locked for writing with an open-file-description lock
// (fcntl F_OFD_SETLK). Another opener that tries the same meets error 70 until this object
// closes the file. Traditional record locks (lockf, F_SETLK) of other programs conflict with
// it too; flock() locks do not.
//
// Every write through this class marks the file with the archive attribute, as a file system
// with such an attribute does on its own.
class ExclusiveFile
{
public:
    enum class Mode {
        Read,  // read the content and reset its attributes
        Write, // replace the content or append to it
    };

    ExclusiveFile() = default;
    ~ExclusiveFile();
    ExclusiveFile(const ExclusiveFile &) = delete;
    ExclusiveFile &operator=(const ExclusiveFile &) = delete;

    // Opens an existing file; it is never created nor truncated here, and links are followed
    // as openPath() (pathopen.h) follows them. Throws RuntimeError: 53 missing file, 76 missing
    // folder, 70 when another opener holds the file, 75 refused or other failures, among them
    // a write open of a file whose attributes this program may not set (another user's).
    void open(const QString &path, Mode mode);
    bool isOpen() const { return m_descriptor >= 0; }
    void close();

    // Attributes of the open file, read through the open file itself (see fileattributes.h).
    int attributes() const;
    void setAttributes(int attributes);

    qint64 length() const;
    // The first `count` bytes of the file.
    QByteArray read(qint64 count);
    // Empties the file and writes `bytes` from its start.
    void replace(const QByteArray &bytes);
    // Writes `bytes` after the present end.
    void append(const QByteArray &bytes);

private:
    void lock(bool readOnlyFallback);
    void checkMarkable();
    void writeFrom(qint64 offset, const QByteArray &bytes);
    void markArchive();
    [[noreturn]] void fail(int systemError, const QString &operation) const;

    int m_descriptor = -1;
    QString m_path;
};

// Creates `path` empty without taking any lock, marked with the archive attribute. A file
// that already exists (another program created it meanwhile) is left as it is, content and
// attributes included. Throws RuntimeError as ExclusiveFile::open does.
void createEmptyFile(const QString &path);

} // namespace platform
