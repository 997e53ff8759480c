#pragma once

#include "lineparser.h"

#include <QColor>

class QPainter;
class QRectF;

// How the plot tells its traces and markers apart, the same on the plot and in its legend. The
// colours come from a set that readers with any common colour blindness tell apart; the two
// markers differ by their shape as well, so that nothing rests on telling red from green.
struct PlotSymbol
{
    enum class Shape {
        Square,  // a trace
        Circle,  // "OK"
        Triangle // "Error ...", pointing down at its line
    };

    QColor color;
    Shape shape = Shape::Square;

    bool operator==(const PlotSymbol &other) const { return color == other.color && shape == other.shape; }
    bool operator!=(const PlotSymbol &other) const { return !(*this == other); }
};

// A square of the trace's colour; the colours repeat after eight traces.
PlotSymbol traceSymbol(qsizetype trace);
// The symbol of a marker: Accepted or Refused.
PlotSymbol markerSymbol(ParsedLine::Kind kind);

// Fills the symbol's shape into the box and outlines it in `outline`, so that a light colour still
// has an edge on a light background.
void paintSymbol(QPainter &painter, const QRectF &box, const PlotSymbol &symbol, const QColor &outline);
