#include "settingchoices.h"

#include "errors.h"
#include "numbers.h"
#include "text.h"

namespace SettingChoices {

namespace {

template<std::size_t Count>
std::optional<QString> namedCharacters(const Format (&entries)[Count], const QString &text)
{
    for (const Format &entry : entries) {
        if (text == QLatin1String(entry.text))
            return QString::fromLatin1(entry.characters);
    }
    return std::nullopt;
}

template<std::size_t Count>
QString formatText(const Format (&entries)[Count], const QString &characters)
{
    for (const Format &entry : entries) {
        if (characters == QLatin1String(entry.characters))
            return QString::fromLatin1(entry.text);
    }
    return characters;
}

} // namespace

QString serialSettingsText(int baudRate, int parityCode, int dataBits, int doubledStopBits)
{
    const QString stopBits = doubledStopBits % 2 == 0 ? QString::number(doubledStopBits / 2)
                                                      : QString::number(doubledStopBits / 2.0, 'f', 1);
    return QString::number(baudRate) + QLatin1Char(',') + QChar(parityCode) + QLatin1Char(',')
           + QString::number(dataBits) + QLatin1Char(',') + stopBits;
}

QString tokenSeparatorFromText(const QString &text)
{
    return namedCharacters(kTokenSeparators, text).value_or(platform::trimSpaces(text));
}

std::optional<QString> lineTerminatorFromText(const QString &text)
{
    if (const std::optional<QString> named = namedCharacters(kLineTerminators, text))
        return named;
    const QString typed = platform::trimSpaces(text);
    if (typed.isEmpty())
        return std::nullopt;
    return typed;
}

QString tokenSeparatorText(const QString &separator)
{
    return formatText(kTokenSeparators, separator);
}

QString lineTerminatorText(const QString &terminator)
{
    return formatText(kLineTerminators, terminator);
}

std::optional<qint16> serverPortFromText(const QString &text, qint16 current)
{
    if (!platform::readsAsNumber(text))
        return current;
    try {
        return platform::toInteger16(text);
    } catch (const platform::RuntimeError &) {
        return std::nullopt;
    }
}

} // namespace SettingChoices
