#pragma once

#include <QObject>

#include "instrumentchannels.h"

class Instrument;
class PanelItems;

// The instrument without a window: the same instrument and command channels as the window
// wires, with the panel served as conversation items (panelitems.h). It starts as the window
// does, with the panel's defaults, switched off.
class HeadlessInstrument : public QObject
{
    Q_OBJECT

public:
    explicit HeadlessInstrument(QObject *parent = nullptr);
    ~HeadlessInstrument() override;

    Instrument &instrument() const { return *m_instrument; }
    PanelItems &panel() const { return *m_panel; }
    Rs232Channel &rs232() const { return m_channels->rs232(); }
    NetworkChannel &network() const { return m_channels->network(); }
    DdeChannel &dde() const { return m_channels->dde(); }

private:
    PanelItems *m_panel;
    Instrument *m_instrument;
    InstrumentChannels *m_channels;
};
