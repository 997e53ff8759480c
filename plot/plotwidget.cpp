#include "plotwidget.h"

#include "ringbuffer.h"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>

namespace {

constexpr int kMargin = 48;       // room for the vertical axis labels
constexpr int kBottomMargin = 24; // room for the horizontal axis labels
constexpr int kTopMargin = 12;
constexpr int kLabelWidth = 120;

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
        update();
        return;
    }
    const StripChart::Change change = m_chart.update(*m_buffer, area.size(), m_holdScale);
    if (change.whole) {
        refreshLabels();
        update();
        return;
    }
    // What is on screen moves with the picture; only the columns drawn into are painted again.
    if (change.scrolled > 0)
        scroll(-change.scrolled, 0, area);
    if (change.lastColumn >= change.firstColumn)
        update(area.left() + change.firstColumn, area.top(), change.lastColumn - change.firstColumn + 1, area.height());
}

void PlotWidget::refreshLabels()
{
    if (!m_buffer || m_buffer->isEmpty()) {
        m_xFirst.clear();
        m_xLast.clear();
    } else {
        m_xFirst = QString::number(m_buffer->at(0).x, 'g', 6);
        m_xLast = m_buffer->size() > 1 ? QString::number(m_buffer->at(m_buffer->size() - 1).x, 'g', 6) : QString();
        m_xLastColumn = m_chart.newestColumn();
    }
    update(labelStrip());
}

QRect PlotWidget::labelStrip() const
{
    const QRect area = plotArea();
    return {0, area.bottom() + 1, width(), height() - area.bottom() - 1};
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

    painter.setPen(palette().color(QPalette::Text));
    const QRect yTopLabel(0, area.top() - 6, kMargin - 4, 14);
    const QRect yBottomLabel(0, area.bottom() - 8, kMargin - 4, 14);
    if (exposed.intersects(yTopLabel))
        painter.drawText(yTopLabel, Qt::AlignRight | Qt::AlignVCenter, QString::number(m_chart.maximum(), 'g', 4));
    if (exposed.intersects(yBottomLabel))
        painter.drawText(yBottomLabel, Qt::AlignRight | Qt::AlignVCenter, QString::number(m_chart.minimum(), 'g', 4));
    if (!exposed.intersects(labelStrip()))
        return;
    painter.drawText(QRect(area.left(), area.bottom() + 4, kLabelWidth, 16), Qt::AlignLeft, m_xFirst);
    const int right = std::max(area.left() + m_xLastColumn, area.left() + 2 * kLabelWidth);
    painter.drawText(QRect(std::min(right, area.right()) - kLabelWidth, area.bottom() + 4, kLabelWidth, 16),
                     Qt::AlignRight, m_xLast);
}
