#pragma once

#include <QWidget>

class RingBuffer;

// Draws the rows of a ring buffer: one line per trace against x, and the markers ("OK" green,
// "Error ..." red) as vertical lines. It repaints only when told to (update()), so the window
// decides the pace.
class PlotWidget : public QWidget
{
    Q_OBJECT

public:
    explicit PlotWidget(QWidget *parent = nullptr);

    // The rows to draw; the buffer outlives the widget or is replaced before it goes.
    void setBuffer(const RingBuffer *buffer);
    // While held, the vertical range stays as it was last drawn.
    void setHoldScale(bool hold);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void fitVerticalRange();

    const RingBuffer *m_buffer = nullptr;
    bool m_holdScale = false;
    double m_yMin = 0.0;
    double m_yMax = 1.0;
};
