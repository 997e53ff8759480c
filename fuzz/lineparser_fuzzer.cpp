// The plot's reading of an output line: a reply, numbers to plot or a line it only counts.
#include "fuzzcheck.h"

#include "lineparser.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

void check(const QString &line, bool pointNumbers)
{
    const ParsedLine parsed = parseLine(line, pointNumbers);
    const QString trimmed = line.trimmed();
    switch (parsed.kind) {
    case ParsedLine::Kind::Accepted: FUZZ_EXPECT(trimmed == QLatin1String("OK")); break;
    case ParsedLine::Kind::Refused: FUZZ_EXPECT(trimmed.startsWith(QLatin1String("Error "))); break;
    case ParsedLine::Kind::Unparsed: FUZZ_EXPECT(parsed.values.isEmpty()); break;
    case ParsedLine::Kind::Data:
        FUZZ_EXPECT(!parsed.values.isEmpty() && parsed.values.size() <= kMaximumTraces);
        FUZZ_EXPECT(std::isfinite(parsed.x));
        for (const double value : parsed.values)
            FUZZ_EXPECT(std::isfinite(value));
        break;
    }
    if (parsed.kind != ParsedLine::Kind::Data || pointNumbers)
        return;
    // The same line with each value's number in front: x comes first, the traces stay.
    QStringList numbered;
    for (qsizetype i = 0; i < parsed.values.size(); ++i)
        numbered.append(QString::number(parsed.values.at(i), 'g', 17));
    numbered.prepend(QStringLiteral("7"));
    const ParsedLine withNumbers = parseLine(numbered.join(QLatin1Char(',')), true);
    FUZZ_EXPECT(withNumbers.kind == ParsedLine::Kind::Data && withNumbers.x == 7.0);
    // Compared value by value: QList<double> compares its bytes, and -0 is not 0 byte for byte.
    FUZZ_EXPECT(std::equal(withNumbers.values.cbegin(), withNumbers.values.cend(), parsed.values.cbegin(),
                           parsed.values.cend()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    // The plot takes the instrument's text as DDE delivers it: any Unicode text.
    for (const QString &line : {QString::fromLatin1(bytes), QString::fromUtf8(bytes)}) {
        check(line, false);
        check(line, true);
    }
    return 0;
}
