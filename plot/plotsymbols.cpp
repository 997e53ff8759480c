#include "plotsymbols.h"

#include <QPainter>
#include <QPolygonF>
#include <array>

namespace {

// The colour-blind-safe set of eight colours of Okabe and Ito. The first traces take the colours
// the markers do not use, so that the usual plot of a few traces has no colour twice.
const std::array<QColor, 8> kTraceColors = {
    QColor(0x00, 0x72, 0xb2), // blue
    QColor(0xe6, 0x9f, 0x00), // orange
    QColor(0xcc, 0x79, 0xa7), // reddish purple
    QColor(0x56, 0xb4, 0xe9), // sky blue
    QColor(0x00, 0x9e, 0x73), // bluish green
    QColor(0xd5, 0x5e, 0x00), // vermilion
    QColor(0x00, 0x00, 0x00), // black
    QColor(0xf0, 0xe4, 0x42), // yellow
};
const QColor kAcceptedColor(0x00, 0x9e, 0x73); // bluish green
const QColor kRefusedColor(0xd5, 0x5e, 0x00);  // vermilion

} // namespace

PlotSymbol traceSymbol(qsizetype trace)
{
    return {kTraceColors[std::size_t(trace) % kTraceColors.size()], PlotSymbol::Shape::Square};
}

PlotSymbol markerSymbol(ParsedLine::Kind kind)
{
    if (kind == ParsedLine::Kind::Accepted)
        return {kAcceptedColor, PlotSymbol::Shape::Circle};
    return {kRefusedColor, PlotSymbol::Shape::Triangle};
}

void paintSymbol(QPainter &painter, const QRectF &box, const PlotSymbol &symbol, const QColor &outline)
{
    painter.save();
    painter.setPen(QPen(outline, 1.0));
    painter.setBrush(symbol.color);
    switch (symbol.shape) {
    case PlotSymbol::Shape::Square:
        // Pixel for pixel: a square's edges fall on whole pixels, blurred by nothing.
        painter.fillRect(box, symbol.color);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(box.toRect().adjusted(0, 0, -1, -1));
        break;
    case PlotSymbol::Shape::Circle:
        painter.setRenderHint(QPainter::Antialiasing);
        painter.drawEllipse(box.adjusted(0.5, 0.5, -0.5, -0.5));
        break;
    case PlotSymbol::Shape::Triangle:
        painter.setRenderHint(QPainter::Antialiasing);
        painter.drawPolygon(QPolygonF({box.topLeft() + QPointF(0.5, 0.5), box.topRight() + QPointF(-0.5, 0.5),
                                       QPointF(box.center().x(), box.bottom() - 0.5)}));
        break;
    }
    painter.restore();
}
