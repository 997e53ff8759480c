#include "panelcache.h"

#include <QLineEdit>
#include <QPainter>
#include <QStyleOptionFrame>

namespace platform {

void PanelCacheStyle::drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                                    const QWidget *widget) const
{
    const auto *frame = qstyleoption_cast<const QStyleOptionFrame *>(option);
    if (element != PE_PanelLineEdit || !frame || option->rect.isEmpty()) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    const qreal pixelRatio = painter->device()->devicePixelRatio();
    const Key key{option->rect.size(), option->state, option->palette.cacheKey(), frame->lineWidth, pixelRatio};
    if (m_panel.isNull() || !(key == m_key)) {
        m_panel = QPixmap(option->rect.size() * pixelRatio);
        m_panel.setDevicePixelRatio(pixelRatio);
        // Over the window's own background the panel is opaque, so the box paints alone:
        // nothing of the window below it is drawn again.
        m_panel.fill(option->palette.color(QPalette::Window));
        QStyleOptionFrame atOrigin(*frame);
        atOrigin.rect.moveTo(0, 0);
        QPainter panelPainter(&m_panel);
        QProxyStyle::drawPrimitive(element, &atOrigin, &panelPainter, widget);
        m_key = key;
    }
    painter->drawPixmap(option->rect.topLeft(), m_panel);
}

void cachePanelOf(QLineEdit *box)
{
    auto *style = new PanelCacheStyle;
    style->setParent(box);
    box->setStyle(style);
    box->setAttribute(Qt::WA_OpaquePaintEvent);
}

} // namespace platform
