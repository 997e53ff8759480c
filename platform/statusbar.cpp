#include "statusbar.h"

#include <QLabel>

namespace platform {

StatusBar::StatusBar(QWidget *parent)
    : QStatusBar(parent)
    , m_label(new QLabel(this))
{
    m_label->setObjectName(QStringLiteral("simpleText"));
    m_label->setAccessibleDescription(QStringLiteral("Status"));
    addWidget(m_label, 1);
    setSizeGripEnabled(false);
}

QString StatusBar::simpleText() const
{
    return m_label->text();
}

void StatusBar::setSimpleText(const QString &text)
{
    m_label->setText(text);
}

} // namespace platform
