#include "geometry.h"

#include <QApplication>
#include <QWidget>

namespace platform {

namespace {
constexpr int kDialogFontPixels = 11;
} // namespace

void placeInTwips(QWidget *widget, int left, int top, int width, int height)
{
    widget->setGeometry(fromTwips(left, top, width, height));
}

QFont dialogFont()
{
    QFont font = QApplication::font();
    font.setFamily(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(kDialogFontPixels);
    return font;
}

} // namespace platform
