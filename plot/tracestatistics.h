#pragma once

#include "plotsymbols.h"

#include <QList>
#include <QString>

class RingBuffer;

// Count, mean, standard deviation (of the sample) and extremes of one trace.
struct TraceStatistics
{
    qsizetype count = 0;
    double mean = 0.0;
    double sd = 0.0;
    double min = 0.0;
    double max = 0.0;
};

// One entry per trace, over the data rows of the buffer; a row shorter than others adds
// nothing to the traces it lacks.
QList<TraceStatistics> traceStatistics(const RingBuffer &buffer);

// "Trace 1: count 1000, mean 10.02, sd 3.98, min -2.31, max 21.5", one line per trace.
QString statisticsText(const QList<TraceStatistics> &statistics);

// What the statistics label shows: statisticsText's lines, then "OK replies: 2" and "Error
// replies: 1" for the kinds of marker among the rows, with the symbol that leads each line.
struct Legend
{
    QString text;
    QList<PlotSymbol> symbols;
};
Legend legendOf(const RingBuffer &buffer);
