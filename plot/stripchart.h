#pragma once

#include "ringbuffer.h"

#include <QColor>
#include <QImage>
#include <QList>
#include <deque>

class QPainter;

// The plot area as a strip chart. Every row has a fixed column, given by its index in the stream:
// the window's N rows span the area's width, and the picture scrolls as rows come. The picture is
// kept between frames in an image whose columns are reused in a circle, so a frame draws only
// the rows that came since the last one. Everything is drawn again only when the picture changes
// as a whole: another size, window or vertical range, a cleared buffer, or a gap in the rows.
//
// Within one column a trace is drawn as the span between its lowest and highest value there, so
// drawing a window of many more rows than columns costs no more than the columns.
class StripChart
{
public:
    // What an update changed, so that a widget repaints no more than that.
    struct Change
    {
        bool whole = false;  // everything was drawn again
        int scrolled = 0;    // columns the picture moved to the left
        int firstColumn = 0; // the columns drawn into, counted from the area's left edge
        int lastColumn = -1;
        bool markersMoved = false; // markerPlaces() differ: markers came, went or scrolled
    };

    // Where a marker is drawn, counted from the area's left edge, so that its symbol is drawn
    // above it.
    struct MarkerPlace
    {
        int column = 0;
        ParsedLine::Kind kind = ParsedLine::Kind::Accepted;
    };

    void setBackground(const QColor &color);

    // Brings the picture up to date with the buffer for an area of the given size. With
    // holdScale the vertical range stays as it is; otherwise it fits the rows held, rounded
    // out to steps of 1, 2 or 5 times a power of ten so that it changes seldom.
    Change update(const RingBuffer &rows, QSize size, bool holdScale);

    QSize size() const { return m_image.size(); }

    // Draws the part `exposed` of the area (in the area's coordinates), oldest row at the left,
    // with the area's top left corner at topLeft.
    void paint(QPainter &painter, QPoint topLeft, const QRect &exposed) const;

    // The picture as it is on screen, for tests and exports.
    QImage picture() const;

    double minimum() const { return m_yMin; }
    double maximum() const { return m_yMax; }
    // Where the newest row is drawn, counted from the area's left edge; -1 when there is none.
    int newestColumn() const;
    // The markers of the rows held, oldest first.
    QList<MarkerPlace> markerPlaces() const;

private:
    struct Trace
    {
        qint64 column = -1; // where the trace was last drawn; -1: nowhere yet
        int lastY = 0;
        int spanTop = 0; // the part of that column the trace covers already
        int spanBottom = 0;
    };

    qint64 columnOf(qint64 index) const;
    bool fitRange(const RingBuffer &rows, bool holdScale, bool otherRows);
    void redraw(const RingBuffer &rows);
    void drawRows(const RingBuffer &rows, qint64 fromIndex);
    void forgetMarkersBefore(qint64 index);
    void touch(qint64 column);
    void drawRow(const RingBuffer::Row &row, qint64 column);
    QRgb *imageColumn(qint64 column);
    void setPixel(QRgb *imageColumn, int y, QRgb color);
    void drawSegment(qint64 column1, int y1, qint64 column2, int y2, QRgb color);
    void drawMarker(qint64 column, QRgb color);
    void clearColumns(qint64 first, qint64 last);
    int pixelOf(double value) const;

    QImage m_image;
    QRgb *m_pixels = nullptr; // m_image's pixels while rows are drawn
    qsizetype m_pixelsPerLine = 0;
    QColor m_background = Qt::white;
    QList<Trace> m_traces;
    struct Marker
    {
        qint64 index = 0;
        ParsedLine::Kind kind = ParsedLine::Kind::Accepted;
    };
    std::deque<Marker> m_markers; // those of the rows held, drawn already
    bool m_markersChanged = false;
    const RingBuffer *m_rows = nullptr;
    quint64 m_generation = 0;
    qsizetype m_capacity = 0;
    qint64 m_firstIndex = 0;
    qint64 m_drawnIndex = -1;  // the newest row drawn
    qint64 m_drawnColumn = -1; // the rightmost column in use; those after it are cleared on use
    qint64 m_touchedFirst = 0; // the columns the running update draws into
    qint64 m_touchedLast = -1;
    double m_yMin = 0.0;
    double m_yMax = 1.0;
    double m_halfMax = 0.5; // half the range's top and half its height: pixelOf() in halves
    double m_halfSpan = 0.5;
    double m_dataLow = 0.0; // a range that holds every value of the rows held
    double m_dataHigh = 0.0;
    bool m_hasData = false;
    qint64 m_rangeCheckedIndex = -1; // the newest row the data range takes in
    qint64 m_rangeMeasuredFirst = 0; // the oldest row held when every row was last measured
};
