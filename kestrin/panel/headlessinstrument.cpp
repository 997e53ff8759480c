#include "headlessinstrument.h"

#include "panelitems.h"

#include "instrument.h"

HeadlessInstrument::HeadlessInstrument(QObject *parent)
    : QObject(parent)
    , m_panel(new PanelItems(this))
    , m_instrument(new Instrument(*m_panel, this))
    , m_channels(new InstrumentChannels(*m_instrument, this))
{
    m_instrument->setObjectName(QStringLiteral("instrument"));
    // The channels follow ON and OFF first; the panel's items then show what the operation
    // left on the panel.
    connect(m_instrument, &Instrument::operationPerformed, m_channels, &InstrumentChannels::followOperation);
    m_panel->attach(*m_instrument, rs232(), network(), dde());
}

HeadlessInstrument::~HeadlessInstrument() = default;
