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

    int FreeFile() const;
    // Throws RuntimeError: 53 missing file, 76 missing folder, 75 other access failures,
    // 55 when the number is in use.
    void OpenForInput(int fileNumber, const QString &path);
    bool Eof(int fileNumber) const;
    // Throws RuntimeError 62 past the end, 52 for a number not open.
    QString LineInput(int fileNumber);
    void Close(int fileNumber);
    void CloseAll();
    int openCount() const { return int(m_files.size()); }

private:
    QFile &file(int fileNumber) const;

    std::map<int, std::unique_ptr<QFile>> m_files;
};

} // namespace platform
