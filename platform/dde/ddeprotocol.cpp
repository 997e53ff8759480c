#include "ddeprotocol.h"

#include <QStringDecoder>
#include <csignal>

namespace platform::DdeProtocol {

QString escape(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar character : text) {
        switch (character.unicode()) {
        case '\\': escaped += QLatin1String("\\\\"); break;
        case '\n': escaped += QLatin1String("\\n"); break;
        case '\r': escaped += QLatin1String("\\r"); break;
        default: escaped += character;
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
        case '\\': text += QLatin1Char('\\'); break;
        case 'n': text += QLatin1Char('\n'); break;
        case 'r': text += QLatin1Char('\r'); break;
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
    struct sigaction current {};
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
