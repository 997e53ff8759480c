#include "ddechannel.h"

#include "channellogging.h"
#include "instrument.h"

#include "ddesource.h"

namespace {
const QString kApplicationName = QStringLiteral("Kestrin");
const QString kLinkTopic = QStringLiteral("Kestrin");
} // namespace

DdeChannel::DdeChannel(Instrument &instrument, QObject *parent)
    : CommandChannel(instrument, parent)
    , m_ddeSource(new platform::DdeSource(kApplicationName, this))
{
    m_ddeSource->setObjectName(QStringLiteral("ddeSource"));
    m_ddeSource->setLinkTopic(kLinkTopic);
    // Clients only read the instrument's boxes until a panel takes pokes; a poke into
    // txtOutput would show other clients a line the instrument never produced.
    m_ddeSource->setPokeEnabled(false);
    m_ddeSource->addItem(kOutputItem);
    m_ddeSource->setItemReadOnly(kOutputItem, true);
    m_ddeSource->setHandler(this);
    // A source from the start: an initiate before the first switch-on reaches Form_LinkOpen,
    // which refuses it and says so.
    m_ddeSource->setLinkMode(platform::DdeSource::kLinkModeSource);
    connect(m_ddeSource, &platform::DdeSource::LinkClose, this, &DdeChannel::Form_LinkClose);
    connect(m_ddeSource, &platform::DdeSource::serviceMessage, this, &DdeChannel::statusMessage);
    // Through the source, so a linked client receives every write, a repeated line too.
    connect(&instrument, &Instrument::outputWritten, this,
            [this](const QString &text) { m_ddeSource->writeItem(kOutputItem, text); });
    if (!m_ddeSource->isServing())
        qCWarning(lcDde) << m_ddeSource->serviceProblem();
}

QString DdeChannel::serviceProblem() const
{
    return m_ddeSource->isServing() ? QString() : m_ddeSource->serviceProblem();
}

void DdeChannel::openConversations()
{
    setLinkMode(platform::DdeSource::kLinkModeSource);
}

void DdeChannel::endConversations()
{
    setLinkMode(platform::DdeSource::kLinkModeNone);
    // Every conversation ends, as with the window; a panel reached through conversations
    // must be reachable again to switch the instrument back on.
    if (m_panel)
        setLinkMode(platform::DdeSource::kLinkModeSource);
}

void DdeChannel::setLinkMode(int mode)
{
    qCDebug(lcDde) << "link mode" << mode;
    m_ddeSource->setLinkMode(mode);
}

void DdeChannel::Form_LinkOpen(bool &cancel)
{
    // A panel reached through the conversation is there to switch the instrument on.
    if (m_instrument.state() == InstrumentState::Off && !m_panel)
        cancel = true;
    emit statusMessage(QStringLiteral("DDE Link Initiated"));
}

void DdeChannel::Form_LinkExecute(const QString &command, bool &cancel)
{
    qCDebug(lcDde) << "execute" << command;
    // Acknowledged only when the instrument carried the command out (result code 0); a
    // refused word, a run that could not start, a blank line and a failure are negative.
    cancel = true;
    guarded(QStringLiteral("Error (frmMain - Form_LinkExecute) "),
            [&] { cancel = !m_instrument.ExecuteCommand(command).succeeded(); });
}

void DdeChannel::setPanel(platform::DdeSourceHandler *panel)
{
    m_panel = panel;
    m_ddeSource->setPokeEnabled(panel != nullptr);
}

void DdeChannel::Form_LinkPoke(const QString &item, const QString &text, bool &cancel)
{
    if (m_panel)
        m_panel->Form_LinkPoke(item, text, cancel);
    else
        cancel = true;
}

QString DdeChannel::pokeRefusal(const QString &item, const QString &text)
{
    return m_panel ? m_panel->pokeRefusal(item, text) : QString();
}

void DdeChannel::Form_LinkClose()
{
    emit statusMessage(QStringLiteral("DDE Link Terminated"));
}
