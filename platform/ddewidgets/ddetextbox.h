#pragma once

#include "ddeclient.h"

#include <QLineEdit>

namespace platform {

// The DDE client facility of a text box: a line edit that owns a DdeClient and shows its
// linked item. Every write of the item at the source replaces the box's text and raises
// textChanged, even when the new text equals the old one; LinkPoke sends the box's text.
// The link's calls, their failures and their error numbers are those of DdeClient.
class DdeTextBox : public QLineEdit
{
    Q_OBJECT

public:
    static constexpr int kLinkModeNone = DdeClient::kLinkModeNone;
    static constexpr int kLinkModeAutomatic = DdeClient::kLinkModeAutomatic;

    explicit DdeTextBox(QWidget *parent = nullptr);

    void setLinkTopic(const QString &topic) { m_client.setLinkTopic(topic); }
    QString linkTopic() const { return m_client.linkTopic(); }
    void setLinkItem(const QString &item) { m_client.setLinkItem(item); }
    QString linkItem() const { return m_client.linkItem(); }
    void setLinkMode(int mode) { m_client.setLinkMode(mode); }
    int linkMode() const { return m_client.linkMode(); }
    void setLinkTimeout(int milliseconds) { m_client.setLinkTimeout(milliseconds); }
    int linkTimeout() const { return m_client.linkTimeout(); }
    bool isLinked() const { return m_client.isLinked(); }

    void LinkExecute(const QString &command) { m_client.LinkExecute(command); }
    // Writes the box's text into the linked item at the source.
    void LinkPoke() { m_client.LinkPoke(text()); }
    // Asks the source for the item's current text and shows it.
    void LinkRequest() { m_client.LinkRequest(); }

signals:
    // A link failure outside any call: 6 source vanished, 7 no room at the source.
    void LinkError(int code);
    // Raised for every update of the linked item, after the box shows it.
    void itemUpdated(const QString &text);

private:
    void showItem(const QString &value);

    DdeClient m_client; // its destructor ends the conversation with a terminate
};

} // namespace platform
