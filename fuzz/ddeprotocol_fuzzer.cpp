// The DDE wire format: received bytes cut into lines, a line split into word and rest, and the
// escapes of text fields. Any text an item can hold must reach a client unchanged.
#include "fuzzcheck.h"

#include "ddeprotocol.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace P = platform::DdeProtocol;

namespace {

// A small limit, so that inputs of a few kilobytes reach the over-long line too.
constexpr int kLineLimit = 64;
constexpr int kLargestPiece = 16;
const QString kItem = QStringLiteral("txtOutput");

struct Lines
{
    QList<QString> texts;
    QList<bool> valid;
    bool overflowed = false;

    bool operator==(const Lines &other) const
    {
        return texts == other.texts && valid == other.valid && overflowed == other.overflowed;
    }
};

void drain(platform::DdeLineReader &reader, Lines &lines)
{
    QString line;
    bool valid = false;
    while (reader.nextLine(line, valid)) {
        lines.texts.append(line);
        lines.valid.append(valid);
    }
    lines.overflowed = reader.overflowed();
}

// The same bytes give the same lines however the connection cuts them into pieces.
Lines readInPieces(const QByteArray &bytes, qsizetype piece)
{
    platform::DdeLineReader reader(kLineLimit);
    Lines lines;
    for (qsizetype start = 0; start < bytes.size(); start += piece) {
        reader.append(bytes.mid(start, piece));
        drain(reader, lines);
    }
    drain(reader, lines);
    return lines;
}

void checkMessage(const QString &line)
{
    const P::Message message = P::split(line);
    FUZZ_EXPECT(!message.word.contains(QLatin1Char(' ')));
    QString item;
    QString text;
    P::splitItem(message.rest, item, text);
    FUZZ_EXPECT(!item.contains(QLatin1Char(' ')));
    for (const QString &field : {message.rest, text}) {
        const std::optional<QString> value = P::unescape(field);
        if (value)
            FUZZ_EXPECT(P::unescape(P::escape(*value)) == *value);
    }
}

// What a source sends for an item's text arrives, through a reader, as that text.
void checkDelivery(const QString &text)
{
    FUZZ_EXPECT(P::unescape(P::escape(text)) == text);
    const QByteArray update = P::updateLine(kItem, text);
    const QByteArray data = P::dataLine(text);
    FUZZ_EXPECT(!update.isEmpty() && !data.isEmpty());
    FUZZ_EXPECT(update.count('\n') == 1 && update.endsWith('\n'));

    platform::DdeLineReader reader;
    reader.append(update + data);
    QString line;
    bool valid = false;
    FUZZ_EXPECT(reader.nextLine(line, valid) && valid);
    const P::Message updateMessage = P::split(line);
    QString item;
    QString escaped;
    P::splitItem(updateMessage.rest, item, escaped);
    FUZZ_EXPECT(updateMessage.word == P::kUpdate && item == kItem);
    FUZZ_EXPECT(P::unescape(escaped) == text);

    FUZZ_EXPECT(reader.nextLine(line, valid) && valid);
    const P::Message dataMessage = P::split(line);
    FUZZ_EXPECT(dataMessage.word == P::kData && P::unescape(dataMessage.rest) == text);
    FUZZ_EXPECT(!reader.nextLine(line, valid) && !reader.overflowed());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const qsizetype piece = 1 + data[0] % kLargestPiece;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    const Lines lines = readInPieces(bytes, piece);
    FUZZ_EXPECT(lines == readInPieces(bytes, bytes.size() + 1));
    for (qsizetype i = 0; i < lines.texts.size(); ++i) {
        FUZZ_EXPECT(!lines.texts.at(i).contains(QLatin1Char('\n')));
        if (lines.valid.at(i))
            checkMessage(lines.texts.at(i));
    }

    // An item holds text from data lines and byte channels (one byte per character) and from
    // other conversations (any Unicode text).
    checkDelivery(QString::fromLatin1(bytes));
    checkDelivery(QString::fromUtf8(bytes));
    return 0;
}
