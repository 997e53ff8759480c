#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QList>

class QLineEdit;
class QLocalServer;
class QTimer;
class QWidget;

namespace platform {

class DdeConversation;
class DdeSourceHandler;

// The DDE source facility of a window. The source answers conversations for one application
// name (compared without regard to case) on the window's link topic, and serves the window's
// own text boxes (QLineEdit descendants that are not inside another window, such as a
// dialog the window owns) as items under their object names.
//
// It listens on its own socket as soon as it is constructed. When another running program
// already serves the application name, or the per-user DDE directory is not private, it
// serves no conversations: isServing() is false and serviceProblem() says why, in a sentence
// fit for a status bar.
//
// The window decides on opens, executes and pokes through its DdeSourceHandler; without
// one, the source accepts them all. The signal LinkClose tells that an opened conversation
// ended, whichever side ended it.
//
// The link mode starts at 0 (none). Setting 0 ends every conversation at once, raising
// LinkClose for each before it returns, and refuses new initiates without asking the handler;
// link mode 1 (source) accepts them. The terminates go out when the handler that set 0 has
// returned: the clients still receive what it writes into their items meanwhile, and an
// execute that set it gets its acknowledgement first.
//
// A text too long for one protocol line is never cut: a request or advise of it is refused
// with "item too long", an update becomes "TOOLONG <item>", a poke of it is refused.
//
// Clients that do not read as fast as the items are written are bounded twice: a client
// with more than kMaximumConversationBacklogBytes unread is dropped, and when all clients
// together have more than kMaximumBacklogBytes unread, the one furthest behind is dropped,
// then the next, until the rest fit.
class DdeSource : public QObject
{
    Q_OBJECT

public:
    static constexpr int kLinkModeNone = 0;
    static constexpr int kLinkModeSource = 1;
    static constexpr int kDefaultMaximumConversations = 128;
    static constexpr qint64 kMaximumConversationBacklogBytes = 16 * 1024 * 1024;
    static constexpr qint64 kMaximumBacklogBytes = 64 * 1024 * 1024;

    // `window` owns the source and holds the served text boxes.
    DdeSource(const QString &applicationName, QWidget *window);
    // Ends every conversation (without LinkClose: the window is going) and removes the socket.
    ~DdeSource() override;

    QString applicationName() const { return m_applicationName; }
    bool isServing() const;
    QString serviceProblem() const { return m_serviceProblem; }
    // Path of the socket this application is reached at (also when another program serves
    // it); empty when the DDE directory was refused.
    QString socketPath() const { return m_socketPath; }

    // The window's decisions; the handler outlives the source (the window owns both).
    void setHandler(DdeSourceHandler *handler);
    DdeSourceHandler *handler() const { return m_handler; }

    void setLinkTopic(const QString &topic);
    QString linkTopic() const { return m_linkTopic; }

    void setLinkMode(int mode);
    int linkMode() const { return m_linkMode; }

    // Pokes are accepted into served boxes that are not read-only while this is true.
    void setPokeEnabled(bool enabled);
    bool pokeEnabled() const { return m_pokeEnabled; }

    // Connections beyond this number are turned away with "BUSY" (the client's LinkError 7).
    void setMaximumConversations(int count);
    int maximumConversations() const { return m_maximumConversations; }
    // Opened conversations (initiate accepted) at this moment.
    int conversationCount() const;
    // Bytes sent to all connections that the system has not taken yet.
    qint64 backlogBytes() const { return m_backlogBytes; }

    // Writes `text` into the served box and delivers it on every automatic link of the box's
    // item, also when the text equals the box's current text. Changes made to a served box in
    // any other way (setText, typing) reach the links too, but only when the text changes.
    // The item's value changes at once; a box on screen shows it by the end of the screen's
    // frame (kFrameInterval), so a thousand writes a second cost no more laying out and
    // painting than the screen can show.
    void writeItem(QLineEdit *box, const QString &text);

    // The item's value: the latest text written, which a box on screen shows within a frame.
    QString itemValue(const QLineEdit *box) const;

    static constexpr int kFrameInterval = 16; // milliseconds: about 60 frames a second

    // The window's served box called `item` (without regard to case), or null.
    QLineEdit *servedItem(const QString &item) const;

signals:
    void LinkClose();
    // The number of opened conversations changed.
    void conversationCountChanged(int count);

private:
    friend class DdeConversation;

    void startServing();
    void acceptConnections();
    void watchItem(QLineEdit *box);
    void publish(QLineEdit *box, const QString &text);
    // Shows the values written during the frame in their boxes.
    void showWrittenValues();
    void conversationOpened();
    // An opened conversation ended for the program.
    void conversationClosed();
    // A connection is gone or going; it no longer counts against the maximum.
    void conversationEnded(DdeConversation *conversation);
    // A connection's unsent bytes grew or shrank; keeps all of them within the bound.
    void backlogChanged(qint64 delta);
    // Gives the memory of dropped clients back to the system.
    void releaseMemory();

    QString m_applicationName;
    QPointer<QWidget> m_window;
    QString m_socketPath;
    QString m_serviceProblem;
    DdeSourceHandler *m_handler = nullptr;
    QString m_linkTopic;
    int m_linkMode = kLinkModeNone;
    bool m_pokeEnabled = true;
    int m_maximumConversations = kDefaultMaximumConversations;
    QLocalServer *m_server = nullptr;
    QList<DdeConversation *> m_conversations;
    QList<QPointer<QLineEdit>> m_watchedItems;
    QLineEdit *m_writingBox = nullptr;
    // Values written into boxes on screen that they show at the end of the frame.
    struct ValueToShow
    {
        QPointer<QLineEdit> box;
        QString text;
    };
    QHash<const QLineEdit *, ValueToShow> m_valuesToShow;
    QTimer *m_frame = nullptr;
    qint64 m_backlogBytes = 0;
    QTimer *m_memoryRelease = nullptr;
    bool m_destroying = false;
};

} // namespace platform
