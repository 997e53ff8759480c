#include "statusbar.h"

#include <QEvent>
#include <QLabel>

namespace platform {

namespace {
// The notice is the longer text and lasts: it takes most of what the simple text leaves.
constexpr int kNoticeStretch = 4;
} // namespace

StatusBar::StatusBar(QWidget *parent)
    : QStatusBar(parent)
    , m_label(new QLabel(this))
    , m_notice(new QLabel(this))
{
    m_label->setObjectName(QStringLiteral("simpleText"));
    m_label->setAccessibleDescription(QStringLiteral("Status"));
    addWidget(m_label, 1);
    m_notice->setObjectName(QStringLiteral("notice"));
    m_notice->setAccessibleDescription(QStringLiteral("Notice"));
    m_notice->setTextFormat(Qt::PlainText);
    m_notice->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_notice->installEventFilter(this);
    m_notice->hide();
    addPermanentWidget(m_notice, kNoticeStretch);
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

QString StatusBar::notice() const
{
    return m_noticeText;
}

void StatusBar::setNotice(const QString &text)
{
    m_noticeText = text;
    m_notice->setToolTip(text);
    m_notice->setAccessibleName(text);
    m_notice->setVisible(!text.isEmpty());
    fitNotice();
}

bool StatusBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_notice && event->type() == QEvent::Resize)
        fitNotice();
    return QStatusBar::eventFilter(watched, event);
}

void StatusBar::fitNotice()
{
    m_notice->setText(m_notice->fontMetrics().elidedText(m_noticeText, Qt::ElideRight, m_notice->width()));
}

} // namespace platform
