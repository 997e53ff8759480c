// brallow's exchange files: whatever a peer left in the input file is received as that text,
// one character per byte, and only once; sent on, it arrives as the same bytes and a CR.
#include "fuzzcheck.h"

#include "clsFileComm.h"
#include "fileattributes.h"
#include "messagebox.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace FileAttribute = platform::FileAttribute;

namespace {

// Below this many characters of unread text, the receiving side is given a smaller capacity
// so that refusing text too long to take is explored too.
constexpr std::uint8_t kSmallCapacityMark = 32;

struct Scratch
{
    QTemporaryDir folder;
    QString input = folder.filePath(QStringLiteral("peer-to-us"));
    QString output = folder.filePath(QStringLiteral("us-to-peer"));
    QStringList messages;

    Scratch()
    {
        FUZZ_EXPECT(folder.isValid());
        platform::setMessageHandler([this](const QString &, const QString &text) { messages.append(text); });
    }
};

Scratch &scratch()
{
    static Scratch files;
    return files;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    FUZZ_EXPECT(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_EXPECT(file.write(bytes) == bytes.size());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    FUZZ_EXPECT(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    Scratch &files = scratch();
    files.messages.clear();
    const qsizetype capacity = data[0] < kSmallCapacityMark ? data[0] : qsizetype(size);
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    writeFile(files.input, bytes);
    platform::SetAttr(files.input, FileAttribute::Archive);
    QFile::remove(files.output);

    clsFileComm exchange;
    exchange.setInFile(files.input);
    exchange.setOutFile(files.output);
    exchange.setMaxReceive(capacity);
    const QString received = exchange.GetData();

    if (bytes.size() > capacity) {
        // Too long to take whole: refused with 14 and left unread for a receiver that can.
        FUZZ_EXPECT(received.isEmpty());
        FUZZ_EXPECT(files.messages.size() == 1
                    && files.messages.first().startsWith(QLatin1String("Error (GetData) 14:")));
        FUZZ_EXPECT(platform::GetAttr(files.input) & FileAttribute::Archive);
        return 0;
    }
    FUZZ_EXPECT(files.messages.isEmpty());
    FUZZ_EXPECT(received == QString::fromLatin1(bytes));
    FUZZ_EXPECT(exchange.GetData().isEmpty());

    exchange.SendData(received);
    exchange.SendData(received);
    FUZZ_EXPECT(files.messages.isEmpty());
    FUZZ_EXPECT(readFile(files.output) == bytes + '\r' + bytes + '\r');
    FUZZ_EXPECT(platform::GetAttr(files.output) & FileAttribute::Archive);
    return 0;
}
