#include "controls.h"

namespace platform {

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
