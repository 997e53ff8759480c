#include "controls.h"

#include <QApplication>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOptionGroupBox>
#include <qdrawutil.h>

namespace platform {

namespace {

constexpr int kCaptionIndent = 6; // pixels from the frame's left edge to its caption
constexpr int kCaptionMargin = 2; // pixels of the line left out on each side of the caption

// The application's style, except for frames with a caption: their line is an etched one
// that runs through the middle of the caption and is broken where the caption stands. (Styles
// such as Fusion set the caption above the line and move the line down by a caption's height
// when they draw it.)
class CaptionOnLineStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex *option, SubControl subControl,
                         const QWidget *widget) const override
    {
        const auto *frame = qstyleoption_cast<const QStyleOptionGroupBox *>(option);
        if (control != CC_GroupBox || !frame || frame->text.isEmpty())
            return QProxyStyle::subControlRect(control, option, subControl, widget);
        const int captionHeight = frame->fontMetrics.height();
        const QRect line = frame->rect.adjusted(0, captionHeight / 2, 0, 0);
        switch (subControl) {
        case SC_GroupBoxFrame: return line;
        case SC_GroupBoxContents: {
            const int width = 2 * frame->lineWidth + frame->midLineWidth;
            return line.adjusted(width, width, -width, -width);
        }
        case SC_GroupBoxLabel: {
            const QRect caption(frame->rect.left() + kCaptionIndent, frame->rect.top(),
                                frame->fontMetrics.horizontalAdvance(frame->text), captionHeight);
            return visualRect(frame->direction, frame->rect, caption);
        }
        default: return QProxyStyle::subControlRect(control, option, subControl, widget);
        }
    }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex *option, QPainter *painter,
                            const QWidget *widget) const override
    {
        const auto *frame = qstyleoption_cast<const QStyleOptionGroupBox *>(option);
        if (control != CC_GroupBox || !frame || frame->text.isEmpty()) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        if (frame->subControls & SC_GroupBoxFrame) {
            const QRect caption = subControlRect(control, frame, SC_GroupBoxLabel, widget);
            painter->save();
            painter->setClipRegion(QRegion(frame->rect) - caption.adjusted(-kCaptionMargin, 0, kCaptionMargin, 0),
                                   Qt::IntersectClip);
            qDrawShadeRect(painter, subControlRect(control, frame, SC_GroupBoxFrame, widget), frame->palette, true,
                           frame->lineWidth, frame->midLineWidth);
            painter->restore();
        }
        // The caption as the application's style draws it, in the place given above.
        QStyleOptionGroupBox caption = *frame;
        caption.subControls = frame->subControls & SC_GroupBoxLabel;
        QProxyStyle::drawComplexControl(control, &caption, painter, widget);
    }
};

// One instance serves every frame; it lives as long as the application.
QStyle *captionOnLineStyle()
{
    static QPointer<QStyle> style;
    if (!style) {
        style = new CaptionOnLineStyle(QStyleFactory::create(QApplication::style()->name()));
        style->setParent(qApp);
    }
    return style;
}

} // namespace

void drawLineThroughCaption(QGroupBox *frame)
{
    frame->setStyle(captionOnLineStyle());
}

QLabel *makeBuddyLabel(QWidget *parent, const char *name, const QString &caption, QWidget *buddy)
{
    QLabel *label = makeControl<QLabel>(parent, name, caption);
    label->setBuddy(buddy);
    QString accessible = caption;
    accessible.remove(QLatin1Char('&'));
    if (accessible.endsWith(QLatin1Char(':')))
        accessible.chop(1);
    buddy->setAccessibleName(accessible.trimmed());
    return label;
}

} // namespace platform
