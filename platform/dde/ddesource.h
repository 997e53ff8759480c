#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <sys/types.h>

class QLocalServer;
class QTimer;

namespace platform {

class DdeConversation;
class DdeSourceHandler;

// The DDE source facility of a program. The source answers conversations for one application
// name (compared without regard to case) on its link topic, and serves items: named text
// values it holds, declared by the program (addItem) or by their first write. Item names are
// compared without regard to case; updates name an item in the spelling it was declared with.
//
// It listens on its own socket as soon as it is constructed. When another running program
// already serves the application name, or the per-user DDE directory is not private, it
// serves no conversations: isServing() is false and serviceProblem() says why, in a sentence
// fit for a status bar.
//
// The program decides on opens, executes and pokes through its DdeSourceHandler; without
// one, the source accepts them all. An accepted poke is a write of the item (itemChanged),
// followed by itemPoked. The signal LinkClose tells that an opened conversation ended,
// whichever side ended it.
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
// then the next, until the rest fit. Connections that only wait for their peer to read a
// last line (BUSY, a terminate) are at most kMaximumClosingConnections; the oldest is cut
// off first.
//
// Whatever happens to one connection, the source keeps listening: it raises the program's
// limit of open descriptors at once, and when it stops listening all the same (no descriptor
// left for an accept, its socket removed) it listens again within a second, and says so once
// through serviceMessage().
class DdeSource : public QObject
{
    Q_OBJECT

public:
    static constexpr int kLinkModeNone = 0;
    static constexpr int kLinkModeSource = 1;
    static constexpr int kDefaultMaximumConversations = 128;
    static constexpr qint64 kMaximumConversationBacklogBytes = 16 * 1024 * 1024;
    static constexpr qint64 kMaximumBacklogBytes = 64 * 1024 * 1024;
    static constexpr int kMaximumClosingConnections = 64;

    DdeSource(const QString &applicationName, QObject *parent = nullptr);
    // Ends every conversation (without LinkClose: the program is going) and removes the socket.
    ~DdeSource() override;

    QString applicationName() const { return m_applicationName; }
    bool isServing() const;
    QString serviceProblem() const { return m_serviceProblem; }
    // Path of the socket this application is reached at (also when another program serves
    // it); empty when the DDE directory was refused.
    QString socketPath() const { return m_socketPath; }

    // The program's decisions; the handler outlives the source.
    void setHandler(DdeSourceHandler *handler);
    DdeSourceHandler *handler() const { return m_handler; }

    void setLinkTopic(const QString &topic);
    QString linkTopic() const { return m_linkTopic; }

    void setLinkMode(int mode);
    int linkMode() const { return m_linkMode; }

    // Pokes are accepted into items that are not read-only while this is true.
    void setPokeEnabled(bool enabled);
    bool pokeEnabled() const { return m_pokeEnabled; }

    // Connections beyond this number are turned away with "BUSY" (the client's LinkError 7).
    void setMaximumConversations(int count);
    int maximumConversations() const { return m_maximumConversations; }
    // Opened conversations (initiate accepted) at this moment.
    int conversationCount() const;
    // Bytes sent to all connections that the system has not taken yet.
    qint64 backlogBytes() const { return m_backlogBytes; }

    // Declares the item with its first value, without an update; an item that exists keeps
    // its value. Returns the item's name in the source's own spelling.
    QString addItem(const QString &name, const QString &value = QString());
    // The item is no longer served: requests, advises and pokes of it get "no such item".
    void removeItem(const QString &name);
    bool hasItem(const QString &name) const;
    // The item's latest text; empty for an item the source does not serve.
    QString itemValue(const QString &name) const;
    // Pokes into a read-only item are refused.
    void setItemReadOnly(const QString &name, bool readOnly);
    bool isItemReadOnly(const QString &name) const;

    // Sets the item's text; its automatic links get it only when it differs from the text
    // the item holds. This and writeItem declare an item not declared yet.
    void setItemValue(const QString &name, const QString &text);
    // Writes the item: its automatic links get every write, also of the text it holds.
    void writeItem(const QString &name, const QString &text);

signals:
    void LinkClose();
    // The number of opened conversations changed.
    void conversationCountChanged(int count);
    // An item was written or its text changed (`item` in the source's spelling). Emitted for
    // every write, up to thousands a second: a slot should only take note.
    void itemChanged(const QString &item);
    // A client's poke was accepted and written into the item.
    void itemPoked(const QString &item, const QString &text);
    // The source stopped listening and listens again, or cannot yet, or another program
    // took its name over: a sentence fit for a status bar, once for each.
    void serviceMessage(const QString &text);

private:
    friend class DdeConversation;

    struct Item
    {
        QString name;
        QString value;
        bool readOnly = false;
    };

    // The device and inode of the socket file: a socket removed, or replaced by another
    // program's, reads as another identity.
    struct SocketIdentity
    {
        dev_t device = 0;
        ino_t inode = 0;
        bool operator==(const SocketIdentity &other) const { return device == other.device && inode == other.inode; }
    };

    void startServing();
    // Listens at the socket path; false, with the reason in m_serviceProblem, when it cannot.
    bool listen();
    void stopServing();
    SocketIdentity socketIdentity() const;
    void checkListening();
    void acceptConnections();
    // The item called `name` without regard to case, or null; valid until items are added.
    Item *findItem(const QString &name);
    const Item *findItem(const QString &name) const;
    // Writes an accepted poke; `name` is in the source's spelling.
    void pokeItem(const QString &name, const QString &text);
    void publish(const QString &item, const QString &text);
    void conversationOpened();
    // An opened conversation ended for the program.
    void conversationClosed();
    // A connection is gone or going; it no longer counts against the maximum.
    void conversationEnded(DdeConversation *conversation);
    // A connection now only waits for its peer to read its last line.
    void connectionClosing(DdeConversation *conversation);
    // A connection's unsent bytes grew or shrank; keeps all of them within the bound.
    void backlogChanged(qint64 delta);
    // Gives the memory of dropped clients back to the system.
    void releaseMemory();

    QString m_applicationName;
    QString m_socketPath;
    QString m_serviceProblem;
    DdeSourceHandler *m_handler = nullptr;
    QString m_linkTopic;
    int m_linkMode = kLinkModeNone;
    bool m_pokeEnabled = true;
    int m_maximumConversations = kDefaultMaximumConversations;
    QLocalServer *m_server = nullptr;
    QList<DdeConversation *> m_conversations;
    // By the name as declared, so the usual lookup, in that spelling, is one hash.
    QHash<QString, Item> m_items;
    qint64 m_backlogBytes = 0;
    QTimer *m_memoryRelease = nullptr;
    QTimer *m_listenCheck = nullptr;
    SocketIdentity m_socketIdentity;
    // Oldest first.
    std::deque<QPointer<DdeConversation>> m_closingConnections;
    bool m_anotherInstance = false;
    // The source could not listen again at once, and said so.
    bool m_interruptionTold = false;
    bool m_destroying = false;
};

} // namespace platform
