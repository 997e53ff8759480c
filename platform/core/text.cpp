#include "text.h"

namespace platform {

QString trimSpaces(const QString &text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == QLatin1Char(' '))
        ++first;
    while (last > first && text.at(last - 1) == QLatin1Char(' '))
        --last;
    return text.mid(first, last - first);
}

QString toUpperLatin1(const QString &text)
{
    QString upper = text;
    for (QChar &character : upper) {
        if (character.unicode() > 0xff)
            continue;
        const char16_t capital = QChar::toUpper(character.unicode());
        if (capital <= 0xff)
            character = QChar(capital);
    }
    return upper;
}

} // namespace platform
