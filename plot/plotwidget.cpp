#include "plotwidget.h"

#include "plotsymbols.h"
#include "ringbuffer.h"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <optional>

namespace {

constexpr int kMargin = 48;       // room for the vertical axis labels
constexpr int kBottomMargin = 24; // room for the horizontal axis labels
constexpr int kTopMargin = 12;    // room for the markers' symbols
constexpr int kSymbolSize = 9;    // a marker's symbol, in pixels either way
constexpr int kLabelTop = 4;      // from the area's bottom edge to the x labels
constexpr int kLabelGap = 8;      // the least room between the two x labels

} // namespace

PlotWidget::PlotWidget(QWidget *parent)
    : QWidget(parent)
{
    setAccessibleName(QStringLiteral("Plot"));
    // Every pixel is painted each time, and scroll() may move what is on screen.
    setAttribute(Qt::WA_OpaquePaintEvent);
    m_chart.setBackground(palette().color(QPalette::Base));
}

void PlotWidget::setBuffer(const RingBuffer *buffer)
{
    m_buffer = buffer;
    refresh();
}

void PlotWidget::setHoldScale(bool hold)
{
    m_holdScale = hold;
    refresh();
}

QSize PlotWidget::sizeHint() const
{
    return {640, 360};
}

QRect PlotWidget::plotArea() const
{
    return {kMargin, kTopMargin, width() - kMargin - kTopMargin, height() - kBottomMargin - kTopMargin};
}

void PlotWidget::refresh()
{
    const QRect area = plotArea();
    if (!m_buffer || area.width() < 2 || area.height() < 2) {
        placeLabels();
        update();
        return;
    }
    const StripChart::Change change = m_chart.update(*m_buffer, area.size(), m_holdScale);
    placeLabels();
    if (change.whole) {
        update();
        return;
    }
    // What is on screen moves with the picture; only the columns drawn into are painted again.
    if (change.scrolled > 0)
        scroll(-change.scrolled, 0, area);
    if (change.markersMoved)
        update(markerStrip());
    if (change.lastColumn >= change.firstColumn)
        update(area.left() + change.firstColumn, area.top(), change.lastColumn - change.firstColumn + 1, area.height());
}

// The newest row's x follows its row from the first row on, frame by frame; the label strip is
// painted again only when a label changed.
void PlotWidget::placeLabels()
{
    QString first;
    QString last;
    int lastColumn = 0;
    if (m_buffer && !m_buffer->isEmpty() && m_chart.size() == plotArea().size()) {
        first = QString::number(m_buffer->at(0).x, 'g', 6);
        last = QString::number(m_buffer->at(m_buffer->size() - 1).x, 'g', 6);
        lastColumn = std::max(m_chart.newestColumn(), 0);
    }
    if (first == m_xFirst && last == m_xLast && lastColumn == m_xLastColumn)
        return;
    m_xFirst = first;
    m_xLast = last;
    m_xLastColumn = lastColumn;
    update(labelStrip());
}

QRect PlotWidget::labelStrip() const
{
    const QRect area = plotArea();
    return {0, area.bottom() + 1, width(), height() - area.bottom() - 1};
}

QRect PlotWidget::markerStrip() const
{
    const QRect area = plotArea();
    return {area.left() - kSymbolSize, 0, area.width() + 2 * kSymbolSize, area.top() - 1};
}

// Centred under the column, and inside the widget however near its edge the column is.
QRect PlotWidget::labelRect(const QString &text, int column) const
{
    const QFontMetrics metrics = fontMetrics();
    const int textWidth = metrics.horizontalAdvance(text);
    const int centre = plotArea().left() + column;
    const int left = std::clamp(centre - textWidth / 2, 0, std::max(width() - textWidth, 0));
    return {left, plotArea().bottom() + kLabelTop, textWidth, metrics.height()};
}

// Above the column, its lowest point just over the area's frame.
QRectF PlotWidget::symbolBox(int column) const
{
    const double centre = plotArea().left() + column + 0.5;
    return {centre - kSymbolSize / 2.0, double(kTopMargin - 2 - kSymbolSize), double(kSymbolSize), double(kSymbolSize)};
}

void PlotWidget::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange) {
        m_chart.setBackground(palette().color(QPalette::Base));
        refresh();
    }
    QWidget::changeEvent(event);
}

void PlotWidget::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    refresh();
}

void PlotWidget::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    const QRect area = plotArea();
    const QBrush base = palette().base();
    if (!m_buffer || m_chart.size() != area.size()) {
        painter.fillRect(rect(), base);
        return;
    }

    const QRect exposed = event->rect();
    if (!area.contains(exposed)) {
        painter.fillRect(0, 0, width(), area.top(), base);
        painter.fillRect(0, area.top(), area.left(), area.height(), base);
        painter.fillRect(area.right() + 1, area.top(), width() - area.right() - 1, area.height(), base);
        painter.fillRect(0, area.bottom() + 1, width(), height() - area.bottom() - 1, base);
        painter.setPen(palette().color(QPalette::Mid));
        painter.drawRect(area.adjusted(-1, -1, 0, 0));
    }
    m_chart.paint(painter, area.topLeft(), exposed.translated(-area.topLeft()));
    if (exposed.intersects(markerStrip())) {
        const QColor outline = palette().color(QPalette::Text);
        std::optional<StripChart::MarkerPlace> previous;
        for (const StripChart::MarkerPlace &marker : m_chart.markerPlaces()) {
            // Many markers in one column show as one symbol of each kind.
            if (previous && previous->column == marker.column && previous->kind == marker.kind)
                continue;
            paintSymbol(painter, symbolBox(marker.column), markerSymbol(marker.kind), outline);
            previous = marker;
        }
    }

    painter.setPen(palette().color(QPalette::Text));
    const QRect yTopLabel(0, area.top() - 6, kMargin - 4, 14);
    const QRect yBottomLabel(0, area.bottom() - 8, kMargin - 4, 14);
    if (exposed.intersects(yTopLabel))
        painter.drawText(yTopLabel, Qt::AlignRight | Qt::AlignVCenter, QString::number(m_chart.maximum(), 'g', 4));
    if (exposed.intersects(yBottomLabel))
        painter.drawText(yBottomLabel, Qt::AlignRight | Qt::AlignVCenter, QString::number(m_chart.minimum(), 'g', 4));
    if (!exposed.intersects(labelStrip()))
        return;
    const QRect newest = labelRect(m_xLast, m_xLastColumn);
    painter.drawText(newest, Qt::AlignCenter, m_xLast);
    // The oldest row's x gives way to the newest's while they would overlap.
    const QRect oldest = labelRect(m_xFirst, 0);
    if (oldest.right() + kLabelGap < newest.left())
        painter.drawText(oldest, Qt::AlignCenter, m_xFirst);
}
