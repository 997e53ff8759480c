#pragma once

#include <QDate>
#include <QString>
#include <QtGlobal>

// Number reading, conversion and formatting as the programs' texts expect them, independent
// of the user's locale: the decimal symbol is always the point.
namespace platform {

// True when the whole text, blanks around it aside, is a decimal number: optional sign,
// digits, optional point and decimals, optional exponent (".5" and "5." count; grouping,
// currency and hexadecimal forms do not).
bool readsAsNumber(const QString &text);

// The value of a text for which readsAsNumber() holds; throws RuntimeError otherwise
// (13, type mismatch) or when it lies beyond the double range (6, overflow).
double numberValue(const QString &text);

// Rounds to the nearest whole number, a half going to the even neighbour, and throws
// RuntimeError 6 (overflow) when the result lies outside -32768..32767.
qint16 toInteger16(double value);
qint16 toInteger16(const QString &text);

// Narrows to a 32-bit float; throws RuntimeError 6 (overflow) beyond the float range.
float toSingle(double value);
float toSingle(const QString &text);

// Formats with a pattern of the form "0.0##": as many integer digits as needed, at least
// as many decimals as there are '0's after the point and at most as many as '0's and '#'s.
QString formatNumber(double value, const QString &pattern);

// The same, with the pattern read once, for a formatter of many values.
class NumberFormat
{
public:
    explicit NumberFormat(const QString &pattern);
    QString format(double value) const;

private:
    int m_minimumDecimals = 0;
    int m_maximumDecimals = 0;
};

// "mm/dd/yyyy": month, day and four-digit year.
QString formatDate(const QDate &date);

} // namespace platform
