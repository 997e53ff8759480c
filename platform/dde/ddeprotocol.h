#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The wire format of DDE conversations: one Unix-domain stream connection per conversation,
// carrying UTF-8 text lines ended by LF. docs/dde-protocol.md describes every message.
namespace platform::DdeProtocol {

// Longest line either side accepts, without its LF; a longer line ends the conversation.
constexpr int kMaximumLineBytes = 1024 * 1024;

// Message words. Words compare without regard to case; they are sent in upper case.
inline const QString kInitiate = QStringLiteral("INITIATE");
inline const QString kRequest = QStringLiteral("REQUEST");
inline const QString kAdvise = QStringLiteral("ADVISE");
inline const QString kUnadvise = QStringLiteral("UNADVISE");
inline const QString kExecute = QStringLiteral("EXECUTE");
inline const QString kPoke = QStringLiteral("POKE");
inline const QString kTerminate = QStringLiteral("TERMINATE");
inline const QString kAck = QStringLiteral("ACK");
inline const QString kNack = QStringLiteral("NACK");
inline const QString kData = QStringLiteral("DATA");
inline const QString kUpdate = QStringLiteral("UPDATE");
inline const QString kBusy = QStringLiteral("BUSY");
inline const QString kError = QStringLiteral("ERROR");
inline const QString kTooLong = QStringLiteral("TOOLONG");

// Text in a message escapes backslash as "\\", LF as "\n", CR as "\r", NUL as "\0" and every
// other control character below a space but the tab as "\xHH" (two upper-case hexadecimal
// digits), so a line carries any text and no control byte but the tab. unescape(escape(text)) is
// the text again.
QString escape(const QString &text);
// The text an escaped field stands for; nothing when it holds an unknown or cut-off escape.
// "\xHH" is accepted for any character up to U+00FF, in either case.
std::optional<QString> unescape(const QString &field);

// One received line: the word (upper-cased) and the rest after the first space, still escaped.
struct Message
{
    QString word;
    QString rest;
};
Message split(const QString &line);
// Splits "item text" at the first space; the text part may be empty or missing.
void splitItem(const QString &rest, QString &item, QString &text);

// A line ready to send: the word, a space and the already escaped rest (none when empty),
// then LF, in UTF-8.
QByteArray line(const QString &word, const QString &escapedRest = QString());
// Whether a line made by line() stays within kMaximumLineBytes.
bool fits(const QByteArray &line);

// The lines that carry an item's text: "DATA <text>" and "UPDATE <item> <text>". Empty when
// the text would make the line longer than the limit: a text is never cut, the caller sends
// the stand-in the protocol gives for that case instead.
QByteArray dataLine(const QString &text);
QByteArray updateLine(const QString &item, const QString &text);

// Writing to a connection the peer has closed must fail with an error, not end the program
// with SIGPIPE (local sockets write without MSG_NOSIGNAL). Called by every source and client;
// a handler the program installed itself is left alone.
void ignoreBrokenPipes();

} // namespace platform::DdeProtocol

namespace platform {

// Cuts received bytes into lines. Half lines wait for their end; a line longer than the
// limit makes the reader overflow, after which it yields nothing more.
class DdeLineReader
{
public:
    explicit DdeLineReader(int maximumLineBytes = DdeProtocol::kMaximumLineBytes);

    void append(const QByteArray &bytes);
    // The next complete line without LF (and without a CR right before it), decoded from
    // UTF-8; `valid` is false when the bytes were not valid UTF-8.
    bool nextLine(QString &line, bool &valid);
    bool overflowed() const { return m_overflowed; }

private:
    QByteArray m_buffer;
    qsizetype m_scanned = 0;
    int m_maximumLineBytes;
    bool m_overflowed = false;
};

} // namespace platform
