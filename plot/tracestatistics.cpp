#include "tracestatistics.h"

#include "ringbuffer.h"

#include <QStringList>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Values are taken in units of a power of two no value reaches, so that neither the differences
// nor their squares overflow, whatever finite values come; scaling by a power of two is exact,
// so ordinary values give the very sums they would unscaled. Tiny values start from this unit.
constexpr int kSmallestUnitExponent = -1000;

// Welford's update: stable for a long window of values far from zero.
struct Accumulator
{
    qsizetype count = 0;
    int unitExponent = kSmallestUnitExponent;
    double limit = std::ldexp(1.0, kSmallestUnitExponent);  // the unit: no value reaches it
    double scale = std::ldexp(1.0, -kSmallestUnitExponent); // its reciprocal
    double mean = 0.0;                                      // in units
    double squares = 0.0;                                   // in units squared
    double min = 0.0;
    double max = 0.0;

    void add(double value)
    {
        if (std::abs(value) >= limit)
            growUnit(value);
        const double scaled = value * scale;
        ++count;
        const double delta = scaled - mean;
        mean += delta / double(count);
        squares += delta * (scaled - mean);
        min = count == 1 ? value : std::min(min, value);
        max = count == 1 ? value : std::max(max, value);
    }

    void growUnit(double value)
    {
        int exponent = 0;
        std::frexp(value, &exponent); // |value| < 2^exponent
        const int shift = unitExponent - exponent;
        mean = std::ldexp(mean, shift);
        squares = std::ldexp(squares, 2 * shift);
        unitExponent = exponent;
        limit = std::ldexp(1.0, exponent); // infinite for the largest values: nothing exceeds it
        scale = std::ldexp(1.0, -exponent);
    }

    TraceStatistics statistics() const
    {
        // Back in the values' own units. The mean lies between the extremes (rounding must not
        // push it out); a spread beyond the largest double shows as the largest.
        const double average = std::clamp(std::ldexp(mean, unitExponent), min, max);
        const double spread = count > 1 ? std::ldexp(std::sqrt(squares / double(count - 1)), unitExponent) : 0.0;
        return {count, average, std::min(spread, std::numeric_limits<double>::max()), min, max};
    }
};

} // namespace

QList<TraceStatistics> traceStatistics(const RingBuffer &buffer)
{
    QList<Accumulator> traces;
    for (qsizetype i = 0; i < buffer.size(); ++i) {
        const RingBuffer::Row &row = buffer.at(i);
        if (row.kind != ParsedLine::Kind::Data)
            continue;
        if (traces.size() < row.values.size())
            traces.resize(row.values.size());
        for (qsizetype t = 0; t < row.values.size(); ++t)
            traces[t].add(row.values.at(t));
    }
    QList<TraceStatistics> statistics;
    statistics.reserve(traces.size());
    for (const Accumulator &trace : std::as_const(traces))
        statistics.append(trace.statistics());
    return statistics;
}

QString statisticsText(const QList<TraceStatistics> &statistics)
{
    QStringList lines;
    for (qsizetype t = 0; t < statistics.size(); ++t) {
        const TraceStatistics &s = statistics.at(t);
        lines << QStringLiteral("Trace %1: count %2, mean %3, sd %4, min %5, max %6")
                     .arg(t + 1)
                     .arg(s.count)
                     .arg(QString::number(s.mean, 'g', 4), QString::number(s.sd, 'g', 4),
                          QString::number(s.min, 'g', 4), QString::number(s.max, 'g', 4));
    }
    return lines.join(QLatin1Char('\n'));
}

Legend legendOf(const RingBuffer &buffer)
{
    const QList<TraceStatistics> statistics = traceStatistics(buffer);
    QStringList lines;
    if (!statistics.isEmpty())
        lines << statisticsText(statistics);
    Legend legend;
    for (qsizetype trace = 0; trace < statistics.size(); ++trace)
        legend.symbols.append(traceSymbol(trace));

    qsizetype accepted = 0;
    qsizetype refused = 0;
    for (qsizetype i = 0; i < buffer.size(); ++i) {
        const ParsedLine::Kind kind = buffer.at(i).kind;
        accepted += kind == ParsedLine::Kind::Accepted;
        refused += kind == ParsedLine::Kind::Refused;
    }
    if (accepted > 0) {
        lines << QStringLiteral("OK replies: %1").arg(accepted);
        legend.symbols.append(markerSymbol(ParsedLine::Kind::Accepted));
    }
    if (refused > 0) {
        lines << QStringLiteral("Error replies: %1").arg(refused);
        legend.symbols.append(markerSymbol(ParsedLine::Kind::Refused));
    }
    legend.text = lines.join(QLatin1Char('\n'));
    return legend;
}
