#include "stripchart.h"

#include "plotsymbols.h"

#include <QPainter>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr int kRangeSteps = 5;       // about this many steps of 1, 2 or 5 span the vertical range
constexpr double kLevelMargin = 0.1; // a level line's band reaches this share of its value either side
// The range follows rows pushed out (it may shrink) once this share of the window has passed:
// measuring every value of a large window at every frame would cost more than drawing it.
constexpr qsizetype kRemeasureShare = 4;

constexpr int kDashPeriod = 6; // markers are dashed: four pixels on, two off
constexpr int kDashLength = 4;

// 1, 2 or 5 times a power of ten, the smallest such at least `value`.
double niceStep(double value)
{
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    const double fraction = value / power;
    const double nice = fraction <= 1.0 ? 1.0 : fraction <= 2.0 ? 2.0 : fraction <= 5.0 ? 5.0 : 10.0;
    return nice * power;
}

} // namespace

void StripChart::setBackground(const QColor &color)
{
    m_background = color;
    m_rows = nullptr; // draws everything again at the next update
}

QList<StripChart::MarkerPlace> StripChart::markerPlaces() const
{
    QList<MarkerPlace> places;
    places.reserve(qsizetype(m_markers.size()));
    const qint64 origin = columnOf(m_firstIndex);
    for (const Marker &marker : m_markers)
        places.append({int(columnOf(marker.index) - origin), marker.kind});
    return places;
}

void StripChart::forgetMarkersBefore(qint64 index)
{
    while (!m_markers.empty() && m_markers.front().index < index) {
        m_markers.pop_front();
        m_markersChanged = true;
    }
}

qint64 StripChart::columnOf(qint64 index) const
{
    const qint64 steps = std::max<qint64>(m_capacity - 1, 1);
    return index * (m_image.width() - 1) / steps;
}

int StripChart::newestColumn() const
{
    if (!m_rows || m_rows->isEmpty())
        return -1;
    return int(columnOf(m_drawnIndex) - columnOf(m_firstIndex));
}

int StripChart::pixelOf(double value) const
{
    const int height = m_image.height();
    // In halves, so that a range as wide as the doubles go does not overflow.
    const double y = (m_halfMax - value / 2) / m_halfSpan * (height - 1);
    // A held scale leaves values far outside; one pixel beyond the edge is enough to aim at them.
    return int(std::lround(std::clamp(y, -1.0, double(height))));
}

StripChart::Change StripChart::update(const RingBuffer &rows, QSize size, bool holdScale)
{
    const bool sameRows =
        m_rows == &rows && m_generation == rows.generation() && m_capacity == rows.capacity() && m_image.size() == size;
    const qint64 oldOrigin = columnOf(m_firstIndex);
    m_rows = &rows;
    m_generation = rows.generation();
    m_capacity = rows.capacity();
    m_firstIndex = rows.firstIndex();
    m_markersChanged = false;
    Change change;
    if (size.width() < 2 || size.height() < 2) {
        m_image = QImage();
        m_markers.clear();
        change.whole = true;
        return change;
    }

    change.whole = !sameRows;
    // Rows pushed out before they were drawn leave a gap the picture cannot bridge.
    if (!rows.isEmpty() && rows.firstIndex() > m_drawnIndex + 1)
        change.whole = true;
    if (fitRange(rows, holdScale, !sameRows))
        change.whole = true;
    if (change.whole) {
        if (m_image.size() != size)
            m_image = QImage(size, QImage::Format_RGB32);
        redraw(rows);
        return change;
    }
    m_touchedFirst = std::numeric_limits<qint64>::max();
    m_touchedLast = -1;
    forgetMarkersBefore(m_firstIndex);
    drawRows(rows, m_drawnIndex + 1);
    const qint64 origin = columnOf(m_firstIndex);
    change.scrolled = int(std::min<qint64>(origin - oldOrigin, m_image.width()));
    change.markersMoved = m_markersChanged || (change.scrolled > 0 && !m_markers.empty());
    if (m_touchedLast >= 0) {
        change.firstColumn = int(std::max<qint64>(m_touchedFirst - origin, 0));
        change.lastColumn = int(m_touchedLast - origin);
    }
    return change;
}

