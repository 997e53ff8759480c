#include "plotwidget.h"

#include "ringbuffer.h"

#include <QPainter>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace {

constexpr int kMargin = 48;        // room for the vertical axis labels
constexpr int kBottomMargin = 24;  // room for the horizontal axis labels
constexpr int kTopMargin = 12;
constexpr double kHeadroom = 0.05; // share of the range added above and below the data

const std::array<QColor, 8> kTraceColors = {
    QColor(0x1f, 0x77, 0xb4), QColor(0xff, 0x7f, 0x0e), QColor(0x2c, 0xa0, 0x2c), QColor(0xd6, 0x27, 0x28),
    QColor(0x94, 0x67, 0xbd), QColor(0x8c, 0x56, 0x4b), QColor(0xe3, 0x77, 0xc2), QColor(0x7f, 0x7f, 0x7f)};

} // namespace

PlotWidget::PlotWidget(QWidget *parent)
    : QWidget(parent)
{
    setAccessibleName(QStringLiteral("Plot"));
    // Every pixel is painted each time; Qt need not clear the background first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PlotWidget::setBuffer(const RingBuffer *buffer)
{
    m_buffer = buffer;
    update();
}

void PlotWidget::setHoldScale(bool hold)
{
    m_holdScale = hold;
    update();
}

QSize PlotWidget::sizeHint() const
{
    return {640, 360};
}

void PlotWidget::fitVerticalRange()
{
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (qsizetype i = 0; i < m_buffer->size(); ++i) {
        for (const double value : m_buffer->at(i).values) {
            low = std::min(low, value);
            high = std::max(high, value);
        }
    }
    if (low > high)
        return; // no data: keep the last range
    if (low == high) {
        low -= 1.0;
        high += 1.0;
    }
    const double headroom = (high - low) * kHeadroom;
    m_yMin = low - headroom;
    m_yMax = high + headroom;
}

void PlotWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    const QRectF area(kMargin, kTopMargin, width() - kMargin - kTopMargin, height() - kBottomMargin - kTopMargin);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(area);
    if (!m_buffer || m_buffer->isEmpty() || area.width() < 2 || area.height() < 2)
        return;

    if (!m_holdScale)
        fitVerticalRange();
    const double xFirst = m_buffer->at(0).x;
    const double xLast = m_buffer->at(m_buffer->size() - 1).x;
    const double xSpan = xLast > xFirst ? xLast - xFirst : 1.0;
    const double ySpan = m_yMax - m_yMin;
    auto toScreen = [&](double x, double y) {
        return QPointF(area.left() + (x - xFirst) / xSpan * area.width(),
                       area.bottom() - (y - m_yMin) / ySpan * area.height());
    };

    // Axis labels: the ends of both ranges.
    painter.setPen(palette().color(QPalette::Text));
    const QString yTop = QString::number(m_yMax, 'g', 4);
    const QString yBottom = QString::number(m_yMin, 'g', 4);
    painter.drawText(QRectF(0, area.top() - 6, kMargin - 4, 14), Qt::AlignRight | Qt::AlignVCenter, yTop);
    painter.drawText(QRectF(0, area.bottom() - 8, kMargin - 4, 14), Qt::AlignRight | Qt::AlignVCenter, yBottom);
    painter.drawText(QRectF(area.left(), area.bottom() + 4, 120, 16), Qt::AlignLeft, QString::number(xFirst, 'g', 6));
    painter.drawText(QRectF(area.right() - 120, area.bottom() + 4, 120, 16), Qt::AlignRight,
                     QString::number(xLast, 'g', 6));

    painter.setClipRect(area);
    // Markers behind the traces.
    for (qsizetype i = 0; i < m_buffer->size(); ++i) {
        const RingBuffer::Row &row = m_buffer->at(i);
        if (row.kind == ParsedLine::Kind::Data)
            continue;
        painter.setPen(QPen(row.kind == ParsedLine::Kind::Accepted ? Qt::darkGreen : Qt::red, 1, Qt::DashLine));
        const double x = toScreen(row.x, 0).x();
        painter.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom()));
    }

    // A trace with more rows than pixel columns is drawn as each column's lowest and highest
    // value: the same picture, at a cost bounded by the widget's width, not the window size.
    qsizetype traces = 0;
    for (qsizetype i = 0; i < m_buffer->size(); ++i)
        traces = std::max(traces, m_buffer->at(i).values.size());
    // No antialiasing: with ten traces at the screen's pace it costs more than the rest together.
    const bool decimate = m_buffer->size() > qsizetype(area.width());
    QList<QPointF> points;
    for (qsizetype t = 0; t < traces; ++t) {
        points.clear();
        int column = std::numeric_limits<int>::min();
        double low = 0.0;
        double high = 0.0;
        auto flush = [&] {
            if (column == std::numeric_limits<int>::min())
                return;
            points.append(QPointF(column, toScreen(0, low).y()));
            if (high != low)
                points.append(QPointF(column, toScreen(0, high).y()));
        };
        for (qsizetype i = 0; i < m_buffer->size(); ++i) {
            const RingBuffer::Row &row = m_buffer->at(i);
            if (row.values.size() <= t)
                continue;
            const double value = row.values.at(t);
            if (!decimate) {
                points.append(toScreen(row.x, value));
                continue;
            }
            const int here = int(std::floor(toScreen(row.x, value).x()));
            if (here != column) {
                flush();
                column = here;
                low = high = value;
            } else {
                low = std::min(low, value);
                high = std::max(high, value);
            }
        }
        flush();
        painter.setPen(QPen(kTraceColors[std::size_t(t) % kTraceColors.size()], 1));
        painter.drawPolyline(points.constData(), int(points.size()));
    }
}
