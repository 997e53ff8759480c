#pragma once

#include <QString>

namespace platform {

// The decisions a DDE source leaves to its program. The source calls the handler directly
// while it holds the client's message, so the answer always reaches it; a signal with a
// flag passed by reference would lose the answer on a queued connection. A handler left
// with cancel false lets the source go ahead; the defaults accept everything.
class DdeSourceHandler
{
public:
    // A client asks to open a conversation on the topic; cancel refuses it.
    virtual void Form_LinkOpen(bool &cancel);
    // An execute; cancel left false acknowledges it positively.
    virtual void Form_LinkExecute(const QString &command, bool &cancel);
    // A poke into an item, before the text is written; cancel refuses it.
    virtual void Form_LinkPoke(const QString &item, const QString &text, bool &cancel);
    // Why a poke is refused, asked before Form_LinkPoke: a text goes back as the NACK's
    // reason and the item keeps its value; an empty text lets Form_LinkPoke decide.
    virtual QString pokeRefusal(const QString &item, const QString &text);

protected:
    ~DdeSourceHandler() = default;
};

inline void DdeSourceHandler::Form_LinkOpen(bool &) { }
inline void DdeSourceHandler::Form_LinkExecute(const QString &, bool &) { }
inline void DdeSourceHandler::Form_LinkPoke(const QString &, const QString &, bool &) { }
inline QString DdeSourceHandler::pokeRefusal(const QString &, const QString &)
{
    return QString();
}

} // namespace platform
