#pragma once

#include <QString>
#include <map>
#include <memory>

class QFile;

namespace platform {

// Sequential text input under file numbers, as the data generator uses it: take a free
// number, open a file under it, read it line by line, close everything at once. Text is one
// byte per character (Latin-1). A line ends at CR, CRLF or LF; the ending is not returned.
class TextFiles
{
public:
    TextFiles();
    ~TextFiles();
    TextFiles(const TextFiles &) = delete;
    TextFiles &operator=(const TextFiles &) = delete;

    // A line longer than this is refused rather than read into memory whole.
    static constexpr qsizetype kMaximumLineLength = 1024 * 1024;

    int FreeFile() const;
    // Opens without ever waiting: a named pipe, socket, folder or device is refused (75)
    // like a file that cannot be read. Throws RuntimeError: 53 missing file, 76 missing
    // folder, 75 other access failures, 55 when the number is in use.
    void OpenForInput(int fileNumber, const QString &path);
    // True when reading finds nothing more, whatever size the file claims: a file of /proc
    // or /sys holds more or less than its size says, and a file may shrink while it is open.
    // Throws RuntimeError 52 for a number not open, 57 when the file cannot be read.
    bool Eof(int fileNumber) const;
    // Throws RuntimeError 62 past the end, 52 for a number not open, 57 when the file cannot
    // be read, 6 for a line longer than kMaximumLineLength (the file stays at that point).
    QString LineInput(int fileNumber);
    void Close(int fileNumber);
    void CloseAll();
    int openCount() const { return int(m_files.size()); }

private:
    struct OpenFile;
    OpenFile &openFile(int fileNumber) const;

    std::map<int, std::unique_ptr<OpenFile>> m_files;
};

} // namespace platform
