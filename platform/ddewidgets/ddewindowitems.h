#pragma once

#include "displaypace.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

class QLineEdit;
class QTimer;
class QWidget;

namespace platform {

class DdeSource;

// Serves a window's own text boxes (QLineEdit descendants that are not inside another window,
// such as a dialog the window owns) as items of a DdeSource, under the boxes' object names.
// A box's item starts with the box's text, or the box shows the item's text when the source
// already serves an item of that name. A read-only box's item takes no pokes.
//
// A box's changes (typing, setText) set its item, so the links get them when the text
// changes. Writes of the item (the program's writeItem, accepted pokes) show in the box at the
// pace of DisplayPace, one display interval being a frame of the screen: every write while
// they come no faster than one an interval (a reader, or a screen reader, follows each), and
// above that at most one change an interval, ending with the last write, so a thousand
// writes a second cost no more laying out and painting than the screen can show. A write
// equal to what the box shows changes nothing. A box not on screen shows every write at once.
//
// The boxes the window holds when the adapter is made are served, under the names they have
// then; a box destroyed is no longer served.
class DdeWindowItems : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDefaultDisplayInterval = 16; // milliseconds: about 60 frames a second

    // The window owns the adapter; the source may end before it.
    DdeWindowItems(DdeSource *source, QWidget *window);

    // A box on screen changes at most once in this many milliseconds; 0 shows every write at
    // once.
    void setDisplayInterval(int milliseconds);
    int displayInterval() const { return m_displayInterval; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct ServedBox
    {
        QLineEdit *box = nullptr;
        DisplayPace pace;
        bool pending = false;
    };
    using ServedBoxes = QHash<QString, ServedBox>;

    void watch(QLineEdit *box);
    void serve(QLineEdit *box);
    void unserve(QLineEdit *box);
    ServedBoxes::iterator servedEntry(const QLineEdit *box);
    void boxEdited(QLineEdit *box);
    void itemChanged(const QString &item);
    void show(const QString &item, ServedBox &served);
    void showPendingValues();
    bool anyPending() const;

    QPointer<DdeSource> m_source;
    // By the item's name in the source's spelling, as itemChanged names it.
    ServedBoxes m_boxes;
    // Shows the writes that wait for the end of a frame; it runs only while one waits.
    QTimer *m_display = nullptr;
    QElapsedTimer m_clock;
    int m_displayInterval = kDefaultDisplayInterval;
    QLineEdit *m_showingBox = nullptr;
    QLineEdit *m_editedBox = nullptr;
};

} // namespace platform