bool StripChart::fitRange(const RingBuffer &rows, bool holdScale, bool otherRows)
{
    const qint64 newest = rows.firstIndex() + rows.size() - 1;
    qint64 from = m_rangeCheckedIndex + 1;
    const qsizetype remeasureAfter = std::max<qsizetype>(rows.capacity() / kRemeasureShare, 1);
    if (otherRows || from < rows.firstIndex() || rows.firstIndex() - m_rangeMeasuredFirst >= remeasureAfter) {
        m_hasData = false;
        m_rangeMeasuredFirst = rows.firstIndex();
        from = rows.firstIndex();
    }
    for (qint64 index = from; index <= newest; ++index) {
        for (const double value : rows.at(index - rows.firstIndex()).values) {
            m_dataLow = m_hasData ? std::min(m_dataLow, value) : value;
            m_dataHigh = m_hasData ? std::max(m_dataHigh, value) : value;
            m_hasData = true;
        }
    }
    m_rangeCheckedIndex = newest;

    if (holdScale || !m_hasData)
        return false;
    constexpr double kLargest = std::numeric_limits<double>::max();
    double low = m_dataLow;
    double high = m_dataHigh;
    if (low == high) {
        // A level line: a band around it, at least 1 wide and wide enough to show at the
        // value's own magnitude (1e20 plus or minus 1 is 1e20 again).
        const double margin = std::max(1.0, std::abs(low) * kLevelMargin);
        low = std::max(low - margin, -kLargest);
        high = std::min(high + margin, kLargest);
    }
    // Each end divided first, so that a span beyond the largest double still has its steps.
    const double step = niceStep(high / kRangeSteps - low / kRangeSteps);
    const double yMin = std::max(std::floor(low / step) * step, -kLargest);
    const double yMax = std::min(std::ceil(high / step) * step, kLargest);
    if (yMin == m_yMin && yMax == m_yMax)
        return false;
    m_yMin = yMin;
    m_yMax = yMax;
    m_halfMax = yMax / 2;
    m_halfSpan = yMax / 2 - yMin / 2;
    return true;
}

void StripChart::redraw(const RingBuffer &rows)
{
    m_image.fill(m_background);
    m_traces.clear();
    m_markers.clear();
    m_drawnIndex = rows.firstIndex() - 1;
    m_drawnColumn = columnOf(rows.firstIndex()) - 1;
    drawRows(rows, rows.firstIndex());
}

void StripChart::drawRows(const RingBuffer &rows, qint64 fromIndex)
{
    const qint64 newest = rows.firstIndex() + rows.size() - 1;
    m_pixels = reinterpret_cast<QRgb *>(m_image.bits());
    m_pixelsPerLine = m_image.bytesPerLine() / qsizetype(sizeof(QRgb));
    for (qint64 index = fromIndex; index <= newest; ++index) {
        const qint64 column = columnOf(index);
        if (column > m_drawnColumn) {
            clearColumns(m_drawnColumn + 1, column);
            m_drawnColumn = column;
        }
        const RingBuffer::Row &row = rows.at(index - rows.firstIndex());
        if (row.kind != ParsedLine::Kind::Data) {
            m_markers.push_back({index, row.kind});
            m_markersChanged = true;
        }
        drawRow(row, column);
    }
    m_drawnIndex = newest;
}

void StripChart::touch(qint64 column)
{
    m_touchedFirst = std::min(m_touchedFirst, column);
    m_touchedLast = std::max(m_touchedLast, column);
}

