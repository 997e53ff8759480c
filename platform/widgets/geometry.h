#pragma once

#include <QFont>
#include <QRect>

class QWidget;

namespace platform {

// Window layouts are given in twips; 15 twips make one device-independent pixel.
constexpr int kTwipsPerPixel = 15;

constexpr QRect fromTwips(int left, int top, int width, int height)
{
    return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel, height / kTwipsPerPixel);
}

// Places a child at a position given in twips, relative to its parent.
void placeInTwips(QWidget *widget, int left, int top, int width, int height);

// The standard sans-serif dialog font at the size the twip layouts were drawn for.
QFont dialogFont();

} // namespace platform
