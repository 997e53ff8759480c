#include "lineparser.h"

#include <QLocale>

namespace {

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
    const QLocale c = QLocale::c();
    for (const QStringView field : std::as_const(fields)) {
        bool ok = false;
        const double value = c.toDouble(field.trimmed(), &ok);
        if (!ok)
            return parsed;
        numbers.append(value);
    }
    if (pointNumbers)
        parsed.x = numbers.takeFirst();
    parsed.values = std::move(numbers);
    parsed.kind = ParsedLine::Kind::Data;
    return parsed;
}