void StripChart::drawRow(const RingBuffer::Row &row, qint64 column)
{
    if (row.kind != ParsedLine::Kind::Data) {
        drawMarker(column, markerSymbol(row.kind).color.rgb());
        return;
    }
    if (m_traces.size() < row.values.size())
        m_traces.resize(row.values.size());
    for (qsizetype t = 0; t < row.values.size(); ++t) {
        Trace &trace = m_traces[t];
        const int y = pixelOf(row.values.at(t));
        const QRgb color = traceSymbol(t).color.rgb();
        if (trace.column == column) {
            // Within the column only what lies beyond the span drawn so far is new.
            if (y < trace.spanTop) {
                drawSegment(column, y, column, trace.spanTop, color);
                trace.spanTop = y;
            } else if (y > trace.spanBottom) {
                drawSegment(column, trace.spanBottom, column, y, color);
                trace.spanBottom = y;
            }
        } else {
            // A trace missing from rows that spanned the whole width starts afresh.
            const bool joined = trace.column >= 0 && column - trace.column < m_image.width();
            drawSegment(joined ? trace.column : column, joined ? trace.lastY : y, column, y, color);
            trace.column = column;
            trace.spanTop = trace.spanBottom = y;
        }
        trace.lastY = y;
    }
}

// The image is written directly: QPainter's set-up per line costs more than the few pixels
// a new row adds. Columns are reused in a circle, so column c is image column c % width.
QRgb *StripChart::imageColumn(qint64 column)
{
    return m_pixels + column % m_image.width();
}

void StripChart::setPixel(QRgb *imageColumn, int y, QRgb color)
{
    if (y >= 0 && y < m_image.height())
        imageColumn[y * m_pixelsPerLine] = color;
}

void StripChart::drawSegment(qint64 column1, int y1, qint64 column2, int y2, QRgb color)
{
    touch(column1);
    touch(column2);
    // Bresenham's line, from the older column to the newer one.
    const qint64 dx = column2 - column1;
    const qint64 dy = -std::abs(y2 - y1);
    const int stepY = y1 < y2 ? 1 : -1;
    qint64 error = dx + dy;
    qint64 column = column1;
    QRgb *pixels = imageColumn(column);
    int y = y1;
    for (;;) {
        setPixel(pixels, y, color);
        if (column == column2 && y == y2)
            return;
        const qint64 twice = 2 * error;
        if (twice >= dy) {
            error += dy;
            pixels = imageColumn(++column);
        }
        if (twice <= dx) {
            error += dx;
            y += stepY;
        }
    }
}

void StripChart::drawMarker(qint64 column, QRgb color)
{
    touch(column);
    QRgb *pixels = imageColumn(column);
    for (int y = 0; y < m_image.height(); ++y) {
        if (y % kDashPeriod < kDashLength)
            setPixel(pixels, y, color);
    }
}

void StripChart::clearColumns(qint64 first, qint64 last)
{
    touch(first);
    touch(last);
    if (last - first + 1 >= m_image.width()) {
        m_image.fill(m_background);
        return;
    }
    const QRgb background = m_background.rgb();
    for (qint64 column = first; column <= last; ++column) {
        QRgb *pixels = imageColumn(column);
        for (int y = 0; y < m_image.height(); ++y)
            setPixel(pixels, y, background);
    }
}

void StripChart::paint(QPainter &painter, QPoint topLeft, const QRect &exposed) const
{
    const QRect wanted = exposed & m_image.rect();
    if (wanted.isEmpty())
        return;
    // Column x of the area is column (start + x) modulo the width of the image.
    const int width = m_image.width();
    const int start = int(columnOf(m_firstIndex) % width);
    const QRect beforeWrap = wanted & QRect(0, 0, width - start, m_image.height());
    if (!beforeWrap.isEmpty())
        painter.drawImage(topLeft + beforeWrap.topLeft(), m_image, beforeWrap.translated(start, 0));
    const QRect afterWrap = wanted & QRect(width - start, 0, start, m_image.height());
    if (!afterWrap.isEmpty())
        painter.drawImage(topLeft + afterWrap.topLeft(), m_image, afterWrap.translated(start - width, 0));
}

QImage StripChart::picture() const
{
    QImage picture(m_image.size(), QImage::Format_RGB32);
    if (picture.isNull())
        return picture;
    QPainter painter(&picture);
    paint(painter, QPoint(0, 0), picture.rect());
    return picture;
}
