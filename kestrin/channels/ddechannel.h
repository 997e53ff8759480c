#pragma once

#include "commandchannel.h"

#include "ddesourcehandler.h"

namespace platform {
class DdeSource;
}

// The DDE command channel. The instrument is a DDE source for application and topic "Kestrin";
// its item "txtOutput" carries every reply and data line, and each execute string is one
// command line. Conversations are accepted while the instrument is on.
class DdeChannel : public CommandChannel, public platform::DdeSourceHandler
{
    Q_OBJECT

public:
    static inline const QString kOutputItem = QStringLiteral("txtOutput");

    explicit DdeChannel(Instrument &instrument, QObject *parent = nullptr);

    platform::DdeSource *source() const { return m_ddeSource; }
    // Items beside txtOutput that take pokes (a panel without a window) are decided on by
    // `panel`; without one no poke is taken. The panel outlives the channel.
    void setPanel(platform::DdeSourceHandler *panel);

    // Lets clients open conversations again (the instrument is switched on).
    void openConversations();
    // Ends every conversation (the instrument is switched off). With a panel served as items
    // new ones are accepted at once: through them the instrument is switched back on.
    void endConversations();

    // Why conversations are not served (another instance serves them, the folder was
    // refused), or an empty text.
    QString serviceProblem() const;

private:
    void setLinkMode(int mode);
    void Form_LinkOpen(bool &cancel) override;
    void Form_LinkExecute(const QString &command, bool &cancel) override;
    void Form_LinkPoke(const QString &item, const QString &text, bool &cancel) override;
    QString pokeRefusal(const QString &item, const QString &text) override;
    void Form_LinkClose();

    platform::DdeSource *m_ddeSource = nullptr;
    platform::DdeSourceHandler *m_panel = nullptr;
};
