#pragma once

#include "stripchart.h"

#include <QWidget>

class RingBuffer;

// Draws the rows of a ring buffer: one line per trace, the rows in the order they came, and the
// markers ("OK", "Error ...") as dashed vertical lines under their symbols, with the ends of both
// axes. Under the plot, the x of the newest row stands under that row's column, and the x of the
// oldest under the left edge when there is room for it. It draws new rows only when told to
// (refresh()), so the window decides the pace; each refresh draws only the rows that came since
// the last (see StripChart).
class PlotWidget : public QWidget
{
    Q_OBJECT

public:
    explicit PlotWidget(QWidget *parent = nullptr);

    // The rows to draw; the buffer outlives the widget or is replaced before it goes.
    void setBuffer(const RingBuffer *buffer);
    // While held, the vertical range stays as it was last drawn.
    void setHoldScale(bool hold);
    // Draws the rows that came since the last call and repaints what they changed, the x
    // labels included.
    void refresh();

    QSize sizeHint() const override;

    // Where the rows are drawn.
    QRect plotArea() const;

protected:
    void paintEvent(QPaintEvent *event) override;

    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void placeLabels();
    QRect labelStrip() const;
    QRect markerStrip() const;
    QRect labelRect(const QString &text, int column) const;
    QRectF symbolBox(int column) const;

    const RingBuffer *m_buffer = nullptr;
    bool m_holdScale = false;
    StripChart m_chart;
    QString m_xFirst; // the x of the oldest row, at the left edge
    QString m_xLast;  // the x of the newest row, under the column it is drawn in
    int m_xLastColumn = 0;
};
