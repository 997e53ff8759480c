#pragma once

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QString>
#include <type_traits>

namespace platform {

// Creates a control whose object name is its name in the program ("txtOutput", "btnOnOff"),
// so tests and accessibility tools find it, with its caption where it has one.
template<typename Widget>
Widget *makeControl(QWidget *parent, const char *name, const QString &caption = QString())
{
    auto *control = new Widget(parent);
    control->setObjectName(QLatin1String(name));
    if constexpr (std::is_base_of_v<QGroupBox, Widget>)
        control->setTitle(caption);
    else if constexpr (std::is_base_of_v<QAbstractButton, Widget> || std::is_base_of_v<QLabel, Widget>)
        control->setText(caption);
    return control;
}

// A label naming a box: it becomes the box's buddy (its access key focuses the box), and the
// box carries the label's text, without access key and colon, as its accessible name.
QLabel *makeBuddyLabel(QWidget *parent, const char *name, const QString &caption, QWidget *buddy);

} // namespace platform
