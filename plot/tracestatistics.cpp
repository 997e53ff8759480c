#include "tracestatistics.h"

#include "ringbuffer.h"

#include <QStringList>
#include <algorithm>
#include <cmath>

namespace {

// Welford's update: stable for a long window of values far from zero.
struct Accumulator
{
    qsizetype count = 0;
    double mean = 0.0;
    double squares = 0.0;
    double min = 0.0;
    double max = 0.0;

    void add(double value)
    {
        ++count;
        const double delta = value - mean;
        mean += delta / double(count);
        squares += delta * (value - mean);
        min = count == 1 ? value : std::min(min, value);
        max = count == 1 ? value : std::max(max, value);
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
    for (const Accumulator &trace : std::as_const(traces)) {
        const double sd = trace.count > 1 ? std::sqrt(trace.squares / double(trace.count - 1)) : 0.0;
        statistics.append({trace.count, trace.mean, sd, trace.min, trace.max});
    }
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
