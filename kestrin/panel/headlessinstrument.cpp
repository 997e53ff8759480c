#include "headlessinstrument.h"

#include "panelitems.h"

#include "ddechannel.h"
#include "instrument.h"
#include "networkchannel.h"
#include "rs232channel.h"

HeadlessInstrument::HeadlessInstrument(QObject *parent)
    : QObject(parent)
    , m_panel(new PanelItems(this))
    , m_instrument(new Instrument(*m_panel, this))
    // In the window's order, so that the ports open on ON in the same order.
    , m_rs232(new Rs232Channel(*m_instrument, this))
    , m_network(new NetworkChannel(*m_instrument, this))
    , m_dde(new DdeChannel(*m_instrument, this))
{
    m_instrument->setObjectName(QStringLiteral("instrument"));
    m_panel->attach(*m_instrument, *m_rs232, *m_network, *m_dde);
}

HeadlessInstrument::~HeadlessInstrument() = default;
