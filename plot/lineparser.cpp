#include "lineparser.h"

#include <QVarLengthArray>
#include <charconv>
#include <cmath>
#include <optional>

namespace {

constexpr qsizetype kShortField = 64; // fields up to this long are converted without allocating

// A number in the C locale's notation: an optional sign, digits with an optional point and
// exponent. A fast run brings ten thousand of them a second, so they are read with
// std::from_chars rather than through QLocale. Infinities and NaNs have no place on the plot.
std::optional<double> numberOf(QStringView field)
{
    QVarLengthArray<char, kShortField> text(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char16_t character = field[i].unicode();
        if (character >= 0x80)
            return std::nullopt;
        text[i] = char(character);
    }
    const char *begin = text.constData();
    const char *end = begin + text.size();
    // from_chars takes a minus sign only.
    if (end - begin > 1 && *begin == '+' && begin[1] != '-' && begin[1] != '+')
        ++begin;
    double value = 0.0;
    const auto [stop, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || stop != end || !std::isfinite(value))
        return std::nullopt;
    return value;
}

QChar separatorOf(QStringView line)
{
    for (const QChar candidate : {QLatin1Char(','), QLatin1Char('\t'), QLatin1Char(';')}) {
        if (line.contains(candidate))
            return candidate;
    }
    return QLatin1Char(' ');
}

} // namespace

ParsedLine parseLine(QStringView line, bool pointNumbers)
{
    ParsedLine parsed;
    const QStringView text = line.trimmed();
    if (text == u"OK") {
        parsed.kind = ParsedLine::Kind::Accepted;
        return parsed;
    }
    if (text.startsWith(u"Error ")) {
        parsed.kind = ParsedLine::Kind::Refused;
        return parsed;
    }
    if (text.isEmpty())
        return parsed;

    const QChar separator = separatorOf(text);
    // Spaces pad the columns of some files, so runs of them count as one; the other
    // separators keep empty fields, which then fail as numbers.
    const auto behaviour = separator == QLatin1Char(' ') ? Qt::SkipEmptyParts : Qt::KeepEmptyParts;
    QList<QStringView> fields = text.split(separator, behaviour);
    if (pointNumbers && fields.size() < 2)
        return parsed;
    fields.resize(qMin(fields.size(), kMaximumTraces + (pointNumbers ? 1 : 0)));

    QList<double> numbers;
    numbers.reserve(fields.size());
    for (const QStringView field : std::as_const(fields)) {
        const std::optional<double> value = numberOf(field.trimmed());
        if (!value)
            return parsed;
        numbers.append(*value);
    }
    if (pointNumbers)
        parsed.x = numbers.takeFirst();
    parsed.values = std::move(numbers);
    parsed.kind = ParsedLine::Kind::Data;
    return parsed;
}
