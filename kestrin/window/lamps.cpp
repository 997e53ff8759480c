#include "lamps.h"

#include <QPainter>
#include <QRadialGradient>

namespace {
constexpr int kLampSize = 28;
constexpr qreal kRimWidth = 2.0;
} // namespace

QPixmap lampPixmap(bool lit)
{
    QPixmap pixmap(kLampSize, kLampSize);
    pixmap.fill(Qt::transparent);

    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bulb = QRectF(pixmap.rect()).adjusted(kRimWidth, kRimWidth, -kRimWidth, -kRimWidth);

    // Light falls from the upper left; a lit lamp glows from its centre.
    QRadialGradient glass(bulb.center() - QPointF(3, 3), bulb.width() / 2);
    if (lit) {
        glass.setColorAt(0.0, QColor(220, 255, 200));
        glass.setColorAt(0.5, QColor(60, 230, 40));
        glass.setColorAt(1.0, QColor(20, 140, 10));
    } else {
        glass.setColorAt(0.0, QColor(90, 100, 90));
        glass.setColorAt(1.0, QColor(25, 35, 25));
    }
    painter.setBrush(glass);
    painter.setPen(QPen(QColor(40, 40, 40), kRimWidth));
    painter.drawEllipse(bulb);
    return pixmap;
}
