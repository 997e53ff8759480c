#pragma once

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QString>
#include <type_traits>

namespace platform {

// Draws the frame's line through the middle of its caption, half a caption's height below
// its top edge, so that controls placed from that edge down stand inside the frame (most
// styles put the caption above the line, which then crosses the first row of controls). The
// frame's contents rectangle is the area inside the line.
void drawLineThroughCaption(QGroupBox *frame);

// Creates a control whose object name is its name in the program ("txtOutput", "btnOnOff"),
// so tests and accessibility tools find it, with its caption where it has one. Frames draw
// their line through their caption.
template<typename Widget>
Widget *makeControl(QWidget *parent, const char *name, const QString &caption = QString())
{
    auto *control = new Widget(parent);
    control->setObjectName(QLatin1String(name));
    if constexpr (std::is_base_of_v<QGroupBox, Widget>) {
        control->setTitle(caption);
        drawLineThroughCaption(control);
    } else if constexpr (std::is_base_of_v<QAbstractButton, Widget> || std::is_base_of_v<QLabel, Widget>)
        control->setText(caption);
    return control;
}

// A label naming a box: it becomes the box's buddy (its access key focuses the box), and the
// box carries the label's text, without access key and colon, as its accessible name.
QLabel *makeBuddyLabel(QWidget *parent, const char *name, const QString &caption, QWidget *buddy);

} // namespace platform
