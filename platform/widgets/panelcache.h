#pragma once

#include <QPixmap>
#include <QProxyStyle>

class QLineEdit;

namespace platform {

// Draws a box's panel (its frame and background, which do not change with its text) with the
// application's style once for each size, state, palette and pixel ratio, and copies it from
// then on. For a box whose text changes up to once a frame: the styles draw the frame's
// rounded, antialiased outline at a cost near that of all the rest of a change.
class PanelCacheStyle : public QProxyStyle
{
    Q_OBJECT

public:
    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget = nullptr) const override;

private:
    struct Key
    {
        QSize size;
        State state;
        qint64 palette = 0;
        int lineWidth = 0;
        qreal pixelRatio = 0;

        bool operator==(const Key &other) const
        {
            return size == other.size && state == other.state && palette == other.palette
                   && lineWidth == other.lineWidth && qFuzzyCompare(pixelRatio, other.pixelRatio);
        }
    };

    mutable QPixmap m_panel;
    mutable Key m_key;
};

// Gives the box a PanelCacheStyle of its own, which it owns.
void cachePanelOf(QLineEdit *box);

} // namespace platform
