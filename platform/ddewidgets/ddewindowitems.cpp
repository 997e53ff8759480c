#include "ddewindowitems.h"

#include "ddesource.h"

#include <algorithm>
#include <optional>
#include <utility>

#include <QEvent>
#include <QLineEdit>
#include <QStringList>
#include <QTimer>
#include <QWidget>

namespace platform {

DdeWindowItems::DdeWindowItems(DdeSource *source, QWidget *window)
    : QObject(window)
    , m_source(source)
    , m_display(new QTimer(this))
{
    m_display->setSingleShot(true);
    // A coarse timer may wake before the frame ends, only to find nothing due yet.
    m_display->setTimerType(Qt::PreciseTimer);
    m_clock.start();
    connect(m_display, &QTimer::timeout, this, &DdeWindowItems::showPendingValues);
    connect(source, &DdeSource::itemChanged, this, &DdeWindowItems::itemChanged);
    const QList<QLineEdit *> boxes = window->findChildren<QLineEdit *>();
    for (QLineEdit *box : boxes) {
        if (box->window() == window)
            watch(box);
    }
}

void DdeWindowItems::setDisplayInterval(int milliseconds)
{
    m_displayInterval = qMax(0, milliseconds);
}

bool DdeWindowItems::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ReadOnlyChange && m_source) {
        auto *box = qobject_cast<QLineEdit *>(watched);
        const auto served = servedEntry(box);
        if (served != m_boxes.end())
            m_source->setItemReadOnly(served.key(), box->isReadOnly());
    }
    return QObject::eventFilter(watched, event);
}

void DdeWindowItems::watch(QLineEdit *box)
{
    box->installEventFilter(this);
    connect(box, &QLineEdit::textChanged, this, [this, box] { boxEdited(box); });
    connect(box, &QObject::destroyed, this, [this, box] { unserve(box); });
    serve(box);
}

void DdeWindowItems::serve(QLineEdit *box)
{
    if (!m_source || box->objectName().isEmpty())
        return;
    const bool itemExists = m_source->hasItem(box->objectName());
    const QString item = m_source->addItem(box->objectName(), box->text());
    // Of boxes whose names differ only in case, the first serves the item.
    if (m_boxes.contains(item))
        return;
    ServedBox &served = m_boxes.insert(item, ServedBox{box, {}, false}).value();
    m_source->setItemReadOnly(item, box->isReadOnly());
    if (itemExists)
        show(item, served);
}

void DdeWindowItems::unserve(QLineEdit *box)
{
    const auto served = servedEntry(box);
    if (served == m_boxes.end())
        return;
    const QString item = served.key();
    m_boxes.erase(served);
    if (m_source)
        m_source->removeItem(item);
}

DdeWindowItems::ServedBoxes::iterator DdeWindowItems::servedEntry(const QLineEdit *box)
{
    for (auto served = m_boxes.begin(); served != m_boxes.end(); ++served) {
        if (served->box == box)
            return served;
    }
    return m_boxes.end();
}

void DdeWindowItems::boxEdited(QLineEdit *box)
{
    if (box == m_showingBox || !m_source)
        return;
    const auto served = servedEntry(box);
    if (served == m_boxes.end())
        return;
    // The box holds the item's value from now on: a write still to be shown would undo the edit.
    served->pending = false;
    const QString item = served.key();
    QLineEdit *outerEdit = std::exchange(m_editedBox, box);
    m_source->setItemValue(item, box->text());
    m_editedBox = outerEdit;
}

void DdeWindowItems::itemChanged(const QString &item)
{
    const auto served = m_boxes.find(item);
    if (served == m_boxes.end() || served->box == m_editedBox)
        return;
    const qint64 now = m_clock.elapsed();
    const qint64 showTime = served->pace.showTime(now, m_displayInterval);
    if (!served->box->isVisible() || showTime <= now) {
        show(item, *served);
        // A stream's writes show themselves as each frame ends: the timer is for the last.
        if (m_display->isActive() && !anyPending())
            m_display->stop();
        return;
    }
    served->pending = true;
    if (!m_display->isActive() || m_display->remainingTime() > showTime - now)
        m_display->start(int(showTime - now));
}

bool DdeWindowItems::anyPending() const
{
    return std::any_of(m_boxes.cbegin(), m_boxes.cend(), [](const ServedBox &served) { return served.pending; });
}

void DdeWindowItems::show(const QString &item, ServedBox &served)
{
    served.pending = false;
    QLineEdit *box = served.box;
    const QString value = m_source->itemValue(item);
    // What the box shows already costs no laying out and no painting.
    if (box->text() == value)
        return;
    served.pace.changed(m_clock.elapsed());
    // The box follows its item: its change goes back to no link, and a box that keeps fewer
    // characters than the item holds does not cut the item.
    QLineEdit *outerShow = std::exchange(m_showingBox, box);
    box->setText(value);
    m_showingBox = outerShow;
}

void DdeWindowItems::showPendingValues()
{
    const qint64 now = m_clock.elapsed();
    QStringList due;
    std::optional<qint64> nextShowTime;
    for (auto served = m_boxes.cbegin(); served != m_boxes.cend(); ++served) {
        if (!served->pending)
            continue;
        const qint64 showTime = served->pace.showTime(now, m_displayInterval);
        if (showTime <= now)
            due << served.key();
        else if (!nextShowTime || showTime < *nextShowTime)
            nextShowTime = showTime;
    }
    if (nextShowTime)
        m_display->start(int(*nextShowTime - now));
    // Showing a value runs the box's other slots, which may write items themselves.
    for (const QString &item : due) {
        const auto served = m_boxes.find(item);
        if (served != m_boxes.end() && served->pending && m_source)
            show(item, *served);
    }
}

} // namespace platform
