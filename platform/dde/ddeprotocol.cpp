#include "ddeprotocol.h"

#include <QStringDecoder>
#include <csignal>

namespace platform::DdeProtocol {

namespace {
constexpr char16_t kTab = u'\t';
constexpr char16_t kFirstPrintable = u' ';
const char kHexDigits[] = "0123456789ABCDEF";

// The value of one hexadecimal digit, or -1.
int hexValue(QChar digit)
{
    const char16_t code = digit.unicode();
    if (code >= u'0' && code <= u'9')
        return code - u'0';
    if (code >= u'a' && code <= u'f')
        return code - u'a' + 10;
    if (code >= u'A' && code <= u'F')
        return code - u'A' + 10;
    return -1;
}
} // namespace

QString escape(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar character : text) {
        const char16_t code = character.unicode();
        switch (code) {
        case u'\\': escaped += QLatin1String("\\\\"); break;
        case u'\n': escaped += QLatin1String("\\n"); break;
        case u'\r': escaped += QLatin1String("\\r"); break;
        case u'\0': escaped += QLatin1String("\\0"); break;
        default:
            // A control byte could cut the line or be taken for the end of a C string by a
            // peer; a tab is harmless and stays as it always was.
            if (code < kFirstPrintable && code != kTab) {
                escaped += QLatin1String("\\x");
                escaped += QLatin1Char(kHexDigits[code >> 4]);
                escaped += QLatin1Char(kHexDigits[code & 0xF]);
            } else {
                escaped += character;
            }
        }
    }
    return escaped;
}

std::optional<QString> unescape(const QString &field)
{
    QString text;
    text.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const QChar character = field.at(i);
        if (character != QLatin1Char('\\')) {
            text += character;
            continue;
        }
        if (++i == field.size())
            return std::nullopt;
        switch (field.at(i).unicode()) {
        case u'\\': text += QLatin1Char('\\'); break;
        case u'n': text += QLatin1Char('\n'); break;
        case u'r': text += QLatin1Char('\r'); break;
        case u'0': text += QChar(0); break;
        case u'x': {
            if (field.size() - i <= 2)
                return std::nullopt;
            const int high = hexValue(field.at(i + 1));
            const int low = hexValue(field.at(i + 2));
            if (high < 0 || low < 0)
                return std::nullopt;
            text += QChar(char16_t(high * 16 + low));
            i += 2;
            break;
        }
        default: return std::nullopt;
        }
    }
    return text;
}

Message split(const QString &line)
{
    const qsizetype space = line.indexOf(QLatin1Char(' '));
    if (space < 0)
        return {line.toUpper(), QString()};
    return {line.left(space).toUpper(), line.mid(space + 1)};
}

void splitItem(const QString &rest, QString &item, QString &text)
{
    const qsizetype space = rest.indexOf(QLatin1Char(' '));
    item = space < 0 ? rest : rest.left(space);
    text = space < 0 ? QString() : rest.mid(space + 1);
}

QByteArray line(const QString &word, const QString &escapedRest)
{
    QByteArray bytes = word.toUtf8();
    if (!escapedRest.isEmpty()) {
        bytes += ' ';
        bytes += escapedRest.toUtf8();
    }
    bytes += '\n';
    return bytes;
}

bool fits(const QByteArray &line)
{
    return line.size() <= kMaximumLineBytes + 1;
}

namespace {
QByteArray fittingLine(const QString &word, const QString &prefix, const QString &text)
{
    // Every character takes at least one byte, so a text this long is over before it is encoded.
    if (text.size() > kMaximumLineBytes)
        return QByteArray();
    QByteArray bytes = line(word, prefix + escape(text));
    return fits(bytes) ? bytes : QByteArray();
}
} // namespace

QByteArray dataLine(const QString &text)
{
    return fittingLine(kData, QString(), text);
}

QByteArray updateLine(const QString &item, const QString &text)
{
    return fittingLine(kUpdate, item + QLatin1Char(' '), text);
}

void ignoreBrokenPipes()
{
    struct sigaction current
    {
    };
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGPIPE, SIG_IGN);
}

} // namespace platform::DdeProtocol

namespace platform {

DdeLineReader::DdeLineReader(int maximumLineBytes)
    : m_maximumLineBytes(maximumLineBytes)
{
}

void DdeLineReader::append(const QByteArray &bytes)
{
    if (m_overflowed)
        return;
    m_buffer += bytes;
}

bool DdeLineReader::nextLine(QString &line, bool &valid)
{
    if (m_overflowed)
        return false;
    const qsizetype end = m_buffer.indexOf('\n', m_scanned);
    if (end < 0) {
        // A half line waits for the rest, up to the limit (plus room for CR and LF).
        m_scanned = m_buffer.size();
        if (m_buffer.size() > m_maximumLineBytes + 1) {
            m_overflowed = true;
            m_buffer.clear();
        }
        return false;
    }
    qsizetype length = end;
    if (length > 0 && m_buffer.at(length - 1) == '\r')
        --length;
    if (length > m_maximumLineBytes) {
        m_overflowed = true;
        m_buffer.clear();
        return false;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    line = decoder.decode(QByteArrayView(m_buffer.constData(), length));
    valid = !decoder.hasError() && !line.contains(QChar(0));
    m_buffer.remove(0, end + 1);
    m_scanned = 0;
    return true;
}

} // namespace platform
