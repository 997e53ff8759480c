#include "numbers.h"
#include "errors.h"

#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <limits>

namespace platform {

namespace {

const QRegularExpression &numberPattern()
{
    // \z, not $: a dollar also matches before a final line feed, and "5\n" is no number.
    static const QRegularExpression pattern(QStringLiteral(R"(^[ \t]*[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?[ \t]*\z)"));
    return pattern;
}

} // namespace

bool readsAsNumber(const QString &text)
{
    return numberPattern().match(text).hasMatch();
}

double numberValue(const QString &text)
{
    if (!readsAsNumber(text))
        throw RuntimeError(ErrorNumber::TypeMismatch);
    const double value = text.trimmed().toDouble();
    if (std::isinf(value))
        throw RuntimeError(ErrorNumber::Overflow);
    return value;
}

qint16 toInteger16(double value)
{
    // nearbyint follows the default rounding mode: to nearest, halves to even.
    const double rounded = std::nearbyint(value);
    if (!(rounded >= std::numeric_limits<qint16>::min() && rounded <= std::numeric_limits<qint16>::max()))
        throw RuntimeError(ErrorNumber::Overflow);
    return static_cast<qint16>(rounded);
}

qint16 toInteger16(const QString &text)
{
    return toInteger16(numberValue(text));
}

float toSingle(double value)
{
    if (std::isnan(value))
        return std::numeric_limits<float>::quiet_NaN();
    const float narrowed = static_cast<float>(value);
    if (std::isinf(narrowed))
        throw RuntimeError(ErrorNumber::Overflow);
    return narrowed;
}

float toSingle(const QString &text)
{
    return toSingle(numberValue(text));
}

QString formatNumber(double value, const QString &pattern)
{
    return NumberFormat(pattern).format(value);
}

NumberFormat::NumberFormat(const QString &pattern)
{
    const qsizetype point = pattern.indexOf(QLatin1Char('.'));
    const QString decimals = point < 0 ? QString() : pattern.mid(point + 1);
    m_minimumDecimals = int(decimals.count(QLatin1Char('0')));
    m_maximumDecimals = int(decimals.size());
}

QString NumberFormat::format(double value) const
{
    QString text = QString::number(value, 'f', m_maximumDecimals);
    if (m_maximumDecimals > m_minimumDecimals) {
        qsizetype end = text.size();
        const qsizetype firstOptional = text.size() - (m_maximumDecimals - m_minimumDecimals);
        while (end > firstOptional && text.at(end - 1) == QLatin1Char('0'))
            --end;
        text.truncate(end);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    // A negative value that rounds to zero prints without its sign ("0.0", not "-0.0").
    const auto isZeroDigit = [](QChar c) { return c == QLatin1Char('0') || c == QLatin1Char('.'); };
    if (text.startsWith(QLatin1Char('-')) && std::all_of(text.cbegin() + 1, text.cend(), isZeroDigit))
        text.remove(0, 1);
    return text;
}

QString formatDate(const QDate &date)
{
    return date.toString(QStringLiteral("MM/dd/yyyy"));
}

} // namespace platform
