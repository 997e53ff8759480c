// The data files a run replays: read line by line, each line ending at CR, CR LF or LF, one
// character per byte, and the reading ends with the file.
#include "fuzzcheck.h"

#include "textfiles.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QTemporaryDir>

namespace {

const QString &dataFile()
{
    static const QTemporaryDir folder;
    static const QString path = folder.filePath(QStringLiteral("data.txt"));
    FUZZ_EXPECT(folder.isValid());
    return path;
}

// The lines of the content as the file format defines them, worked out on the bytes.
QList<QByteArray> linesOf(const QByteArray &bytes)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = start;
        while (end < bytes.size() && bytes.at(end) != '\r' && bytes.at(end) != '\n')
            ++end;
        lines.append(bytes.mid(start, end - start));
        if (end + 1 < bytes.size() && bytes.at(end) == '\r' && bytes.at(end + 1) == '\n')
            ++end;
        start = end + 1;
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString &path = dataFile();
    {
        QFile file(path);
        FUZZ_EXPECT(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_EXPECT(file.write(bytes) == bytes.size());
    }

    const QList<QByteArray> expected = linesOf(bytes);
    platform::TextFiles files;
    const int number = files.FreeFile();
    files.OpenForInput(number, path);
    qsizetype count = 0;
    while (!files.Eof(number)) {
        // Every line but the last takes at least its ending: more lines than that never end.
        FUZZ_EXPECT(count < expected.size());
        FUZZ_EXPECT(files.LineInput(number) == QString::fromLatin1(expected.at(count)));
        ++count;
    }
    FUZZ_EXPECT(count == expected.size());
    files.CloseAll();
    return 0;
}
